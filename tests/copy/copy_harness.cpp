#include "copy_harness.h"

#include "link_reset.h"

#include <commctrl.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "camera_events.h"
#include "camera_link.h"
#include "checks.h"
#include "firmware_job.h"
#include "resource_ids.h"
#include "ui_driver.h"
#include "ui.h"

using testing_support::ListFiles;
using testing_support::MakeFolders;
using testing_support::Scenario;
using testing_support::WriteFileBytes;

namespace copy_testing {

namespace {

BarRecorder* activeRecorder = nullptr;

bool IsProgressBar(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return GetDlgCtrlID(window) == IDC_PROGRESS_BAR && lstrcmpiA(name, PROGRESS_CLASSA) == 0;
}

// Sees messages sent from the worker as the dialog's thread delivers them; the worker is
// blocked in its send meanwhile, so the counters are those of this very step.
LRESULT CALLBACK RecordBar(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && activeRecorder && IsProgressBar(sent->hwnd)) {
        if (sent->message == PBM_SETPOS)
            activeRecorder->steps.push_back(
                {sent->wParam, progressCounters.copiedKB, progressCounters.currentKB});
        else if (sent->message == PBM_SETRANGE)
            activeRecorder->ranges.push_back(sent->lParam);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::string WindowText(HWND window) {
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM out) {
    char name[64] = "";
    GetClassNameA(child, name, sizeof name);
    const std::string text = WindowText(child);
    if (lstrcmpiA(name, "Static") == 0 && !text.empty()) {
        std::string& all = *reinterpret_cast<std::string*>(out);
        all += all.empty() ? text : "|" + text;
    }
    return TRUE;
}

// Plays the user: every message box of the dialog's thread is read and answered.
void WatchBoxes(DWORD dialogThread, const std::atomic<bool>& done, const BoxAnswer& answer,
                std::vector<BoxSeen>& boxes) {
    std::set<HWND> handled;
    while (!done) {
        const HWND found = check::FindWindowOf(GetCurrentProcessId(), "#32770", [&](HWND w) {
            return w != progressDialog && !handled.count(w) &&
                   GetWindowThreadProcessId(w, nullptr) == dialogThread;
        });
        if (!found) {
            Sleep(20);
            continue;
        }
        handled.insert(found);
        BoxSeen seen;
        EnumChildWindows(found, CollectStaticText, reinterpret_cast<LPARAM>(&seen.text));
        seen.caption = WindowText(found);
        seen.owner = GetWindow(found, GW_OWNER);
        boxes.push_back(seen);
        answer(found, seen);
    }
}

typedef LONG(WINAPI* QueryObjectFn)(HANDLE, int, PVOID, ULONG, PULONG);

// Kinds of kernel object by name: "Thread", "File", "Mutant", "Event"...; empty for a value
// that is no handle.
std::string HandleType(HANDLE handle) {
    static const QueryObjectFn query = reinterpret_cast<QueryObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    alignas(8) char buffer[1024] = {};
    const int kObjectTypeInformation = 2;
    const LONG kInvalidHandle = static_cast<LONG>(0xC0000008);
    const LONG status =
        query ? query(handle, kObjectTypeInformation, buffer, sizeof buffer, nullptr) : -1;
    if (status == kInvalidHandle)
        return "";
    if (status != 0)
        return "?";
    const UNICODE_STRING* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
    if (!name->Buffer || name->Length == 0)
        return "?";
    char text[256] = "";
    WideCharToMultiByte(CP_ACP, 0, name->Buffer, name->Length / 2, text, sizeof text - 1, nullptr,
                        nullptr);
    return text;
}

// Our own handles, found by asking after each handle value. Wine hands out the lowest free
// value, a multiple of 4, so the search stops after a long run of values that are no handle.
// The system's handle table would tell the same, but asking Wine for it while other processes
// start and end can bring its server down.
void CountOwnHandles(ProcessCounts* counts) {
    const ULONG_PTR kEmptyRunToStop = 1024;
    counts->handles = 0;
    ULONG_PTR empty = 0;
    for (ULONG_PTR value = 4; empty < kEmptyRunToStop; value += 4) {
        const std::string type = HandleType(reinterpret_cast<HANDLE>(value));
        if (type.empty()) {
            ++empty;
            continue;
        }
        empty = 0;
        ++counts->handles;
        ++counts->byType[type];
    }
}

} // namespace

ProcessCounts CountProcess() {
    ProcessCounts counts;
    // Wine answers GetProcessHandleCount with 0.
    CountOwnHandles(&counts);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++counts.threads;
    }
    CloseHandle(snapshot);
    return counts;
}

void PumpMessages(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (GetTickCount() - start < milliseconds);
}

namespace {

bool AnyAbove(const ProcessCounts& after, const ProcessCounts& before,
              const std::vector<std::string>& kinds) {
    if (after.threads > before.threads)
        return true;
    if (kinds.empty())
        return after.handles > before.handles;
    for (const std::string& kind : kinds) {
        const auto a = after.byType.find(kind), b = before.byType.find(kind);
        if ((a == after.byType.end() ? 0 : a->second) > (b == before.byType.end() ? 0 : b->second))
            return true;
    }
    return false;
}

} // namespace

void ExpectNothingLeftBehind(const ProcessCounts& before, const std::vector<std::string>& kinds) {
    ProcessCounts after = CountProcess();
    // The worker ends the dialog and then returns; as on the page, this thread keeps serving
    // messages meanwhile, since EndDialog from the worker may still be sending to its windows.
    for (int i = 0; i < 100 && AnyAbove(after, before, kinds); ++i) {
        PumpMessages(50);
        after = CountProcess();
    }
    EXPECT_LE(after.threads, before.threads) << "threads left behind";
    if (kinds.empty()) {
        std::string grown;
        for (const auto& kind : after.byType) {
            const auto was = before.byType.find(kind.first);
            const int diff = kind.second - (was == before.byType.end() ? 0 : was->second);
            if (diff > 0)
                grown += " " + kind.first + " +" + std::to_string(diff);
        }
        EXPECT_LE(after.handles, before.handles) << "kernel handles left behind:" << grown;
    }
    for (const std::string& kind : kinds)
        EXPECT_LE(after.byType[kind], before.byType.count(kind) ? before.byType.at(kind) : 0)
            << kind << " handles left behind";
}

BarRecorder::BarRecorder() {
    activeRecorder = this;
    hook_ = SetWindowsHookExA(WH_CALLWNDPROC, RecordBar, nullptr, GetCurrentThreadId());
}

BarRecorder::~BarRecorder() {
    if (hook_)
        UnhookWindowsHookEx(hook_);
    activeRecorder = nullptr;
}

std::string ModuleString(UINT id) {
    char text[1024] = "";
    LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
    return text;
}

void PressOk(HWND box) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

namespace {

void WriteSlot(void** slot, void* value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
}

} // namespace

ImportPatch::ImportPatch(const char* function, void* replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* module = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; imports.VirtualAddress && module->Name; ++module) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), "KERNEL32.dll") != 0)
            continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                slot_ = reinterpret_cast<void**>(&slots->u1.Function);
                original_ = *slot_;
                WriteSlot(slot_, replacement);
                return;
            }
        }
    }
}

