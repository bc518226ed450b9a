#include "box_answerer.h"
#include "ui_driver.h"

#include <algorithm>
#include <cstring>

namespace testing_support {

namespace {

const int kCommandIds[] = {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO};

// A visible dialog of this process with a message box's text static.
HWND FindBox() {
    return check::FindWindowOf(GetCurrentProcessId(), "#32770",
                               [](HWND w) { return BoxTextStatic(w) != nullptr; });
}

std::string TextOf(HWND window) {
    char text[2048] = "";
    if (window)
        GetWindowTextA(window, text, sizeof text);
    return text;
}

} // namespace

HWND BoxTextStatic(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);
    return text ? text : GetDlgItem(box, 100);
}

HWND BoxIconStatic(HWND box) {
    HWND icon = GetDlgItem(box, 20);
    return icon ? icon : GetDlgItem(box, 0x440);
}

BoxAnswerer::BoxAnswerer(std::vector<int> answers, BeforeAnswer before)
    : answers_(std::move(answers)), before_(std::move(before)) {
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

BoxAnswerer::~BoxAnswerer() {
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    DeleteCriticalSection(&lock_);
}

std::vector<SeenBox> BoxAnswerer::Seen() {
    EnterCriticalSection(&lock_);
    std::vector<SeenBox> copy = seen_;
    LeaveCriticalSection(&lock_);
    return copy;
}

DWORD WINAPI BoxAnswerer::Run(void* self) {
    try {
        static_cast<BoxAnswerer*>(self)->Loop();
    } catch (...) { // nothing may leave a thread routine
        return 1;
    }
    return 0;
}

void BoxAnswerer::Loop() {
    size_t next = 0;
    while (WaitForSingleObject(stop_, 5) == WAIT_TIMEOUT) {
        HWND box = FindBox();
        if (!box)
            continue;
        SeenBox seen;
        seen.caption = TextOf(box);
        seen.text = TextOf(BoxTextStatic(box));
        for (int id : kCommandIds) {
            if (GetDlgItem(box, id))
                seen.buttons.push_back(id);
        }
        std::sort(seen.buttons.begin(), seen.buttons.end());
        if (HWND icon = BoxIconStatic(box))
            seen.icon = reinterpret_cast<HICON>(SendMessageA(icon, STM_GETICON, 0, 0));
        seen.owner = GetWindow(box, GW_OWNER);
        seen.ownerDisabled = seen.owner && !IsWindowEnabled(seen.owner);

        const size_t index = next;
        int answer = next < answers_.size() ? answers_[next] : 0;
        ++next;
        if (answer && !GetDlgItem(box, answer))
            answer = 0;
        for (int fallback : {IDCANCEL, IDNO, IDOK}) {
            if (!answer && GetDlgItem(box, fallback))
                answer = fallback;
        }
        seen.pressed = answer;
        EnterCriticalSection(&lock_);
        seen_.push_back(seen);
        LeaveCriticalSection(&lock_);

        if (before_)
            before_(index);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
        // Wait until this box has gone, so that it is never answered twice.
        while (IsWindow(box) && WaitForSingleObject(stop_, 5) == WAIT_TIMEOUT) {
        }
    }
}

} // namespace testing_support
