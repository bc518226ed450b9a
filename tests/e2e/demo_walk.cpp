// Walks the wizard through a whole copy on a headless display and saves a picture of every
// page and of the progress dialog: demo_walk UPDATE_FOLDER PICTURE_FOLDER
#include <windows.h>

#include <cstdio>
#include <string>

#include "ui_driver.h"

namespace {

bool Shot(const std::string& folder, const char* name) {
    Sleep(400); // let the page paint
    const std::string path = folder + "\\" + name;
    const bool ok = e2e::SaveScreenPng(path);
    printf("%s %s\n", ok ? "saved" : "could not save", name);
    return ok;
}

int Fail(const char* what) {
    fprintf(stderr, "demo: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return Fail("usage: demo_walk UPDATE_FOLDER PICTURE_FOLDER");
    const std::string folder = argv[1], pictures = argv[2];
    e2e::WizardRun run(folder + "\\Vandrel.exe", folder);
    if (!run.started() || !run.WaitForSheet())
        return Fail("the wizard did not start");
    if (!run.WaitForPage(1100))
        return Fail("no introduction page");
    Shot(pictures, "1-introduction.png");
    run.Press(e2e::kNext);
    if (!run.WaitForPage(1200))
        return Fail("no preparation page");
    Shot(pictures, "2-preparation.png");
    run.Press(e2e::kNext);
    if (!run.WaitForPage(1300, 30000))
        return Fail("the checks did not pass");
    Shot(pictures, "3-confirmation.png");
    run.Press(e2e::kNext);
    // The progress dialog: a dialog of the wizard's with the progress bar 1000.
    bool seen = false;
    for (int i = 0; i < 500 && !seen; ++i) {
        HWND dialog = run.FindTopWindow("#32770", run.WaitForSheet(0));
        if (dialog && GetDlgItem(dialog, 1000)) {
            Sleep(1200);
            seen = Shot(pictures, "4-copying.png");
        } else {
            Sleep(20);
        }
    }
    if (!run.WaitForPage(1400, 120000))
        return Fail("the copy did not complete");
    Shot(pictures, "5-complete.png");
    run.Press(e2e::kCancel);
    DWORD code = 0;
    if (!run.WaitForExit(code))
        return Fail("the wizard did not close");
    Sleep(1500);
    Shot(pictures, "6-readme.png");
    e2e::CloseNotepads();
    printf("wizard closed with exit code %lu\n", code);
    return 0;
}
