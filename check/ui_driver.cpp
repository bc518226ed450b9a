#include "ui_driver.h"

#include <functional>

#include <tlhelp32.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "files.h"

namespace check {

namespace {

const int kPollMs = 20;

std::string TextOf(HWND window) {
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// The screen's pixels in a rectangle, as 24-bit BGR rows without padding.
std::vector<uint8_t> GrabScreen(const RECT& r, int& width, int& height) {
    width = r.right - r.left;
    height = r.bottom - r.top;
    std::vector<uint8_t> pixels;
    if (width <= 0 || height <= 0)
        return pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const int stride = (width * 3 + 3) & ~3;
    pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        memcpy(&pixels[static_cast<size_t>(y) * width * 3],
               static_cast<uint8_t*>(bits) + static_cast<size_t>(y) * stride,
               static_cast<size_t>(width) * 3);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The icon of a message box, told apart by its colours on screen.
char IconKind(HWND box) {
    HWND icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (strcmp(cls, "Static") == 0 &&
            (GetWindowLongPtrA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            icon = child;
    }
    if (!icon || !IsWindowVisible(icon))
        return '?';
    RECT r;
    GetWindowRect(icon, &r);
    int w = 0, h = 0;
    const std::vector<uint8_t> pixels = GrabScreen(r, w, h);
    int yellow = 0, blue = 0;
    for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
        const int b = pixels[i], green = pixels[i + 1], red = pixels[i + 2];
        if (red > 180 && green > 150 && b < 110)
            ++yellow;
        else if (b > 150 && red < 110)
            ++blue;
    }
    if (yellow > blue && yellow > 10)
        return 'W';
    if (blue > yellow && blue > 10)
        return 'I';
    return '?';
}

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void PutU32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void Chunk(std::string& png, const char* type, const std::string& data) {
    PutU32(png, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    PutU32(png, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// A PNG of 24-bit rows, compressed with stored deflate blocks (no compression library needed).
std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgbRows) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0';
        raw.append(reinterpret_cast<const char*>(&rgbRows[static_cast<size_t>(y) * width * 3]),
                   static_cast<size_t>(width) * 3);
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t pos = 0; pos < raw.size() || pos == 0;) {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        const bool last = pos + n >= raw.size();
        z += static_cast<char>(last ? 1 : 0);
        z += static_cast<char>(n & 0xFF);
        z += static_cast<char>(n >> 8);
        z += static_cast<char>(~n & 0xFF);
        z += static_cast<char>((~n >> 8) & 0xFF);
        z.append(raw, pos, n);
        pos += n;
        if (last)
            break;
    }
    PutU32(z, (b << 16) | a);
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    PutU32(header, width);
    PutU32(header, height);
    header += std::string("\x08\x02\x00\x00\x00", 5);
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    return png;
}

} // namespace

namespace {

struct WindowQuery {
    DWORD process;
    const char* className;
    const std::function<bool(HWND)>& accept;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM data) {
    WindowQuery& q = *reinterpret_cast<WindowQuery*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if ((q.process && pid != q.process) || !IsWindowVisible(window))
        return TRUE;
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (q.className && _stricmp(cls, q.className) != 0)
        return TRUE;
    if (q.accept && !q.accept(window))
        return TRUE;
    q.found = window;
    return FALSE;
}

} // namespace

HWND FindWindowOf(DWORD process, const char* className, const std::function<bool(HWND)>& accept) {
    WindowQuery query = {process, className, accept, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

LONG_PTR WindowStyle(HWND window) {
    return GetWindowLongPtrA(window, GWL_STYLE);
}

WizardRun::WizardRun(const std::string& exe, const std::string& folder) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string command = "\"" + exe + "\"";
    if (CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                       folder.c_str(), &si, &pi)) {
        process_.reset(pi.hProcess);
        processId_ = pi.dwProcessId;
        CloseHandle(pi.hThread);
    }
}

WizardRun::~WizardRun() {
    if (!process_)
        return;
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
}

HWND WizardRun::FindTopWindow(const char* className, HWND except) {
    return FindWindowOf(processId_, className, [except](HWND w) { return w != except; });
}

HWND WizardRun::WaitForSheet(int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        if (HWND found = FindWindowOf(processId_, "#32770",
                                      [](HWND w) { return GetDlgItem(w, kNext) != nullptr; })) {
            sheet_ = found;
            return sheet_;
        }
        if (WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0)
            return nullptr;
        Sleep(kPollMs);
    }
    return nullptr;
}

HWND WizardRun::CurrentPage() {
    for (HWND child = GetWindow(sheet_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (strcmp(cls, "#32770") == 0 && IsWindowVisible(child))
            return child;
    }
    return nullptr;
}

bool WizardRun::WaitForPage(int firstLineId, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        HWND page = CurrentPage();
        if (page && GetDlgItem(page, firstLineId))
            return true;
        Sleep(kPollMs);
    }
    return false;
}

std::map<int, std::string> WizardRun::PageTexts() {
    std::map<int, std::string> texts;
    HWND page = CurrentPage();
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (strcmp(cls, "Static") == 0)
            texts[GetDlgCtrlID(child)] = TextOf(child);
    }
    return texts;
}

std::string WizardRun::ButtonText(int id) {
    return TextOf(GetDlgItem(sheet_, id));
}

bool WizardRun::ButtonVisible(int id) {
    HWND button = GetDlgItem(sheet_, id);
    return button && IsWindowVisible(button);
}

bool WizardRun::ButtonEnabled(int id) {
    HWND button = GetDlgItem(sheet_, id);
    return button && IsWindowEnabled(button);
}

void WizardRun::Press(int id) {
    PostMessageA(sheet_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(sheet_, id)));
}

