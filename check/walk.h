// One walk of the real wizard as a user makes it: Next on pages 1 to 3, every message box read
// and answered (OK, or Cancel to a question), Finish from page 4; pictures of what it saw.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace check {

struct WalkOptions {
    std::string pictures;       // folder for the pictures; empty: none taken
    std::string prefix;         // put before each picture's file name
    bool picturePages = true;   // the pages and the copy too, not only the message boxes
    bool waitForReadme = false; // after Finish, wait for Notepad on the readme (and picture it)
    std::function<void()> whileCopying; // runs once, as soon as the progress dialog is up
    int timeoutMs = 120000;
};

struct WalkOutcome {
    bool started = false;   // the sheet came up
    bool ended = false;     // the process ended within the walk's time
    bool completed = false; // page 4 was reached and finished
    DWORD exitCode = 1234;
    std::vector<std::string> boxes;    // every message box's text, in order
    bool copyPictured = false;         // the progress dialog was pictured while it was up
    bool readmeOpened = false;         // a Notepad started by the wizard showed the readme
    std::vector<std::string> pictures; // file names, in the order taken
};

// Runs `exe` with `folder` as its current directory and walks it to its end.
WalkOutcome WalkWizard(const std::string& exe, const std::string& folder,
                       const WalkOptions& options = WalkOptions());

} // namespace check
