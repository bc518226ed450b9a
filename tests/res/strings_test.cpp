// Every string of the module's table, loaded as the program loads it, against the exact texts.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "resource_ids.h"
#include "resource_module.h"

namespace {

struct ExpectedString {
    UINT id;
    const char* text;
};

// The texts exactly as the program must show or use them, blanks and escapes included.
const ExpectedString kStrings[] = {
    {1, "This program copies the firmware upgrade for Tarvo cameras to a memory card in a camera "
        "via a cable."},
    {2, "If using Windows 98/2000/Me and the camera has never been connected to the computer, "
        "close this program and first install the device driver.\r\n(Device driver installation is "
        "not required for customers using Windows XP.)"},
    {3, "[ Customers using Windows 98/2000 ]"},
    {4, "Install Tarvo Camera TWAIN Driver."},
    {5, "[ Customers using Windows Me ]"},
    {6, "Install Tarvo Camera WIA Driver."},
    {7, "Follow the procedures below."},
    {8, "1.  Format the camera memory card."},
    {9, "2.  Connect the camera cable."},
    {10, "3.  Set the camera to Computer Connection Mode."},
    {11, "[Note]"},
    {12, "Cancel the event dialogue when it is displayed after setting the camera to Computer "
         "Connection Mode. Close any applications that launch when this setting is made."},
    {14, "4.  Click the [Next] button after you have finished the procedures above. "},
    {15, "Copy the firmware update to the following camera memory card."},
    {16, "Camera Model:  "},
    {17, "Current camera firmware version:  "},
    {18, "Upgrade firmware version:  "},
    {19, "Click [Next] to start the copy to the camera memory card."},
    {20, "Firmware update has been copied to the camera memory card."},
    {21, "1.  Detach the cable from the camera."},
    {22, "2.  Click the [Finish] button to close the program."},
    {23, "The program will close after it displays the [Readme.txt] file. This file contains the "
         "instructions for upgrading the firmware in the camera. Follow these instructions to "
         "upgrade the camera's firmware."},
    {26, "Vandrel"},
    {27, "File(s) containing firmware update cannot be found.\nClick [OK] to close the program."},
    {28, "Cannot connect to camera.\nClick [OK] to close the program."},
    {29, "Camera's battery charge is low.\nCharge the battery or use an AC adapter.\nClick [OK] to "
         "close the program."},
    {30, "This firmware upgrade is not intended for the connected camera.\nClick [OK] to close the "
         "program."},
    {31, "The firmware version in the connected camera is newer than this upgrade. There is no "
         "need to upgrade with this program.\nClick [OK] to close the program."},
    {32, "The memory card does not have sufficient free space.\nFormat the memory card and "
         "reconnect the camera.\nClick [OK] to close the program."},
    {33, "Close this program?"},
    {34, "Copying to camera memory card..."},
    {35, "\\FirmInfo.txt"},
    {36, "Firmware Folder Name"},
    {37, "Camera Model Name"},
    {38, "Firmware Version"},
    {39, "CF Capacity"},
    {40, "Insufficient memory.\nClick [OK] to close the program."},
    {41, "\"FirmInfo.txt\" cannot be found.\nClick [OK] to close the program."},
    {42, "Failed to read \"FirmInfo.txt\".\nClick [OK] to close the program."},
    {43, "\"FirmInfo.txt\" is incorrect. \nClick [OK] to close the program."},
    {44, "File not found or inaccessible.\nClick [OK] to close the program."},
    {45, "File access error.\nClick [OK] to close the program."},
    {47, "Image properties unavailable. \nFile may be altered, missing data or in unsupported "
         "format.\nClick [OK] to close the program."},
    {48,
     "No camera detected.\nCheck power and cable connection.\nClick [OK] to close the program."},
    {49, "The camera is busy. No response from camera.\nClick [OK] to close the program."},
    {51, "Internal error in camera.\nTarvo Digital Camera TWAIN will disconnect the camera.\nClick "
         "[OK] to close the program."},
    {52, "Memory card not found.\nInsert a memory card and reconnect the camera.\nClick [OK] to "
         "close the program."},
    {53, "Camera driver software not correctly installed.\nReinstall Tarvo Digital Camera TWAIN "
         "and retry.\nClick [OK] to close the program."},
    {54, "Communication port busy.\nClose other applications using the camera or port and "
         "reconnect.\nClick [OK] to close the program."},
    {55, "Camera not detected! Camera poorly attached or not ready.\nCheck power and cable "
         "connections.\nClick Communication Settings button to confirm settings.\nClick [OK] to "
         "close the program."},
    {56, "Incompatible camera model.\nCheck selected camera model before reconnecting.\nClick [OK] "
         "to close the program."},
    {57, "System is very low in resources or out of memory.\nPlease close open applications to "
         "increase available resources.\nClick [OK] to close the program."},
    {58, "Internal Error.\nDisconnect from camera.\nClick [OK] to close the program."},
    {59, "There is a problem with the camera connection. \nPlease exit application and check the "
         "cable, camera battery, power and mode dial.\nClick [OK] to close the program."},
    {60, "Camera's battery charge is low.\nCharge the battery or use an AC adapter.\nClick [OK] to "
         "close the program."},
    {61, "Camera has turned OFF because of low battery condition.\nPlease exit application and "
         "replace battery.\nClick [OK] to close the program."},
    {62, "Camera battery level is normal."},
    {63, "The camera powered down because it has not been accessed for a long period.\nClick [OK] "
         "to close the program."},
    {64, "Low battery caused camera powerdown.\nReplace battery, charge battery pack or connect to "
         "AC adapter before reconnecting.\nClick [OK] to close the program."},
    {65, "Open battery cover caused camera powerdown.\nClose battery cover before "
         "reconnecting.\nClick [OK] to close the program."},
    {66, "Changing the camera's mode switch position caused the camera to disconnect.\nTo connect "
         "again, ensure the camera is ready.\nClick [OK] to close the program."},
    {67, "Opening the memory card slot cover caused the camera to disconnect.\nClose the cover and "
         "reconnect to continue.\nClick [OK] to close the program."},
    {69, "\\notepad.exe "},
    {70, "TarvoVandrelUtility"},
    {71, "\\readme.txt"},
    {72, "Finish"},
    {73, "Cancel"},
    {74, "< Back"},
    {75, "Next >"},
    {76, "TarvoVandrelUtilityErrorDialog"},
    {77, "The camera is busy and cannot respond.\n\nIf the LCD monitor of the camera is turned on, "
         "turn it off.\nClick Retry to try again or click Cancel to disconnect the camera."},
    {78, "Firmware File Name"},
    {79, "Saving firmware update to camera.\nFormat the camera memory card and restart this "
         "program.\nClick [OK] to close the program."},
    {80, "A transmission error occurred during the copy process.\nFormat the camera memory card "
         "and restart this program.\nClick [OK] to close the program."},
    {81, "Multiple cameras are connected.\nConnect only the to be updated and restart this "
         "program.\nClick [OK] to close the program."},
    {82, "No camera detected.\nCheck power and cable connection"},
    {83, "The memory card is write protected.\r\nRemove write protection or use a different memory "
         "card.\r\nClick [OK] to close the program."},
};

const UINT kIdsWithoutString[] = {13, 24, 25, 46, 50, 68};

// The program loads texts into buffers of 1024 characters.
std::string Load(UINT id) {
    char buffer[1024];
    memset(buffer, 0x55, sizeof buffer);
    int length = LoadStringA(resourceModule, id, buffer, sizeof buffer);
    if (length <= 0)
        return std::string();
    return std::string(buffer, static_cast<size_t>(length));
}

::testing::AssertionResult StartsWith(const std::string& text, const std::string& prefix) {
    if (text.compare(0, prefix.size(), prefix) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\"" << text << "\" does not start with \"" << prefix << "\"";
}

// Shows control characters, so a failure says which blank or escape differs.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == ' ')
            out += "_";
        else
            out += c;
    }
    return out;
}

