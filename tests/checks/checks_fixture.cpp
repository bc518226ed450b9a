#include "checks_fixture.h"

#include "link_reset.h"

#include <cstring>

#include <winioctl.h>

#include "camera_link.h"

using testing_support::MakeFolders;
using testing_support::PatternBytes;
using testing_support::Scenario;
using testing_support::WriteFileBytes;

namespace {

const char kWindowClass[] = "VandrelChecksTestPage";

HWND CreatePageWindow() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kWindowClass;
        registered = RegisterClassA(&wc) != 0;
    }
    return CreateWindowExA(0, kWindowClass, "page", WS_OVERLAPPEDWINDOW, 40, 40, 300, 200, nullptr,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
}

// The script of the running check: this thread's only, as the checks ask on it.
std::vector<int> scriptAnswers;
std::function<void(size_t)> scriptBefore;
std::vector<Asked>* scriptAsked = nullptr;

int ScriptedAnswer(HWND owner, MessageId question) {
    const size_t index = scriptAsked->size();
    scriptAsked->push_back({owner, question});
    if (scriptBefore)
        scriptBefore(index);
    return index < scriptAnswers.size() ? scriptAnswers[index] : IDCANCEL;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

std::string InfoText(const std::vector<std::string>& entries,
                     const std::vector<std::string>& models, int capacityKB,
                     const std::string& version) {
    std::string text;
    for (const std::string& entry : entries) {
        const bool file = entry.compare(0, 2, "F ") == 0;
        text += file ? "[Firmware File Name]\n" : "[Firmware Folder Name]\n";
        text += entry.substr(2) + "\n";
    }
    text += "[Camera Model Name]\n";
    for (const std::string& model : models)
        text += model + "\n";
    text += "[Firmware Version]\n" + version + "\n";
    text += "[CF Capacity]\n" + std::to_string(capacityKB) + "\n";
    return text;
}

void ResetCameraLink() {
    testing_support::ResetCameraLink();
}

bool MakeFileOfSize(const std::string& path, uint64_t size) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD unused = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

void CheckRun::SetUp() {
    GetCurrentDirectoryA(MAX_PATH, previousDirectory_);
    ResetCameraLink();
    ReleaseFirmwareJob(&firmwareJob);
    window_ = CreatePageWindow();
    ASSERT_NE(window_, nullptr);
    UseCamera("");
}

void CheckRun::TearDown() {
    if (!released_)
        Release();
    ResetCameraLink();
    SetCurrentDirectoryA(previousDirectory_);
    DestroyWindow(window_);
    scenario_.reset();
}

void CheckRun::UseCamera(const std::string& profile) {
    if (!scenario_) {
        scenario_.reset(new Scenario(profile, "vck"));
        CreateDirectoryA(Update().c_str(), nullptr);
    } else {
        scenario_->SetProfile(profile);
    }
}

std::string CheckRun::Update(const std::string& relative) const {
    const std::string folder = scenario_->Path("update");
    return relative.empty() ? folder : folder + "\\" + relative;
}

std::string CheckRun::Card(const std::string& relative) const {
    return relative.empty() ? scenario_->card() : scenario_->card() + "\\" + relative;
}

void CheckRun::UpdateFile(const std::string& relative, size_t size) {
    const std::string path = Update(relative);
    MakeFolders(Parent(path));
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(size, static_cast<uint32_t>(size))));
}

void CheckRun::CardFile(const std::string& relative, size_t size) {
    const std::string path = Card(relative);
    MakeFolders(Parent(path));
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(size, 7)));
}

void CheckRun::UpdateFolder(const std::string& relative) {
    ASSERT_TRUE(MakeFolders(Update(relative)));
}

void CheckRun::WriteInfo(const std::string& text) {
    ASSERT_TRUE(WriteFileBytes(Update("FirmInfo.txt"), text));
}

MessageId CheckRun::Run(const std::vector<int>& answers, std::function<void(size_t)> before) {
    scenario_->UseLibraryHere();
    EXPECT_TRUE(SetCurrentDirectoryA(Update().c_str()));
    asked_.clear();
    scriptAnswers = answers;
    scriptBefore = std::move(before);
    scriptAsked = &asked_;
    const MessageId result =
        RunPreCopyChecks(GetModuleHandleA(nullptr), window_, &firmwareJob, ScriptedAnswer);
    scriptBefore = nullptr;
    libraryAfterRun_ = cameraLink.library;
    SetCurrentDirectoryA(previousDirectory_);
    for (const Asked& asked : asked_)
        EXPECT_EQ(asked.owner, window_) << "the page owns the question";
    return result;
}

const FirmwareEntry* CheckRun::Entry(const std::string& name) const {
    for (const FirmwareEntry* entry = firmwareJob.entryHead; entry; entry = entry->next) {
        if (entry->name && name == entry->name)
            return entry;
    }
    return nullptr;
}

void CheckRun::Release() {
    released_ = true;
    ReleaseFirmwareJob(&firmwareJob);
    EXPECT_EQ(cameraLink.isOpen, 0) << "releasing the job closes a link the checks opened";
    const char zero[sizeof(FirmwareJob)] = {};
    EXPECT_EQ(memcmp(&firmwareJob, zero, sizeof zero), 0) << "and leaves the record all zero";
}
