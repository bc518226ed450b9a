// Answers the message boxes of this process from a thread of its own, as a user would: it
// waits for a visible message box, records what it shows, and presses the next button of its
// script.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// What one box showed when it was answered.
struct SeenBox {
    std::string caption;
    std::string text;         // the text static
    std::vector<int> buttons; // command ids of the buttons present, ascending
    HICON icon = nullptr;     // STM_GETICON of the icon static; none without one
    HWND owner = nullptr;
    bool ownerDisabled = false; // the owner could not take input while the box was up
    int pressed = 0;            // the button the answerer pressed
};

class BoxAnswerer {
  public:
    // Runs on the answering thread before box number `index` (from 0) is answered.
    typedef std::function<void(size_t index)> BeforeAnswer;

    // Each box gets the next id of `answers`; once they are used up (or for an id the box has no
    // button for), a box gets Cancel, else No, else OK, so that a test never hangs on it.
    explicit BoxAnswerer(std::vector<int> answers, BeforeAnswer before = nullptr);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // The boxes answered so far, in order.
    std::vector<SeenBox> Seen();

  private:
    static DWORD WINAPI Run(void* self);
    void Loop();

    std::vector<int> answers_;
    BeforeAnswer before_;
    std::vector<SeenBox> seen_;
    CRITICAL_SECTION lock_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};

// The text and icon statics of a message box: 0xFFFF and 20 on Windows; Wine's own box template
// numbers them 100 and stc1 (0x440).
HWND BoxTextStatic(HWND box);
HWND BoxIconStatic(HWND box);

} // namespace testing_support
