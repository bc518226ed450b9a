#include "ui_driver.h"

#include <tlhelp32.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "common/deadline.h"
#include "files.h"

namespace check {

namespace {

using Microsoft::WRL::ComPtr;

const int kPollMs = 20;

// The screen's device context, given back when done.
class ScreenDc {
  public:
    ScreenDc() : dc_(GetDC(nullptr)) {}
    ~ScreenDc() { ReleaseDC(nullptr, dc_); }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC get() const { return dc_; }

  private:
    HDC dc_;
};

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
    ScreenDc screen;
    const common::MemoryDc memory(CreateCompatibleDC(screen.get()));
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    const common::GdiObject bitmap(
        CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!memory || !bitmap || !bits)
        return pixels;
    const HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, width, height, screen.get(), r.left, r.top, SRCCOPY);
    GdiFlush();
    const int stride = (width * 3 + 3) & ~3;
    pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        memcpy(&pixels[static_cast<size_t>(y) * width * 3],
               static_cast<uint8_t*>(bits) + static_cast<size_t>(y) * stride,
               static_cast<size_t>(width) * 3);
    SelectObject(memory.get(), old);
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

// 24-bit BGR rows written as a PNG file by WIC's encoder.
bool WritePng(const std::string& path, int width, int height, std::vector<uint8_t>& bgrRows) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool written = false;
    {
        ComPtr<IWICImagingFactory> factory;
        ComPtr<IWICStream> stream;
        ComPtr<IWICBitmapEncoder> encoder;
        ComPtr<IWICBitmapFrameEncode> frame;
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        const UINT stride = static_cast<UINT>(width) * 3;
        written =
            SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&factory))) &&
            SUCCEEDED(factory->CreateStream(&stream)) &&
            SUCCEEDED(stream->InitializeFromFilename(Wide(path).c_str(), GENERIC_WRITE)) &&
            SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
            SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
            SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
            SUCCEEDED(frame->Initialize(nullptr)) &&
            SUCCEEDED(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height))) &&
            SUCCEEDED(frame->SetPixelFormat(&format)) &&
            IsEqualGUID(format, GUID_WICPixelFormat24bppBGR) &&
            SUCCEEDED(frame->WritePixels(static_cast<UINT>(height), stride,
                                         static_cast<UINT>(bgrRows.size()), bgrRows.data())) &&
            SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return written;
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
        common::Handle thread(pi.hThread);
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
    for (const common::Deadline deadline(timeoutMs, timeoutMs, 0); !deadline.Passed();
         Sleep(kPollMs)) {
        if (HWND found = FindWindowOf(processId_, "#32770",
                                      [](HWND w) { return GetDlgItem(w, kNext) != nullptr; })) {
            sheet_ = found;
            return sheet_;
        }
        if (WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0)
            return nullptr;
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
    for (const common::Deadline deadline(timeoutMs, timeoutMs, 0); !deadline.Passed();
         Sleep(kPollMs)) {
        HWND page = CurrentPage();
        if (page && GetDlgItem(page, firstLineId))
            return true;
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
    // Looked for at least once, also with no time to wait.
    for (const common::Deadline deadline(timeoutMs, timeoutMs, 0);; Sleep(kPollMs)) {
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
        if (WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0 || deadline.Passed())
            return false;
    }
}

void WizardRun::Answer(const MessageBoxSeen& box, int buttonId) {
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, buttonId)));
    for (const common::Deadline deadline(5000, 5000, 0);
         IsWindow(box.window) && !deadline.Passed();)
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
    return !rows.empty() && WritePng(path, w, h, rows);
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
