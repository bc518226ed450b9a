// The worker's arithmetic and phases on their own: bar positions, KB of files, jobs it refuses.
#include <windows.h>
#include <commctrl.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "copy_harness.h"
#include "firmware_job.h"
#include "resource_ids.h"

using copy_testing::BarRecorder;
using copy_testing::CountProcess;
using copy_testing::ExpectNothingLeftBehind;
using copy_testing::ProcessCounts;
using testing_support::MakeTempFolder;
using testing_support::PatternBytes;
using testing_support::RemoveTree;
using testing_support::WriteFileBytes;

namespace {

// A window with a progress bar 1000 standing in for the dialog, on this thread.
struct FakeDialog {
    HWND window;
    FakeDialog() {
        InitCommonControls();
        window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 200, 50, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
        CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD, 0, 0, 100, 10, window,
                        reinterpret_cast<HMENU>(IDC_PROGRESS_BAR), GetModuleHandleA(nullptr),
                        nullptr);
        progressDialog = window;
    }
    ~FakeDialog() {
        progressDialog = nullptr;
        DestroyWindow(window);
    }
};

TEST(ReportCopyProgress, PositionIsTheShareOfTheWholeUpdate) {
    const struct {
        LONG total, copied, current;
        uint32_t percent;
        WPARAM bar;
    } rows[] = {
        {200, 50, 100, 50, 50},          // (50 + 50) * 100 / 200
        {200, 50, 100, 0, 25},           // start of a file: what is already done
        {300, 0, 3, 33, 0},              // 3 * 33 / 100 = 0.99: the share truncates
        {3, 0, 3, 67, 66},               // share 2 of 3 KB
        {1000, 999, 1, 100, 100},        // last KB completes the bar
        {65535, 65000, 65535, 1, 100},   // position clamps to 65535
        {65535, 70000, 65535, 100, 100}, // copied beyond the clamp still gives a full bar
        {65535, 0, 65535, 100, 100},     // largest product, 6553500, stays in range
        {0, 0, 0, 100, 100},             // nothing to count: a full bar instead of a division
        {0, 0, 0, 0, 100},
    };
    FakeDialog dialog;
    for (const auto& row : rows) {
        progressCounters.totalKB = row.total;
        progressCounters.copiedKB = row.copied;
        progressCounters.currentKB = row.current;
        BarRecorder recorder;
        EXPECT_EQ(ReportCopyProgress(row.percent, 7, 9), 0);
        ASSERT_EQ(recorder.steps.size(), 1u);
        EXPECT_EQ(recorder.steps[0].position, row.bar)
            << row.total << " " << row.copied << " " << row.current << " " << row.percent;
    }
    memset(&progressCounters, 0, sizeof progressCounters);
}

// Files made sparse so that sizes near and past 4 GiB cost nothing on disk.
bool MakeSizedFile(const std::string& path, uint64_t size) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

class CountFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = MakeTempFolder("vkb");
        memset(&progressCounters, 0, sizeof progressCounters);
    }
    void TearDown() override {
        RemoveTree(folder);
        memset(&progressCounters, 0, sizeof progressCounters);
    }
    std::string Path(const std::string& relative) { return folder + "\\" + relative; }
    std::string folder;
};

TEST_F(CountFolder, WholeKBPerFileAndSkippedFolders) {
    ASSERT_TRUE(WriteFileBytes(Path("zero"), ""));
    ASSERT_TRUE(WriteFileBytes(Path("one"), "x"));
    ASSERT_TRUE(WriteFileBytes(Path("full"), PatternBytes(1024, 1)));
    CreateDirectoryA(Path("sub").c_str(), nullptr);
    CreateDirectoryA(Path("sub\\deeper").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(Path("sub\\deeper\\over"), PatternBytes(1025, 2)));
    CreateDirectoryA(Path(".x").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(Path(".x\\ignored"), PatternBytes(9000, 3)));
    CreateDirectoryA(Path("sub\\.abc").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(Path("sub\\.abc\\counted"), PatternBytes(3000, 4)));

    EXPECT_EQ(CountFolderSize(folder.c_str()), 0);
    EXPECT_EQ(progressCounters.totalKB, 0 + 1 + 1 + 2 + 3);
    // The total grows from where it stood.
    EXPECT_EQ(CountFolderSize(folder.c_str()), 0);
    EXPECT_EQ(progressCounters.totalKB, 2 * 7);
}

TEST_F(CountFolder, SizesNear4GiBDoNotWrap) {
    ASSERT_TRUE(MakeSizedFile(Path("huge"), 0xFFFFFFFFull));
    EXPECT_EQ(CountFolderSize(folder.c_str()), 0);
    EXPECT_EQ(progressCounters.totalKB, 65535) << "4 GiB - 1 must not count as 0 KB";
}

