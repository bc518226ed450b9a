// Entry point: one instance at a time, the wizard as one modal property sheet, then the readme.
#include <windows.h>

#include <cstring>

#include "resource_ids.h"
#include "wizard.h"

namespace {

enum { kStringBufferSize = 1024, kCommandLineSize = 1024 };

// Appends as much of `text` as fits, keeping the whole within size - 1 characters.
void AppendCut(char* buffer, size_t size, const char* text) {
    const size_t used = strlen(buffer);
    if (used + 1 < size)
        strncat(buffer, text, size - 1 - used);
}

void OpenReadme(HINSTANCE instance) {
    char directory[MAX_PATH];
    const DWORD n = GetCurrentDirectoryA(MAX_PATH, directory);
    if (n == 0 || n >= MAX_PATH)
        return;
    char text[kStringBufferSize];
    LoadStringA(instance, IDS_README_PATH, text, kStringBufferSize);
    char readme[MAX_PATH];
    memset(readme, 0, sizeof readme);
    // A readme path that does not fit is not cut into some other file's path.
    if (strlen(directory) + strlen(text) >= MAX_PATH)
        return;
    strcpy(readme, directory);
    strcat(readme, text);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(readme, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FindClose(search);

    char windows[MAX_PATH];
    const UINT w = GetWindowsDirectoryA(windows, MAX_PATH);
    if (w == 0 || w >= MAX_PATH)
        return;
    LoadStringA(instance, IDS_NOTEPAD_PATH, text, kStringBufferSize);
    char command[kCommandLineSize];
    memset(command, 0, sizeof command);
    AppendCut(command, sizeof command, windows);
    AppendCut(command, sizeof command, text);
    AppendCut(command, sizeof command, readme);
    WinExec(command, SW_SHOWDEFAULT);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    char name[kStringBufferSize];
    LoadStringA(instance, IDS_MUTEX_INSTANCE, name, kStringBufferSize);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    int result = 0;
    if (mutex && GetLastError() == 0) {
        const INT_PTR sheet = RunWizardSheet(instance);
        if (sheet != -1) {
            result = static_cast<int>(sheet);
            if (wizardState.openReadmeOnExit == 1)
                OpenReadme(instance);
        }
    }
    if (mutex)
        CloseHandle(mutex);
    return result;
}
