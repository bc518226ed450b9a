// Resource IDs shared by the resource script and the code; the numbers are fixed.
// Plain #defines only: windres reads this file too.
#pragma once

#ifndef RC_INVOKED
// A string-table ID of a message to show; 0 is success. Check and copy functions return one.
typedef int MessageId;
#endif

// Dialog templates
#define IDD_INTRO_PAGE 129
#define IDD_PREPARE_PAGE 130
#define IDD_CONFIRM_PAGE 131
#define IDD_DONE_PAGE 132
#define IDD_PROGRESS 133

// Text lines per page: statics one line high at a pitch of 15 units.
#define INTRO_LINE_COUNT 12
#define PAGE_LINE_COUNT 10

// Controls of page 1; the hidden edit breaks long texts into lines of the statics' width
#define IDC_INTRO_LINE0 1100
#define IDC_INTRO_LINE1 1101
#define IDC_INTRO_LINE2 1102
#define IDC_INTRO_LINE3 1103
#define IDC_INTRO_LINE4 1104
#define IDC_INTRO_LINE5 1105
#define IDC_INTRO_LINE6 1106
#define IDC_INTRO_LINE7 1107
#define IDC_INTRO_LINE8 1108
#define IDC_INTRO_LINE9 1109
#define IDC_INTRO_LINE10 1110
#define IDC_INTRO_LINE11 1111
#define IDC_INTRO_FOOTER 1112
#define IDC_INTRO_MEASURE 1113

// Controls of page 2
#define IDC_PREPARE_LINE0 1200
#define IDC_PREPARE_LINE1 1201
#define IDC_PREPARE_LINE2 1202
#define IDC_PREPARE_LINE3 1203
#define IDC_PREPARE_LINE4 1204
#define IDC_PREPARE_LINE5 1205
#define IDC_PREPARE_LINE6 1206
#define IDC_PREPARE_LINE7 1207
#define IDC_PREPARE_LINE8 1208
#define IDC_PREPARE_LINE9 1209
#define IDC_PREPARE_MEASURE 1210

// Controls of page 3
#define IDC_CONFIRM_LINE0 1300
#define IDC_CONFIRM_LINE1 1301
#define IDC_CONFIRM_LINE2 1302
#define IDC_CONFIRM_LINE3 1303
#define IDC_CONFIRM_LINE4 1304
#define IDC_CONFIRM_LINE5 1305
#define IDC_CONFIRM_LINE6 1306
#define IDC_CONFIRM_LINE7 1307
#define IDC_CONFIRM_LINE8 1308
#define IDC_CONFIRM_LINE9 1309
#define IDC_CONFIRM_MEASURE 1310

// Controls of page 4
#define IDC_DONE_LINE0 1400
#define IDC_DONE_LINE1 1401
#define IDC_DONE_LINE2 1402
#define IDC_DONE_LINE3 1403
#define IDC_DONE_LINE4 1404
#define IDC_DONE_LINE5 1405
#define IDC_DONE_LINE6 1406
#define IDC_DONE_LINE7 1407
#define IDC_DONE_LINE8 1408
#define IDC_DONE_LINE9 1409
#define IDC_DONE_MEASURE 1410

// Buttons of the wizard sheet (the property sheet's own; Cancel is IDCANCEL)
#define IDC_WIZARD_BACK 12323
#define IDC_WIZARD_NEXT 12324

// Controls of the progress dialog
#define IDC_PROGRESS_BAR 1000
#define IDC_PROGRESS_TEXT 1001

// Strings, by use. IDs 13, 24, 25, 46, 50 and 68 hold no string.

// Wizard page 1: introduction
#define IDS_INTRO_PURPOSE 1
#define IDS_INTRO_DRIVER_NOTE 2
#define IDS_INTRO_WIN98_2000_HEADING 3
#define IDS_INTRO_TWAIN_DRIVER 4
#define IDS_INTRO_WINME_HEADING 5
#define IDS_INTRO_WIA_DRIVER 6

// Wizard page 2: preparation
#define IDS_PREPARE_FOLLOW 7
#define IDS_PREPARE_STEP_FORMAT 8
#define IDS_PREPARE_STEP_CABLE 9
#define IDS_PREPARE_STEP_MODE 10
#define IDS_PREPARE_NOTE_HEADING 11
#define IDS_PREPARE_NOTE_TEXT 12
#define IDS_PREPARE_STEP_NEXT 14