TEST(StringTable, EveryStringMatchesItsExactText) {
    ASSERT_EQ(sizeof kStrings / sizeof kStrings[0], 77u);
    for (const ExpectedString& s : kStrings) {
        SCOPED_TRACE("string " + std::to_string(s.id));
        std::string loaded = Load(s.id);
        EXPECT_EQ(Escaped(loaded), Escaped(s.text));
        EXPECT_EQ(loaded.size(), strlen(s.text));
    }
}

TEST(StringTable, LoadedLengthIsTheTextLengthAndEndsInNul) {
    for (const ExpectedString& s : kStrings) {
        SCOPED_TRACE("string " + std::to_string(s.id));
        char buffer[1024];
        memset(buffer, 0x55, sizeof buffer);
        int length = LoadStringA(resourceModule, s.id, buffer, sizeof buffer);
        ASSERT_EQ(length, static_cast<int>(strlen(s.text)));
        EXPECT_EQ(buffer[length], '\0');
    }
}

TEST(StringTable, IdsWithoutStringHoldNone) {
    for (UINT id : kIdsWithoutString) {
        SCOPED_TRACE("string " + std::to_string(id));
        char buffer[16] = "unchanged";
        EXPECT_EQ(LoadStringA(resourceModule, id, buffer, sizeof buffer), 0);
    }
}