bool WizardRun::BoxShowing() {
    return FindTopWindow("#32770", sheet_) != nullptr;
}

bool WizardRun::WaitForBox(MessageBoxSeen& box, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        HWND found = FindTopWindow("#32770", sheet_);
        // A message box has its text in the static 0xFFFF; the progress dialog has none.
        if (found && GetDlgItem(found, 0xFFFF)) {
            box = MessageBoxSeen();
            box.window = found;
            box.caption = TextOf(found);
            box.text = TextOf(GetDlgItem(found, 0xFFFF));
            for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
                HWND button = GetDlgItem(found, id);
                if (button && IsWindowVisible(button))
                    box.buttons.push_back(id);
            }
            // Read the icon off the screen once the box has painted it.
            for (int i = 0; i < 20 && box.icon == '?'; ++i) {
                Sleep(100);
                box.icon = IconKind(found);
            }
            return true;
        }
        if (WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0)
            return false;
        Sleep(kPollMs);
    }
    return false;
}

void WizardRun::Answer(const MessageBoxSeen& box, int buttonId) {
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, buttonId)));
    for (int waited = 0; waited < 5000 && IsWindow(box.window); waited += kPollMs)
        Sleep(kPollMs);
}

bool WizardRun::WaitForExit(DWORD& exitCode, int timeoutMs) {
    if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process_.get(), &exitCode) != 0;
}

bool SaveScreenPng(const std::string& path, const RECT* area) {
    RECT r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (area)
        IntersectRect(&r, &r, area);
    int w = 0, h = 0;
    std::vector<uint8_t> rows = GrabScreen(r, w, h);
    if (rows.empty())
        return false;
    for (size_t i = 0; i + 2 < rows.size(); i += 3)
        std::swap(rows[i], rows[i + 2]); // BGR to RGB
    const std::string png = EncodePng(w, h, rows);
    return WriteFileBytes(path, png);
}

HWND FindWindowByTitle(const char* className, const std::string& titlePart) {
    return FindWindowOf(0, className, [&](HWND w) {
        return Lower(TextOf(w)).find(Lower(titlePart)) != std::string::npos;
    });
}

void CloseNotepads() {
    common::Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
        if (_stricmp(entry.szExeFile, "notepad.exe") == 0)
            EndProcess(entry.th32ProcessID);
    }
}

HWND FindNotepadStartedBy(DWORD parentId, DWORD& notepadId) {
    notepadId = 0;
    common::Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return nullptr;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more && !notepadId;
         more = Process32Next(snapshot.get(), &entry)) {
        if (_stricmp(entry.szExeFile, "notepad.exe") == 0 && entry.th32ParentProcessID == parentId)
            notepadId = entry.th32ProcessID;
    }
    snapshot.reset();
    if (!notepadId)
        return nullptr;
    return FindWindowOf(notepadId, nullptr, [](HWND w) { return !GetWindow(w, GW_OWNER); });
}

void EndProcess(DWORD processId) {
    common::Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process)
        return;
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 5000);
}

} // namespace check
