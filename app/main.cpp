// Entry point: one instance at a time, the wizard as one modal property sheet, then the readme.
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <cstddef>
#include <cstring>

#include "resource_ids.h"
#include "wizard.h"

namespace {

struct PageRow {
    WORD templateId;
    DLGPROC procedure;
};

const PageRow kPages[] = {
    {IDD_INTRO_PAGE, IntroPageProc},
    {IDD_PREPARE_PAGE, PreparePageProc},
    {IDD_CONFIRM_PAGE, ConfirmPageProc},
    {IDD_DONE_PAGE, CompletePageProc},
};
const UINT kPageCount = sizeof kPages / sizeof kPages[0];

// The sheet walks the page array by each record's dwSize: version-1 records back to back.
static_assert(sizeof(PROPSHEETPAGEA_V1) == offsetof(PROPSHEETPAGEA, pcRefParent) + sizeof(UINT*),
              "version-1 page records");

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

int CALLBACK SheetCallback(HWND, UINT message, LPARAM lParam) {
    if (message != PSCB_PRECREATE || !lParam)
        return 0;
    // The extended template form starts with version 1 and the signature 0xFFFF.
    WORD* words = reinterpret_cast<WORD*>(lParam);
    DWORD* style = words[0] == 1 && words[1] == 0xFFFF ? reinterpret_cast<DWORD*>(words + 6)
                                                       : reinterpret_cast<DWORD*>(words);
    *style &= ~static_cast<DWORD>(WS_SYSMENU);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    char name[kStringBufferSize];
    LoadStringA(instance, IDS_MUTEX_INSTANCE, name, kStringBufferSize);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    int result = 0;
    if (mutex && GetLastError() == 0) {
        PROPSHEETPAGEA_V1 pages[kPageCount];
        memset(pages, 0, sizeof pages);
        for (UINT i = 0; i < kPageCount; ++i) {
            pages[i].dwSize = PROPSHEETPAGEA_V1_SIZE;
            pages[i].dwFlags = PSP_DEFAULT;
            pages[i].hInstance = instance;
            pages[i].pszTemplate = MAKEINTRESOURCEA(kPages[i].templateId);
            pages[i].pfnDlgProc = kPages[i].procedure;
        }
        PROPSHEETHEADERA header;
        memset(&header, 0, sizeof header);
        header.dwSize = PROPSHEETHEADERA_V1_SIZE;
        header.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_USECALLBACK;
        header.hInstance = instance;
        header.nPages = kPageCount;
        header.nStartPage = 0;
        header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);
        header.pfnCallback = SheetCallback;
        const INT_PTR sheet = PropertySheetA(&header);
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
