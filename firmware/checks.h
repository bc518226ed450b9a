// The checks run before anything is copied: update complete on disk, one camera, its battery,
// model and card, and the update not yet on the card. Each returns 0 or the MessageId to show.
#pragma once

#include <windows.h>

#include "firmware_job.h"
#include "resource_ids.h"

// The one question of the checks, Retry or Cancel when no camera is found, is put by the caller:
// the answer is IDRETRY or IDCANCEL. `owner` is handed to it as given.
typedef int (*AskRetryFn)(HWND owner, MessageId question);

// Strings come from `instance`; the job starts empty.
MessageId RunPreCopyChecks(HINSTANCE instance, HWND owner, FirmwareJob* job, AskRetryFn askRetry);

// The message for a result of LoadFirmwareInfo: 0 when it loaded.
MessageId LoadResultMessage(int32_t result);

// The steps, in the order RunPreCopyChecks runs them.
MessageId CheckFirmwareFiles(FirmwareJob* job, uint64_t* total);
MessageId CheckDeclaredSpace(const FirmwareJob* job, uint64_t total);
MessageId ConnectCamera(HWND owner, AskRetryFn askRetry, FirmwareJob* job);
MessageId CheckBattery();
MessageId CheckCameraModel(FirmwareJob* job);
MessageId ReadCameraFirmwareVersion(FirmwareJob* job);
MessageId CheckMemoryCard(const FirmwareJob* job);
MessageId CheckUpdateNotOnCard(const FirmwareJob* job);
MessageId FindFolderOnCard(const char* diskFolder);
