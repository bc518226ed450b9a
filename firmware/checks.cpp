// Pre-copy checks over the firmware job and the camera link.
#include "checks.h"

#include <cstdio>
#include <cstring>

#include "camera_events.h"
#include "camera_link.h"
#include "folder_walk.h"

namespace {

// A camera failure a step does not handle itself: its translation, or the internal error when
// there is none.
MessageId Translated(DriverResult result) {
    const MessageId message = TranslateDriverResult(result);
    return message < 0 ? IDS_MSG_INTERNAL_ERROR : message;
}

// "Already on the card" when the name is there. A lookup that fails says nothing about the card:
// it stops the checks with its own message, as every other camera failure does.
MessageId LookUpOnCard(const char* name) {
    DriverResult failure = kDriverOk;
    const DriverResult found = CameraFileExists(name, &failure);
    if (failure != kDriverOk)
        return Translated(failure);
    return found != 0 ? IDS_MSG_ALREADY_ON_CARD : 0;
}

// Objects on the card carry only the last component of their path.
MessageId LookUpFileOnCard(void*, const char*, const char*, const WIN32_FIND_DATAA& item) {
    return LookUpOnCard(item.cFileName);
}

bool CurrentDirectory(char* path) {
    const DWORD n = GetCurrentDirectoryA(MAX_PATH, path);
    return n > 0 && n < MAX_PATH;
}

} // namespace

MessageId LoadResultMessage(int32_t result) {
    switch (result) {
    case kFirmwareInfoOk:
        return 0;
    case kFirmwareInfoCannotOpen:
        return IDS_MSG_INFO_NOT_FOUND;
    case kFirmwareInfoReadError:
        return IDS_MSG_INFO_READ_FAILED;
    case kFirmwareInfoOutOfMemory:
        return IDS_MSG_OUT_OF_MEMORY;
    default:
        return IDS_MSG_INFO_INCORRECT;
    }
}

MessageId CheckFirmwareFiles(FirmwareJob* job, uint64_t* total) {
    char directory[MAX_PATH];
    if (!CurrentDirectory(directory))
        return IDS_MSG_UPDATE_FILES_MISSING;
    *total = 0;
    for (FirmwareEntry* entry = job->entryHead; entry; entry = entry->next) {
        char path[MAX_PATH];
        if (!entry->name || !JoinPath(path, directory, entry->name))
            return IDS_MSG_UPDATE_FILES_MISSING;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(path, &found);
        if (search == INVALID_HANDLE_VALUE)
            return IDS_MSG_UPDATE_FILES_MISSING;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            entry->isFile = 1;
            entry->sizeHigh = found.nFileSizeHigh;
            entry->sizeLow = found.nFileSizeLow;
            // 64 bits, so an update of 2 GiB or more cannot wrap around and pass.
            *total += (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        }
        FindClose(search);
    }
    return 0;
}

MessageId CheckDeclaredSpace(const FirmwareJob* job, uint64_t total) {
    const uint64_t neededKB = (total + 1023) / 1024;
    return neededKB > static_cast<uint64_t>(job->capacityKB) ? IDS_MSG_INFO_INCORRECT : 0;
}

MessageId ConnectCamera(HWND owner, AskRetryFn askRetry, FirmwareJob* job) {
    uint32_t count = 0;
    bool retried = false;
    for (;;) {
        const DriverResult r = CameraOpen(CameraEventHandler, &count);
        bool cancelled = false;
        // "No camera detected" from the driver is asked about like a count of 0, so the user
        // decides how long to go on trying.
        const bool noCamera =
            (r == kDriverOk && count == 0) || TranslateDriverResult(r) == IDS_MSG_NO_CAMERA;
        if (noCamera) {
            if (askRetry(owner, IDS_ASK_NO_CAMERA_RETRY) == IDRETRY) {
                retried = false;
            } else {
                cancelled = true;
                retried = true;
            }
        }
        if (count > 1)
            return r;
        if (r == kDriverOk && !noCamera) {
            job->cameraOpen = 1;
            return 0;
        }
        if (!retried) {
            retried = true;
            continue;
        }
        if (cancelled || r == kDriverLinkState) {
            job->cameraOpen = 0;
            return IDS_MSG_CANNOT_CONNECT;
        }
        job->cameraOpen = 0;
        return Translated(r);
    }
}