ImportPatch::~ImportPatch() {
    if (slot_)
        WriteSlot(slot_, original_);
}

void CopyCase::SetUp() {
    InitCommonControls();
    // The first named object opens the session's object folder once per process.
    CloseHandle(CreateMutexA(nullptr, FALSE, "VandrelCopyTestWarmUp"));
    GetCurrentDirectoryA(MAX_PATH, startDirectory_);
    scenario_.reset(new Scenario("", "vcp"));
    CreateDirectoryA(update().c_str(), nullptr);
    // Stands for wizard page 3: the dialog's parent and the module its strings come from.
    owner = CreateWindowExA(0, "STATIC", "page", WS_POPUP, 100, 100, 400, 300, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
    answer = [](HWND box, const BoxSeen&) { PressOk(box); };
    memset(&progressCounters, 0, sizeof progressCounters);
    progressDialog = nullptr;
}

void CopyCase::TearDown() {
    // The link is one per process and its lost flag is never cleared: start every case afresh.
    testing_support::ResetCameraLink();
    ReleaseFirmwareJob(&firmwareJob);
    SetErrorTargetWindow(nullptr);
    progressDialog = nullptr;
    SetCurrentDirectoryA(startDirectory_);
    SetDllDirectoryA(nullptr);
    if (owner)
        DestroyWindow(owner);
    scenario_.reset();
}

void CopyCase::Profile(const std::string& text) {
    scenario_->SetProfile(text);
}

void CopyCase::Lay(const std::string& relative, const std::string& bytes) {
    const std::string path = update() + "\\" + relative;
    MakeFolders(path.substr(0, path.find_last_of('\\')));
    ASSERT_TRUE(WriteFileBytes(path, bytes)) << path;
}

void CopyCase::LayFolder(const std::string& relative) {
    ASSERT_TRUE(MakeFolders(update() + "\\" + relative)) << relative;
}

void CopyCase::LayRaw(const std::string& relative, const std::string& bytes) {
    const std::string path = "\\\\?\\" + update() + "\\" + relative;
    wchar_t wide[1024] = L"";
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 1024), 0);
    for (wchar_t* p = wide + 8; *p; ++p) {
        if (*p != L'\\')
            continue;
        *p = 0;
        CreateDirectoryW(wide, nullptr);
        *p = L'\\';
    }
    HANDLE file =
        CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

