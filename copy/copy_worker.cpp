// The copy itself, on the worker thread: the update's size counted, then every file and folder
// sent to the card, the progress bar moved from the driver's reports.
#include "copy_worker.h"

#include <commctrl.h>

#include <cstring>

#include "camera_events.h"
#include "camera_link.h"
#include "common/interlocked.h"
#include "folder_walk.h"
#include "resource_ids.h"

ProgressCounters progressCounters = {};
HWND progressDialog = nullptr;

namespace {

const LONG kMaxKB = 65535;
const DWORD kPauseAfterCameraError = 1000;

// Whole KB of a file, a part KB counting as one; never wraps for sizes near 4 GiB.
LONG FileKB(uint32_t size) {
    const uint64_t kb = (static_cast<uint64_t>(size) + 1023) / 1024;
    return kb > static_cast<uint64_t>(kMaxKB) ? kMaxKB : static_cast<LONG>(kb);
}

// Only the worker writes the counters; the progress function reads them on the driver's thread.
void AddToTotal(uint32_t size) {
    const LONG total = ReadShared(&progressCounters.totalKB) + FileKB(size);
    WriteShared(&progressCounters.totalKB, total > kMaxKB ? kMaxKB : total);
}

// The card path of a top-level entry: "\" followed by its name; false when it would not fit.
bool TopCameraPath(char* path, const char* name) {
    if (strlen(name) + 2 > MAX_PATH)
        return false;
    path[0] = '\\';
    strcpy(path + 1, name);
    return true;
}

// A file that could not be sent: a pause after errors inside the camera, so that its event,
// if one is on the way, arrives before the worker decides between its two messages.
MessageId SendFailed(DriverResult result) {
    const MessageId message = TranslateDriverResult(result);
    if (message == IDS_MSG_CAMERA_INTERNAL || message < 0)
        Sleep(kPauseAfterCameraError);
    return IDS_MSG_TRANSMISSION_ERROR;
}

MessageId SendOneFile(const char* localPath, uint32_t size, const char* cameraPath) {
    if (CameraWasLost())
        return IDS_MSG_INTERNAL_ERROR;
    const LONG kb = FileKB(size);
    WriteShared(&progressCounters.currentKB, kb);
    const DriverResult r = CameraSendFile(localPath, &size, cameraPath, ReportCopyProgress);
    if (r != kDriverOk)
        return SendFailed(r);
    AddShared(&progressCounters.copiedKB, kb);
    return 0;
}

MessageId CountFile(void*, const char*, const char*, const WIN32_FIND_DATAA& item) {
    AddToTotal(item.nFileSizeLow);
    return 0;
}

// Every file and folder of a tree: paths that do not fit cannot be sent, so they fail the copy.
MessageId SendTreeFile(void*, const char* folder, const char* cameraFolder,
                       const WIN32_FIND_DATAA& item) {
    char localPath[MAX_PATH], cameraPath[MAX_PATH];
    if (!JoinPath(localPath, folder, item.cFileName) ||
        !JoinPath(cameraPath, cameraFolder, item.cFileName))
        return IDS_MSG_TRANSMISSION_ERROR;
    return SendOneFile(localPath, item.nFileSizeLow, cameraPath);
}

MessageId PrepareTreeFolder(void*, const char*, const char* cameraFolder,
                            const WIN32_FIND_DATAA& item) {
    char cameraPath[MAX_PATH];
    if (!JoinPath(cameraPath, cameraFolder, item.cFileName) || CameraPrepareFolder(cameraPath) > 0)
        return IDS_MSG_TRANSMISSION_ERROR;
    return 0;
}

// One top-level entry of the update, a file, with its paths on disk and on the card (none when
// the walk names no card paths).
typedef MessageId (*EntryFileFn)(const char* localPath, const char* cameraPath,
                                 const FirmwareEntry& entry);

// The job's entries in list order, in the current directory: each file through `onFile`, each
// folder as a tree through `trees`, whose failure also stands for a path that does not fit. A
// job that lists nothing, or an entry without a name, is an update whose files are missing.
MessageId WalkUpdateEntries(const FirmwareJob* job, EntryFileFn onFile, const FolderWalk& trees,
                            bool cameraPaths) {
    char directory[MAX_PATH];
    const DWORD n = GetCurrentDirectoryA(MAX_PATH, directory);
    if (job->entryCount == 0 || n == 0 || n >= MAX_PATH || !job->entryHead)
        return IDS_MSG_UPDATE_FILES_MISSING;
    for (const FirmwareEntry* entry = job->entryHead; entry; entry = entry->next) {
        if (!entry->name)
            return IDS_MSG_UPDATE_FILES_MISSING;
        char localPath[MAX_PATH], cameraPath[MAX_PATH];
        if (!JoinPath(localPath, directory, entry->name) ||
            (cameraPaths && !TopCameraPath(cameraPath, entry->name))) {
            if (trees.failure != 0)
                return trees.failure;
            continue;
        }
        const char* camera = cameraPaths ? cameraPath : nullptr;
        const MessageId result = entry->isFile ? onFile(localPath, camera, *entry)
                                               : WalkFolder(trees, localPath, camera);
        if (result != 0)
            return result;
    }
    return 0;
}

MessageId CountEntryFile(const char*, const char*, const FirmwareEntry& entry) {
    AddToTotal(entry.sizeLow);
    return 0;
}

MessageId SendEntryFile(const char* localPath, const char* cameraPath, const FirmwareEntry& entry) {
    return SendOneFile(localPath, entry.sizeLow, cameraPath);
}

// What cannot be listed or named counts as empty.
const FolderWalk kCountWalk = {CountFile, nullptr, 0, nullptr};
// A folder that cannot be listed, or whose listing stops short, would leave part of the update
// off the card.
const FolderWalk kCopyWalk = {SendTreeFile, PrepareTreeFolder, IDS_MSG_TRANSMISSION_ERROR, nullptr};

} // namespace

