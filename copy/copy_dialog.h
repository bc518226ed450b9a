// The progress dialog and the worker thread that copies the update to the card.
#pragma once

#include <windows.h>

#include "driver_result.h"
#include "firmware_job.h"
#include "resource_ids.h"

// Sizes in KB (units of 1024 bytes) that drive the progress bar. Written only by the worker, read
// on the driver's thread while a file is sent: both through interlocked.h, as is progressDialog.
struct ProgressCounters {
    LONG totalKB;   // whole update, clamped to 65535
    LONG copiedKB;  // files sent completely
    LONG currentKB; // the file being sent, clamped to 65535
};

extern ProgressCounters progressCounters;
extern HWND progressDialog;

// Dialog procedure of the progress dialog; the dialog ends with the worker's MessageId.
INT_PTR CALLBACK CopyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// What page 3 shows for a copy that ended with the non-zero `result`, once the dialog has ended
// and the camera link is closed (no event can come any more): nothing when a camera event's
// message was shown during the copy, else an event's report still queued, else the result.
MessageId CopyFailureMessage(INT_PTR result);

// Thread routine: copies the job's entries, then has the dialog end itself with the result.
DWORD WINAPI CopyWorker(LPVOID job);

// Progress function handed to the camera while a file is sent.
DriverResult ReportCopyProgress(uint32_t percent, uint32_t context, uint32_t userValue);

// The phases of the worker, in order.
MessageId PrepareTopFolders(const FirmwareJob* job);
MessageId CountUpdateSize(const FirmwareJob* job);
MessageId CountFolderSize(const char* folder);
MessageId CopyUpdateEntries(const FirmwareJob* job);
MessageId CopyFolderTree(const char* localFolder, const char* cameraFolder);
