// Path joins that never cut, and the recursive folder walk.
#include "common/paths.h"

#include <cstring>

namespace {

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

} // namespace

bool JoinPath(char* path, const char* first, const char* second) {
    const size_t a = strlen(first), b = strlen(second);
    if (a + 1 + b >= MAX_PATH)
        return false;
    memmove(path, first, a);
    path[a] = '\\';
    memcpy(path + a + 1, second, b + 1);
    return true;
}

const char* LastPathComponent(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p))) {
            if (!p[1])
                break;
            ++p;
            continue;
        }
        if (*p == '\\')
            name = p + 1;
    }
    return name;
}

bool IsSkippedFolderName(const char* name) {
    const size_t n = strlen(name);
    return name[0] == '.' && (n == 1 || n == 2);
}

MessageId WalkFolder(const FolderWalk& walk, const char* folder, const char* cameraFolder) {
    char pattern[MAX_PATH];
    if (!JoinPath(pattern, folder, "*.*"))
        return walk.failure;
    WIN32_FIND_DATAA item;
    FolderSearch search(pattern, &item);
    if (search.handle == INVALID_HANDLE_VALUE)
        return walk.failure;
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
                result = walk.onFolder(folder, cameraFolder, item);
            if (result == 0)
                result = WalkFolder(walk, sub, cameraFolder ? cameraSub : nullptr);
        } else {
            result = walk.onFile(folder, cameraFolder, item);
        }
        if (result != 0)
            return result;
    } while (FindNextFileA(search.handle, &item));
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : walk.failure;
}