void CopyCase::WriteInfo(const std::vector<std::string>& folders,
                         const std::vector<std::string>& files) {
    std::string text = "[Firmware Folder Name]\n";
    for (const std::string& name : folders)
        text += name + "\n";
    text += "-----\n[Firmware File Name]\n";
    for (const std::string& name : files)
        text += name + "\n";
    text += "-----\n[Camera Model Name]\nTarvo Camera X1\n-----\n[Firmware Version]\n1.1.0.0\n"
            "-----\n[CF Capacity]\n200000\n";
    ASSERT_TRUE(WriteFileBytes(update() + "\\FirmInfo.txt", text));
}

INT_PTR CopyCase::Run() {
    scenario_->UseLibraryHere();
    EXPECT_TRUE(SetCurrentDirectoryA(update().c_str()));
    runBefore = CountProcess();
    boxes.clear();
    SetErrorTargetWindow(owner);
    checksResult = RunPreCopyChecks(GetModuleHandleA(nullptr), owner, &firmwareJob, AskRetry);
    INT_PTR result = -1;
    if (checksResult == 0) {
        // The link is open from here on; whatever the copy adds must be gone when it has ended.
        const ProcessCounts beforeCopy = CountProcess();
        {
            BarRecorder recorder;
            dialogReturned = false;
            const DWORD dialogThread = GetCurrentThreadId();
            std::thread watcher(WatchBoxes, dialogThread, std::cref(dialogReturned), answer,
                                std::ref(boxes));
            result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS),
                                     owner, CopyDialogProc, 0);
            dialogReturned = true;
            watcher.join();
            bar = recorder.steps;
            ranges = recorder.ranges;
        }
        // The driver's own objects may make events of their own while the link stays open; what
        // the copy itself opens are threads, searches, files and the named mutex.
        ExpectNothingLeftBehind(beforeCopy, {"Thread", "File", "Mutant"});
    }
    ReleaseFirmwareJob(&firmwareJob);
    EXPECT_EQ(cameraLink.isOpen, 0) << "camera link left open";
    EXPECT_EQ(cameraLink.library, nullptr) << "driver library left loaded";
    pageMessage = checksResult == 0 && result != 0 ? CopyFailureMessage(result) : 0;
    SetErrorTargetWindow(nullptr);
    TakeQueuedReports(); // nothing of this run reaches the next
    SetCurrentDirectoryA(startDirectory_);
    SetDllDirectoryA(nullptr);
    return result;
}

std::vector<std::string> CopyCase::Shown() const {
    std::vector<std::string> shown;
    for (const BoxSeen& box : boxes)
        shown.push_back(box.text);
    if (pageMessage != 0)
        shown.push_back(ModuleString(pageMessage));
    return shown;
}

void CopyCase::ExpectCard(const std::map<std::string, std::string>& expected) {
    const std::map<std::string, std::string> onCard = ListFiles(card());
    EXPECT_EQ(onCard.size(), expected.size());
    for (const auto& file : expected) {
        const auto found = onCard.find(file.first);
        if (found == onCard.end()) {
            ADD_FAILURE() << file.first << " is not on the card";
            continue;
        }
        EXPECT_TRUE(found->second == file.second)
            << file.first << ": " << found->second.size() << " bytes on the card, "
            << file.second.size() << " expected, or different bytes";
    }
    for (const auto& file : onCard) {
        if (!expected.count(file.first))
            ADD_FAILURE() << file.first << " should not be on the card";
    }
}

std::map<std::string, std::string>
CopyCase::UpdateFlattened(const std::vector<std::string>& except) {
    std::map<std::string, std::string> flat;
    for (const auto& file : ListFiles(update())) {
        const std::string name = file.first.substr(file.first.find_last_of('\\') + 1);
        if (name == "FirmInfo.txt")
            continue;
        bool skipped = false;
        for (const std::string& e : except)
            skipped = skipped || e == name;
        if (!skipped)
            flat[name] = file.second;
    }
    return flat;
}

} // namespace copy_testing
