// The checks run before anything is copied: update complete on disk, one camera, its battery,
// model and card, and the update not yet on the card. Each returns 0 or the MessageId to show.
#pragma once

#include <windows.h>

#include "firmware_job.h"

typedef int MessageId;

MessageId RunPreCopyChecks(HWND window, FirmwareJob* job);

// The steps, in the order RunPreCopyChecks runs them.
MessageId CheckFirmwareFiles(FirmwareJob* job, uint64_t* total);
MessageId CheckDeclaredSpace(const FirmwareJob* job, uint64_t total);
MessageId ConnectCamera(HWND window, FirmwareJob* job);
MessageId CheckBattery();
MessageId CheckCameraModel(FirmwareJob* job);
MessageId ReadCameraFirmwareVersion(FirmwareJob* job);
MessageId CheckMemoryCard(const FirmwareJob* job);
MessageId CheckUpdateNotOnCard(const FirmwareJob* job);
MessageId FindFolderOnCard(const char* diskFolder);

// Joins `first`, a backslash and `second` into a MAX_PATH buffer; false when it would not fit,
// so that a cut path never stands for some other file.
bool JoinPath(char* path, const char* first, const char* second);

// The part of a path after its last backslash (double-byte characters respected).
const char* LastPathComponent(const char* path);

// A folder listing's search, closed on every way out of the walk.
struct FolderSearch {
    HANDLE handle;
    FolderSearch(const char* pattern, WIN32_FIND_DATAA* item)
        : handle(FindFirstFileA(pattern, item)) {}
    ~FolderSearch() {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
    FolderSearch(const FolderSearch&) = delete;
    FolderSearch& operator=(const FolderSearch&) = delete;
};

// A folder listing skips "." and "..", and any other one- or two-character name with a dot first.
bool IsSkippedFolderName(const char* name);
