// The copy's phases, run by the worker thread in this order, and the progress they report.
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

// True once a camera event marked the camera as lost: nothing more is written to its card, and
// the event's message is the run's one message.
bool CameraWasLost();

// Progress function handed to the camera while a file is sent.
DriverResult ReportCopyProgress(uint32_t percent, uint32_t context, uint32_t userValue);

// The phases of the worker, in order.
MessageId PrepareTopFolders(const FirmwareJob* job);
MessageId CountUpdateSize(const FirmwareJob* job);
MessageId CountFolderSize(const char* folder);
MessageId CopyUpdateEntries(const FirmwareJob* job);
MessageId CopyFolderTree(const char* localFolder, const char* cameraFolder);
