// Walks the wizard through a whole copy on a headless display and saves a picture of every
// page and of the progress dialog: demo_walk UPDATE_FOLDER PICTURE_FOLDER
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "ui_driver.h"

namespace {

const int kProgressBar = 1000;
const int kDesktopMargin = 12; // a strip of desktop around the window, as a user sees it

// The window and what is over it, with the strip of desktop around them.
RECT AreaAround(HWND window, HWND over) {
    RECT area = {};
    GetWindowRect(window, &area);
    RECT top = {};
    if (over && GetWindowRect(over, &top))
        UnionRect(&area, &area, &top);
    InflateRect(&area, kDesktopMargin, kDesktopMargin);
    return area;
}

// `paintMs`: time for the windows to paint before the picture.
bool Shot(const std::string& folder, const char* name, HWND window, HWND over = nullptr,
          int paintMs = 400) {
    Sleep(paintMs);
    const RECT area = AreaAround(window, over);
    const bool ok = e2e::SaveScreenPng(folder + "\\" + name, window ? &area : nullptr);
    printf("%s %s\n", ok ? "saved" : "could not save", name);
    return ok;
}

int Fail(const char* what) {
    fprintf(stderr, "demo: %s\n", what);
    return 1;
}

// The progress dialog (template 133: no caption, the progress bar 1000) once it is up and its
// bar has moved, or null when the copy ended first.
HWND WaitForProgress(e2e::WizardRun& run, HWND sheet) {
    HWND dialog = nullptr;
    for (int waited = 0; waited < 30000 && !dialog; waited += 20) {
        HWND found = run.FindTopWindow("#32770", sheet);
        if (found && GetDlgItem(found, kProgressBar))
            dialog = found;
        else if (run.WaitForPage(1400, 0))
            return nullptr;
        else
            Sleep(20);
    }
    for (int waited = 0; dialog && waited < 10000; waited += 20) {
        DWORD_PTR position = 0;
        if (!SendMessageTimeoutA(GetDlgItem(dialog, kProgressBar), PBM_GETPOS, 0, 0,
                                 SMTO_ABORTIFHUNG, 1000, &position))
            return nullptr; // the dialog has gone
        if (position > 0)
            break;
        Sleep(20);
    }
    return dialog;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return Fail("usage: demo_walk UPDATE_FOLDER PICTURE_FOLDER");
    const std::string folder = argv[1], pictures = argv[2];
    e2e::WizardRun run(folder + "\\Vandrel.exe", folder);
    HWND sheet = run.started() ? run.WaitForSheet() : nullptr;
    if (!sheet)
        return Fail("the wizard did not start");
    if (!run.WaitForPage(1100))
        return Fail("no introduction page");
    Shot(pictures, "1-introduction.png", sheet);
    run.Press(e2e::kNext);
    if (!run.WaitForPage(1200))
        return Fail("no preparation page");
    Shot(pictures, "2-preparation.png", sheet);
    run.Press(e2e::kNext);
    if (!run.WaitForPage(1300, 30000))
        return Fail("the checks did not pass");
    Shot(pictures, "3-confirmation.png", sheet);
    run.Press(e2e::kNext);
    HWND progress = WaitForProgress(run, sheet);
    // The picture counts only if the dialog was still up once it was taken.
    bool copying = false;
    if (progress) {
        // The bar has moved, so the dialog has painted: the picture need not wait long.
        copying =
            Shot(pictures, "4-copying.png", sheet, progress, 100) && IsWindowVisible(progress);
        if (!copying)
            DeleteFileA((pictures + "\\4-copying.png").c_str());
    }
    if (!run.WaitForPage(1400, 120000))
        return Fail("the copy did not complete");
    Shot(pictures, "5-complete.png", sheet);
    run.Press(e2e::kCancel);
    DWORD code = 0;
    if (!run.WaitForExit(code))
        return Fail("the wizard did not close");
    Sleep(1500);
    HWND notepad = e2e::FindWindowByTitle("Notepad", "readme");
    Shot(pictures, "6-readme.png", notepad);
    e2e::CloseNotepads();
    printf("wizard closed with exit code %lu\n", code);
    // Not a failure of the walk: the camera's profile decides how long the copy lasts.
    if (!copying)
        printf("no picture of the copying: the copy ended before its progress dialog could be "
               "pictured (pace the camera profile's SendObject)\n");
    return 0;
}