// Wizard page 3: confirmation
#define IDS_CONFIRM_INTRO 15
#define IDS_CONFIRM_MODEL_LABEL 16
#define IDS_CONFIRM_CAMERA_VERSION_LABEL 17
#define IDS_CONFIRM_UPDATE_VERSION_LABEL 18
#define IDS_CONFIRM_CLICK_NEXT 19

// Wizard page 4: completion
#define IDS_DONE_COPIED 20
#define IDS_DONE_STEP_DETACH 21
#define IDS_DONE_STEP_FINISH 22
#define IDS_DONE_README_NOTE 23

// Caption of every message box
#define IDS_APP_CAPTION 26

// Messages shown in a message box (MessageId values)
#define IDS_MSG_UPDATE_FILES_MISSING 27
#define IDS_MSG_CANNOT_CONNECT 28
#define IDS_MSG_BATTERY_LOW 29
#define IDS_MSG_WRONG_MODEL 30
#define IDS_MSG_CAMERA_FIRMWARE_NEWER 31
#define IDS_MSG_CARD_SPACE 32
#define IDS_MSG_OUT_OF_MEMORY 40
#define IDS_MSG_INFO_NOT_FOUND 41
#define IDS_MSG_INFO_READ_FAILED 42
#define IDS_MSG_INFO_INCORRECT 43
#define IDS_MSG_FILE_NOT_FOUND 44
#define IDS_MSG_FILE_ACCESS 45
#define IDS_MSG_IMAGE_PROPERTIES 47
#define IDS_MSG_NO_CAMERA 48
#define IDS_MSG_CAMERA_BUSY 49
#define IDS_MSG_CAMERA_INTERNAL 51
#define IDS_MSG_NO_CARD 52
#define IDS_MSG_DRIVER_NOT_INSTALLED 53
#define IDS_MSG_PORT_BUSY 54
#define IDS_MSG_CAMERA_NOT_READY 55
#define IDS_MSG_INCOMPATIBLE_MODEL 56
#define IDS_MSG_LOW_RESOURCES 57
#define IDS_MSG_INTERNAL_ERROR 58
#define IDS_MSG_CONNECTION_PROBLEM 59
#define IDS_MSG_EVENT_BATTERY_LOW 60
#define IDS_MSG_EVENT_BATTERY_OFF 61
#define IDS_MSG_EVENT_BATTERY_NORMAL 62
#define IDS_MSG_POWER_IDLE 63
#define IDS_MSG_POWER_LOW_BATTERY 64
#define IDS_MSG_POWER_BATTERY_COVER 65
#define IDS_MSG_DISCONNECT_MODE_SWITCH 66
#define IDS_MSG_DISCONNECT_CARD_COVER 67
#define IDS_MSG_ALREADY_ON_CARD 79
#define IDS_MSG_TRANSMISSION_ERROR 80
#define IDS_MSG_MULTIPLE_CAMERAS 81
#define IDS_MSG_WRITE_PROTECTED 83

// Questions
#define IDS_ASK_CLOSE 33
#define IDS_ASK_CAMERA_BUSY_RETRY 77
#define IDS_ASK_NO_CAMERA_RETRY 82

// Progress dialog text
#define IDS_PROGRESS_TEXT 34

// Firmware information file: name and section keys
#define IDS_INFO_FILE_NAME 35
#define IDS_KEY_FOLDER_NAME 36
#define IDS_KEY_FILE_NAME 78
#define IDS_KEY_MODEL_NAME 37
#define IDS_KEY_VERSION 38
#define IDS_KEY_CAPACITY 39

// Readme launch
#define IDS_NOTEPAD_PATH 69
#define IDS_README_PATH 71

// Wizard button captions
#define IDS_BUTTON_FINISH 72
#define IDS_BUTTON_CANCEL 73
#define IDS_BUTTON_BACK 74
#define IDS_BUTTON_NEXT 75

// Named mutexes
#define IDS_MUTEX_INSTANCE 70
#define IDS_MUTEX_ERROR_DIALOG 76