TEST_F(CountFolder, OnlyTheLow32BitsOfASizeCount) {
    ASSERT_TRUE(MakeSizedFile(Path("past4g"), (1ull << 32) + 1025));
    EXPECT_EQ(CountFolderSize(folder.c_str()), 0);
    EXPECT_EQ(progressCounters.totalKB, 2);
}

TEST_F(CountFolder, TheTotalIsClampedAfterEveryAddition) {
    ASSERT_TRUE(MakeSizedFile(Path("a"), 40000ull * 1024));
    ASSERT_TRUE(MakeSizedFile(Path("b"), 40000ull * 1024));
    progressCounters.totalKB = 100;
    EXPECT_EQ(CountFolderSize(folder.c_str()), 0);
    EXPECT_EQ(progressCounters.totalKB, 65535);
}

TEST_F(CountFolder, MissingFolderAndOverlongPatternCountAsEmpty) {
    progressCounters.totalKB = 5;
    EXPECT_EQ(CountFolderSize(Path("absent").c_str()), 0);
    const std::string overlong = folder + "\\" + std::string(MAX_PATH, 'n');
    EXPECT_EQ(CountFolderSize(overlong.c_str()), 0);
    EXPECT_EQ(progressCounters.totalKB, 5);
}

// Jobs the phases refuse before they touch the camera.
TEST(CopyPhases, EmptyJobsAndNamelessEntriesGiveFilesMissing) {
    FirmwareJob empty = {};
    EXPECT_EQ(PrepareTopFolders(&empty), IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_EQ(CountUpdateSize(&empty), IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_EQ(CopyUpdateEntries(&empty), IDS_MSG_UPDATE_FILES_MISSING);

    FirmwareEntry nameless = {};
    nameless.isFile = 1;
    nameless.sizeLow = 4096;
    FirmwareJob job = {};
    job.entryCount = 1;
    job.entryHead = job.entryTail = &nameless;
    progressCounters.totalKB = 77;
    EXPECT_EQ(CountUpdateSize(&job), IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_EQ(CopyUpdateEntries(&job), IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_EQ(progressCounters.copiedKB, 0);
    // Nameless entries and files are no folders to prepare.
    EXPECT_EQ(PrepareTopFolders(&job), 0);

    // A count of entries with no list behind it.
    FirmwareJob headless = {};
    headless.entryCount = 2;
    EXPECT_EQ(PrepareTopFolders(&headless), IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_EQ(CountUpdateSize(&headless), IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_EQ(CopyUpdateEntries(&headless), IDS_MSG_UPDATE_FILES_MISSING);
    memset(&progressCounters, 0, sizeof progressCounters);
}

// Files the count adds from the job's own record, folders from the disk.
TEST(CopyPhases, CountUpdateSizeAddsRecordedFilesAndListedFolders) {
    const std::string folder = MakeTempFolder("vcu");
    CreateDirectoryA((folder + "\\FW").c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(folder + "\\FW\\in.bin", PatternBytes(5 * 1024, 1)));
    char start[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, start);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));

    char fileName[] = "not-on-disk.bin", folderName[] = "FW";
    FirmwareEntry file = {}, tree = {};
    file.name = fileName;
    file.isFile = 1;
    file.sizeLow = 1025;
    tree.name = folderName;
    file.next = &tree;
    FirmwareJob job = {};
    job.entryCount = 2;
    job.entryHead = &file;
    job.entryTail = &tree;
    progressCounters.totalKB = 1000; // the worker clears it before this phase
    EXPECT_EQ(CountUpdateSize(&job), 0);
    EXPECT_EQ(progressCounters.totalKB, 1000 + 2 + 5);

    SetCurrentDirectoryA(start);
    RemoveTree(folder);
    memset(&progressCounters, 0, sizeof progressCounters);
}

// A job without entries: the worker ends the dialog at once with "files missing" and leaves
// nothing behind.
TEST(CopyPhases, TheDialogOfAnEmptyJobEndsWithFilesMissing) {
    InitCommonControls();
    CloseHandle(CreateMutexA(nullptr, FALSE, "VandrelCopyTestWarmUp"));
    ReleaseFirmwareJob(&firmwareJob);
    HWND owner = CreateWindowExA(0, "STATIC", "page", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    const ProcessCounts before = CountProcess();
    BarRecorder recorder;
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS), owner,
                              CopyDialogProc, 0),
              IDS_MSG_UPDATE_FILES_MISSING);
    EXPECT_TRUE(recorder.steps.empty());
    EXPECT_TRUE(recorder.ranges.empty()) << "the bar is set up only after the count";
    ExpectNothingLeftBehind(before);
    DestroyWindow(owner);
    progressDialog = nullptr;
}

} // namespace