TEST(StringTable, NoStringOutsideTheTable) {
    std::set<UINT> listed;
    for (const ExpectedString& s : kStrings)
        listed.insert(s.id);
    for (UINT id = 0; id < 1024; ++id) {
        if (listed.count(id))
            continue;
        SCOPED_TRACE("string " + std::to_string(id));
        char buffer[16];
        EXPECT_EQ(LoadStringA(resourceModule, id, buffer, sizeof buffer), 0);
    }
}

TEST(StringTable, EscapesSurviveTheResourceCompiler) {
    // The texts whose exact bytes are easiest to lose between source and module.
    EXPECT_EQ(Load(35), "\\FirmInfo.txt");
    EXPECT_EQ(Load(69), "\\notepad.exe ");
    EXPECT_EQ(Load(41), "\"FirmInfo.txt\" cannot be found.\nClick [OK] to close the program.");
    EXPECT_EQ(Load(8), "1.  Format the camera memory card.");
    EXPECT_EQ(Load(16), "Camera Model:  ");
    EXPECT_TRUE(StartsWith(Load(43), "\"FirmInfo.txt\" is incorrect. \nC"));
    std::string writeProtected = Load(83);
    EXPECT_NE(writeProtected.find(".\r\nRemove"), std::string::npos);
    EXPECT_NE(Load(77).find("respond.\n\nIf the LCD"), std::string::npos);
}

TEST(StringTable, TextsThatLookAlikeKeepTheirDifferences) {
    EXPECT_EQ(Load(29), Load(60));
    std::string noCamera = Load(48);
    std::string retryQuestion = Load(82);
    EXPECT_EQ(noCamera.compare(0, retryQuestion.size(), retryQuestion), 0);
    EXPECT_EQ(retryQuestion.find("[OK]"), std::string::npos);
    EXPECT_NE(noCamera.find("[OK]"), std::string::npos);
}

TEST(StringTable, NamesUsedByTheCodeHoldTheirTexts) {
    EXPECT_EQ(Load(IDS_APP_CAPTION), "Vandrel");
    EXPECT_EQ(Load(IDS_INFO_FILE_NAME), "\\FirmInfo.txt");
    EXPECT_EQ(Load(IDS_KEY_FOLDER_NAME), "Firmware Folder Name");
    EXPECT_EQ(Load(IDS_KEY_FILE_NAME), "Firmware File Name");
    EXPECT_EQ(Load(IDS_KEY_MODEL_NAME), "Camera Model Name");
    EXPECT_EQ(Load(IDS_KEY_VERSION), "Firmware Version");
    EXPECT_EQ(Load(IDS_KEY_CAPACITY), "CF Capacity");
    EXPECT_EQ(Load(IDS_NOTEPAD_PATH), "\\notepad.exe ");
    EXPECT_EQ(Load(IDS_README_PATH), "\\readme.txt");
    EXPECT_EQ(Load(IDS_MUTEX_INSTANCE), "TarvoVandrelUtility");
    EXPECT_EQ(Load(IDS_MUTEX_ERROR_DIALOG), "TarvoVandrelUtilityErrorDialog");
    EXPECT_EQ(Load(IDS_BUTTON_FINISH), "Finish");
    EXPECT_EQ(Load(IDS_BUTTON_CANCEL), "Cancel");
    EXPECT_EQ(Load(IDS_BUTTON_BACK), "< Back");
    EXPECT_EQ(Load(IDS_BUTTON_NEXT), "Next >");
    EXPECT_EQ(Load(IDS_PROGRESS_TEXT), "Copying to camera memory card...");
    EXPECT_EQ(Load(IDS_ASK_CLOSE), "Close this program?");
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_INTERNAL_ERROR), "Internal Error.\n"));
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_OUT_OF_MEMORY), "Insufficient memory."));
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_INFO_NOT_FOUND), "\"FirmInfo.txt\" "));
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_INFO_READ_FAILED), "Failed to read "));
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_INFO_INCORRECT), "\"FirmInfo.txt\" is incorrect."));
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_MULTIPLE_CAMERAS), "Multiple cameras are conn"));
    EXPECT_TRUE(StartsWith(Load(IDS_MSG_WRITE_PROTECTED), "The memory card is write"));
}

// The table is one language only: English (United States).
TEST(StringTable, EveryBlockIsEnglishUnitedStatesOnly) {
    for (UINT block = 1; block <= 6; ++block) {
        SCOPED_TRACE("block " + std::to_string(block));
        EXPECT_NE(FindResourceExA(resourceModule, RT_STRING, MAKEINTRESOURCEA(block),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
                  nullptr);
    }
    EXPECT_EQ(FindResourceA(resourceModule, MAKEINTRESOURCEA(7), RT_STRING), nullptr);
}

} // namespace