MessageId CheckBattery() {
    uint32_t state = 0;
    const DriverResult r = CameraGetBatteryState(&state);
    if (r != kDriverOk)
        return Translated(r);
    return state == kBatteryLow ? IDS_MSG_BATTERY_LOW : 0;
}

MessageId CheckCameraModel(FirmwareJob* job) {
    char model[kModelNameBufferSize] = "";
    const DriverResult r = CameraGetModelName(model);
    if (r != kDriverOk)
        return Translated(r);
    for (ModelEntry* entry = job->modelHead; entry; entry = entry->next) {
        // A listed name of 256 characters or more never matches.
        if (!entry->name || strlen(entry->name) >= 256 || strcmp(entry->name, model) != 0)
            continue;
        job->cameraModel = CopyLineText(model);
        return job->cameraModel ? 0 : IDS_MSG_OUT_OF_MEMORY;
    }
    return IDS_MSG_WRONG_MODEL;
}

MessageId ReadCameraFirmwareVersion(FirmwareJob* job) {
    char version[256] = "";
    const DriverResult r = CameraGetFirmwareVersion(version);
    if (r != kDriverOk)
        return Translated(r);
    job->cameraFirmwareVersion = CopyLineText(version);
    return job->cameraFirmwareVersion ? 0 : IDS_MSG_OUT_OF_MEMORY;
}

MessageId CheckMemoryCard(const FirmwareJob* job) {
    uint32_t access = 0, capacity = 0, freeSpace = 0;
    const DriverResult r = CameraGetCardInfo(&access, &capacity, &freeSpace);
    if (r != kDriverOk)
        return Translated(r);
    if (capacity == 0 || capacity < freeSpace)
        return IDS_MSG_NO_CARD;
    if (access != 0)
        return IDS_MSG_WRITE_PROTECTED;
    if (static_cast<int64_t>(freeSpace / 1024) < job->capacityKB)
        return IDS_MSG_CARD_SPACE;
    return 0;
}

MessageId FindFolderOnCard(const char* diskFolder) {
    // Paths that do not fit and folders that cannot be listed hold nothing to look for.
    const FolderWalk lookUp = {LookUpFileOnCard, nullptr, 0, nullptr};
    return WalkFolder(lookUp, diskFolder, nullptr);
}

MessageId CheckUpdateNotOnCard(const FirmwareJob* job) {
    char directory[MAX_PATH];
    if (!CurrentDirectory(directory))
        return IDS_MSG_UPDATE_FILES_MISSING;
    for (const FirmwareEntry* entry = job->entryHead; entry; entry = entry->next) {
        if (!entry->name)
            return IDS_MSG_UPDATE_FILES_MISSING;
        MessageId result = 0;
        char folder[MAX_PATH];
        if (entry->isFile == 1)
            result = LookUpOnCard(LastPathComponent(entry->name));
        else if (JoinPath(folder, directory, entry->name))
            result = FindFolderOnCard(folder);
        if (result != 0)
            return result;
    }
    return 0;
}

MessageId RunPreCopyChecks(HINSTANCE instance, HWND owner, FirmwareJob* job, AskRetryFn askRetry) {
    MessageId result = LoadResultMessage(LoadFirmwareInfo(instance, job));
    if (result)
        return result;
    uint64_t total = 0;
    if ((result = CheckFirmwareFiles(job, &total)) != 0 ||
        (result = CheckDeclaredSpace(job, total)) != 0 ||
        (result = ConnectCamera(owner, askRetry, job)) != 0 || (result = CheckBattery()) != 0 ||
        (result = CheckCameraModel(job)) != 0 || (result = ReadCameraFirmwareVersion(job)) != 0 ||
        (result = CheckMemoryCard(job)) != 0 || (result = CheckUpdateNotOnCard(job)) != 0)
        return result;
    return 0;
}
