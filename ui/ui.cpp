// Message boxes take every word from the string table; long texts are broken into lines by the
// page's hidden edit control, which has exactly the width and font of a text line.
#include "ui.h"

#include <cstring>

#include "resource_ids.h"

namespace {

enum { kLineBufferSize = 256 };

int Box(HWND owner, UINT textId, UINT style) {
    char text[kTextBufferSize];
    char caption[kTextBufferSize];
    LoadWindowString(owner, textId, text);
    LoadWindowString(owner, IDS_APP_CAPTION, caption);
    return MessageBoxA(owner, text, caption, style);
}

} // namespace

void LoadWindowString(HWND window, UINT id, char* text) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    text[0] = '\0';
    LoadStringA(instance, id, text, kTextBufferSize);
}

void ShowMessage(HWND owner, MessageId message) {
    Box(owner, message, MB_OK | MB_ICONWARNING);
}

int AskQuit(HWND owner) {
    return Box(owner, IDS_ASK_CLOSE, MB_YESNO | MB_ICONINFORMATION);
}

int AskRetry(HWND owner, MessageId message) {
    return Box(owner, message, MB_RETRYCANCEL | MB_ICONWARNING);
}

void SpreadTextOverLines(HWND dialog, HWND edit, const char* text, int firstLineId) {
    SetWindowTextA(edit, text);
    const LRESULT lines = SendMessageA(edit, EM_GETLINECOUNT, 0, 0);
    for (LRESULT i = 0; i < lines; ++i) {
        char line[kLineBufferSize];
        memset(line, 0, sizeof line);
        // At most 255 characters, so the cleared buffer always keeps its terminator.
        *reinterpret_cast<WORD*>(line) = kLineBufferSize - 1;
        if (SendMessageA(edit, EM_GETLINE, i, reinterpret_cast<LPARAM>(line)) == 0)
            break; // an empty line ends the placing
        SetWindowTextA(GetDlgItem(dialog, firstLineId + static_cast<int>(i)), line);
    }
}

void CenterWindowOnParent(HWND window) {
    HWND reference = GetParent(window);
    if (!reference)
        reference = GetDesktopWindow();
    RECT r, w;
    GetWindowRect(reference, &r);
    GetWindowRect(window, &w);
    const int x = r.left + ((r.right - r.left) - (w.right - w.left)) / 2;
    const int y = r.top + ((r.bottom - r.top) - (w.bottom - w.top)) / 2;
    SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}
