// The recursive folder walk.
#include "folder_walk.h"

#include <cstring>

bool IsSkippedFolderName(const char* name) {
    const size_t n = strlen(name);
    return name[0] == '.' && (n == 1 || n == 2);
}

namespace {

MessageId WalkListing(const FolderWalk& walk, HANDLE search, WIN32_FIND_DATAA& item,
                      const char* folder, const char* cameraFolder) {
    do {
        MessageId result = 0;
        if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsSkippedFolderName(item.cFileName))
                continue;
            char sub[MAX_PATH], cameraSub[MAX_PATH];
            if (!JoinPath(sub, folder, item.cFileName) ||
                (cameraFolder && !JoinPath(cameraSub, cameraFolder, item.cFileName))) {
                if (walk.failure != 0)
                    return walk.failure;
                continue;
            }
            if (walk.onFolder)
                result = walk.onFolder(walk.context, folder, cameraFolder, item);
            if (result == 0)
                result = WalkFolder(walk, sub, cameraFolder ? cameraSub : nullptr);
        } else {
            result = walk.onFile(walk.context, folder, cameraFolder, item);
        }
        if (result != 0)
            return result;
    } while (FindNextFileA(search, &item));
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : walk.failure;
}

} // namespace

MessageId WalkFolder(const FolderWalk& walk, const char* folder, const char* cameraFolder) {
    char pattern[MAX_PATH];
    if (!JoinPath(pattern, folder, "*.*"))
        return walk.failure;
    WIN32_FIND_DATAA item;
    HANDLE search = FindFirstFileA(pattern, &item);
    if (search == INVALID_HANDLE_VALUE)
        return walk.failure;
    // Every way out of the listing passes here: the search is closed once.
    const MessageId result = WalkListing(walk, search, item, folder, cameraFolder);
    FindClose(search);
    return result;
}