bool CameraWasLost() {
    return ReadShared(&cameraLink.cameraLost) != 0;
}

DriverResult ReportCopyProgress(uint32_t percent, uint32_t, uint32_t) {
    // The library ends the file in flight on a failure: the camera is going away.
    if (CameraWasLost())
        return kDriverConnectionLost;
    Sleep(1);
    const uint32_t product =
        static_cast<uint32_t>(ReadShared(&progressCounters.currentKB)) * percent;
    const LONG share = static_cast<LONG>(product * 0.01);
    LONG position = ReadShared(&progressCounters.copiedKB) + share;
    if (position > kMaxKB)
        position = kMaxKB;
    // An update made only of empty files has nothing to divide by: its bar ends full.
    const LONG total = ReadShared(&progressCounters.totalKB);
    const LONG bar = total > 0 ? position * 100 / total : 100;
    SendDlgItemMessageA(ReadSharedPointer(&progressDialog), IDC_PROGRESS_BAR, PBM_SETPOS, bar, 0);
    return 0;
}

MessageId PrepareTopFolders(const FirmwareJob* job) {
    if (job->entryCount == 0 || !job->entryHead)
        return IDS_MSG_UPDATE_FILES_MISSING;
    DriverResult last = 0;
    for (const FirmwareEntry* entry = job->entryHead; entry; entry = entry->next) {
        if (entry->isFile || !entry->name)
            continue;
        char cameraPath[MAX_PATH];
        if (!TopCameraPath(cameraPath, entry->name))
            return IDS_MSG_TRANSMISSION_ERROR;
        last = CameraPrepareFolder(cameraPath);
        if (last > 0)
            return last;
    }
    return last;
}

MessageId CountFolderSize(const char* folder) {
    return WalkFolder(kCountWalk, folder, nullptr);
}

MessageId CountUpdateSize(const FirmwareJob* job) {
    return WalkUpdateEntries(job, CountEntryFile, kCountWalk, false);
}

MessageId CopyFolderTree(const char* localFolder, const char* cameraFolder) {
    return WalkFolder(kCopyWalk, localFolder, cameraFolder);
}

MessageId CopyUpdateEntries(const FirmwareJob* job) {
    return WalkUpdateEntries(job, SendEntryFile, kCopyWalk, true);
}
