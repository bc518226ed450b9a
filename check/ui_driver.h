// Drives the real Vandrel.exe from another process, as a user would: finds the wizard sheet,
// reads its pages, presses its buttons, reads and answers message boxes, captures the screen.
#pragma once

#include <windows.h>

#include <map>
#include <functional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "resource_ids.h"

namespace check {

// The first visible top-level window of `process` (0: any) of class `className` (null: any)
// that `accept` (when given) takes: every test and the check find windows through it.
HWND FindWindowOf(DWORD process, const char* className,
                  const std::function<bool(HWND)>& accept = nullptr);

// The sheet's buttons.
enum { kBack = IDC_WIZARD_BACK, kNext = IDC_WIZARD_NEXT, kCancel = IDCANCEL };

struct MessageBoxSeen {
    HWND window = nullptr;
    std::string caption;
    std::string text;
    std::vector<int> buttons; // control IDs of the visible buttons: IDOK, IDYES, IDNO...
    char icon = '?';          // 'W' warning (yellow), 'I' information (blue), '?' none seen
};

class WizardRun {
  public:
    // Starts `exe` with `folder` as its current directory.
    WizardRun(const std::string& exe, const std::string& folder);
    ~WizardRun(); // ends the process if it is still running

    bool started() const { return static_cast<bool>(process_); }
    DWORD processId() const { return processId_; }

    // The wizard sheet, once it is up (null on timeout).
    HWND WaitForSheet(int timeoutMs = 20000);
    // The page on show: the sheet's visible child dialog.
    HWND CurrentPage();
    // Waits until the page on show holds a control with this ID (each page's first line).
    bool WaitForPage(int firstLineId, int timeoutMs = 20000);
    // Texts of the page's statics by control ID (empty ones included).
    std::map<int, std::string> PageTexts();
    std::string ButtonText(int id);
    bool ButtonVisible(int id);
    bool ButtonEnabled(int id);
    // Presses a sheet button the way a click does: a command posted to the sheet.
    void Press(int id);

    // The next message box of the process other than the sheet (null on timeout).
    bool WaitForBox(MessageBoxSeen& box, int timeoutMs = 20000);
    // Whether a message box is up right now.
    bool BoxShowing();
    void Answer(const MessageBoxSeen& box, int buttonId);
    // A window of the process with this class and no owner other than `except`, if any.
    HWND FindTopWindow(const char* className, HWND except = nullptr);

    bool WaitForExit(DWORD& exitCode, int timeoutMs = 30000);

  private:
    common::Handle process_;
    DWORD processId_ = 0;
    HWND sheet_ = nullptr;
};

// Style bits of a window (works across processes).
LONG_PTR WindowStyle(HWND window);

// Saves the screen as a PNG file: all of it, or the part in `area`.
bool SaveScreenPng(const std::string& path, const RECT* area = nullptr);

// A top-level window of class `className` whose title contains `titlePart` (any process).
HWND FindWindowByTitle(const char* className, const std::string& titlePart);

// Closes every Notepad window, and ends notepad processes left behind.
void CloseNotepads();

// The top-level window of a Notepad that process `parentId` started, once it has one (null
// otherwise); `notepadId` receives that Notepad's process.
HWND FindNotepadStartedBy(DWORD parentId, DWORD& notepadId);
// Ends one process; others' Notepads stay open.
void EndProcess(DWORD processId);

} // namespace check
