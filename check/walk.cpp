#include "walk.h"

#include <commctrl.h>

#include <set>

#include "common/deadline.h"
#include "files.h"
#include "resource_ids.h"
#include "ui_driver.h"

namespace check {

namespace {

const int kPollMs = 20;
const int kDesktopMargin = 12; // a strip of desktop around the window, as a user sees it
const int kPaintMs = 400;      // time for a new page to paint before its picture

// What a picture holds: the window and what is over it, with the strip of desktop around them.
RECT AreaAround(HWND window, HWND over) {
    RECT area = {};
    GetWindowRect(window, &area);
    RECT top = {};
    if (over && GetWindowRect(over, &top))
        UnionRect(&area, &area, &top);
    InflateRect(&area, kDesktopMargin, kDesktopMargin);
    return area;
}

class Camera {
  public:
    Camera(const WalkOptions& options, WalkOutcome& outcome)
        : options_(options), outcome_(outcome) {}
    bool on() const { return !options_.pictures.empty(); }
    bool Shot(const std::string& name, HWND window, HWND over = nullptr) {
        if (!on())
            return false;
        const std::string file = options_.prefix + name + ".png";
        const RECT area = AreaAround(window, over);
        if (!SaveScreenPng(options_.pictures + "\\" + file, window ? &area : nullptr))
            return false;
        outcome_.pictures.push_back(file);
        return true;
    }
    void Forget(const std::string& name) {
        const std::string file = options_.prefix + name + ".png";
        DeleteFileA((options_.pictures + "\\" + file).c_str());
        if (!outcome_.pictures.empty() && outcome_.pictures.back() == file)
            outcome_.pictures.pop_back();
    }

  private:
    const WalkOptions& options_;
    WalkOutcome& outcome_;
};

// The pages by their first line, with the names their pictures take.
const struct {
    int firstLine;
    const char* picture;
} kPages[] = {
    {IDC_INTRO_LINE0, "1-introduction"},
    {IDC_PREPARE_LINE0, "2-preparation"},
    {IDC_CONFIRM_LINE0, "3-confirmation"},
    {IDC_DONE_LINE0, "5-complete"},
};

// The progress bar's position, or -1 once the dialog has gone.
int ProgressPosition(HWND dialog) {
    DWORD_PTR position = 0;
    if (!SendMessageTimeoutA(GetDlgItem(dialog, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0,
                             SMTO_ABORTIFHUNG, 1000, &position))
        return -1;
    return static_cast<int>(position);
}

// After Finish: the Notepad the wizard started, given time to open the readme.
void AwaitReadme(DWORD wizardId, const WalkOptions& options, Camera& camera, WalkOutcome& outcome) {
    DWORD notepad = 0;
    HWND window = nullptr;
    for (const common::Deadline deadline(15000, 15000, 0); !window && !deadline.Passed();) {
        window = FindNotepadStartedBy(wizardId, notepad);
        if (!window)
            Sleep(kPollMs);
    }
    if (!window)
        return;
    // The title names the file once Notepad has loaded it.
    for (const common::Deadline deadline(5000, 5000, 0);
         !outcome.readmeOpened && !deadline.Passed();) {
        char title[512] = "";
        GetWindowTextA(window, title, sizeof title);
        outcome.readmeOpened = Lower(title).find("readme") != std::string::npos;
        if (!outcome.readmeOpened)
            Sleep(kPollMs);
    }
    if (camera.on() && options.picturePages) {
        Sleep(kPaintMs);
        camera.Shot("6-readme", window);
    }
    EndProcess(notepad);
}

} // namespace

WalkOutcome WalkWizard(const std::string& exe, const std::string& folder,
                       const WalkOptions& options) {
    WalkOutcome outcome;
    Camera camera(options, outcome);
    WizardRun run(exe, folder);
    HWND sheet = run.started() ? run.WaitForSheet() : nullptr;
    outcome.started = sheet != nullptr;
    std::set<int> seen;
    bool hooked = !options.whileCopying;
    bool copyTried = !camera.on() || !options.picturePages;
    int boxCount = 0;
    const common::Deadline deadline(options.timeoutMs, options.timeoutMs, 0);
    for (; sheet && !deadline.Passed(); Sleep(kPollMs)) {
        if (run.WaitForExit(outcome.exitCode, 0)) {
            outcome.ended = true;
            break;
        }
        MessageBoxSeen box;
        if (run.WaitForBox(box, 0)) {
            outcome.boxes.push_back(box.text);
            camera.Shot("box-" + std::to_string(++boxCount), box.window, sheet);
            const bool question = box.buttons.size() > 1;
            run.Answer(box, question ? IDCANCEL : IDOK);
            continue;
        }
        HWND dialog = run.FindTopWindow("#32770", sheet);
        if (dialog && GetDlgItem(dialog, IDC_PROGRESS_BAR)) {
            if (!hooked) {
                hooked = true;
                options.whileCopying();
            }
            // The bar has moved, so the dialog has painted; the picture counts only if the
            // dialog was still up once it was taken.
            if (!copyTried && ProgressPosition(dialog) > 0) {
                copyTried = true;
                outcome.copyPictured = camera.Shot("4-copying", sheet, dialog) &&
                                       IsWindowVisible(dialog) && ProgressPosition(dialog) >= 0;
                if (!outcome.copyPictured)
                    camera.Forget("4-copying");
            }
            continue;
        }
        HWND page = run.CurrentPage();
        if (!page || !outcome.boxes.empty())
            continue; // after a message the wizard closes by itself
        for (const auto& p : kPages) {
            if (!GetDlgItem(page, p.firstLine) || !seen.insert(p.firstLine).second)
                continue;
            if (camera.on() && options.picturePages) {
                Sleep(kPaintMs);
                camera.Shot(p.picture, sheet);
            }
            if (p.firstLine == IDC_DONE_LINE0) {
                outcome.completed = true;
                run.Press(kCancel); // "Finish"
            } else {
                run.Press(kNext);
            }
        }
    }
    if (outcome.completed && outcome.ended && options.waitForReadme)
        AwaitReadme(run.processId(), options, camera, outcome);
    return outcome;
}

} // namespace check
