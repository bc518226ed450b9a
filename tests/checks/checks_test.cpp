// RunPreCopyChecks on the disk side: the information file, the listed files and folders, the
// declared space, and the update already on the card. Real folders, the real driver library and
// its virtual camera.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_events.h"
#include "camera_link.h"
#include "checks_fixture.h"
#include "folder_walk.h"
#include "resource_ids.h"

using testing_support::ListFiles;

namespace {

using Loading = CheckRun;

TEST_F(Loading, MissingInfoFileIsNotFoundAndTouchesNothing) {
    EXPECT_EQ(Run(), IDS_MSG_INFO_NOT_FOUND);
    EXPECT_EQ(firmwareJob.loaded, 0);
    EXPECT_EQ(firmwareJob.entryHead, nullptr);
    EXPECT_EQ(libraryAfterRun_, nullptr) << "the camera is not opened";
    EXPECT_TRUE(asked_.empty());
}

TEST_F(Loading, MalformedInfoFileIsIncorrectAndKeepsWhatWasRead) {
    // No capacity section.
    WriteInfo("[Firmware File Name]\nUPDATE.FIR\n[Camera Model Name]\nTarvo Camera X1\n"
              "[Firmware Version]\n1.0.2.0\n");
    UpdateFile("UPDATE.FIR", 10);
    EXPECT_EQ(Run(), IDS_MSG_INFO_INCORRECT);
    EXPECT_EQ(firmwareJob.loaded, 1);
    EXPECT_EQ(firmwareJob.entryCount, 1);
    ASSERT_NE(Entry("UPDATE.FIR"), nullptr);
    EXPECT_EQ(Entry("UPDATE.FIR")->isFile, 0) << "the files are not looked at";
    EXPECT_EQ(libraryAfterRun_, nullptr);
}

// A FirmInfo.txt that opens but cannot be read: the build links it to /proc/self/mem, whose
// first page is never mapped.
TEST_F(Loading, UnreadableInfoFileFailsToRead) {
#ifndef VANDREL_UNREADABLE_INFO_DIR
    GTEST_SKIP() << "this build has no unreadable information file";
#else
    const std::string folder = std::string("Z:") + VANDREL_UNREADABLE_INFO_DIR;
    if (GetFileAttributesA((folder + "/FirmInfo.txt").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no unreadable file at " << folder;
    scenario_->UseLibraryHere();
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    const MessageId result = RunPreCopyChecks(GetModuleHandleA(nullptr), window_, &firmwareJob,
                                              [](HWND, MessageId) { return IDCANCEL; });
    SetCurrentDirectoryA(scenario_->folder().c_str());
    EXPECT_EQ(result, IDS_MSG_INFO_READ_FAILED);
    EXPECT_EQ(firmwareJob.loaded, 1);
    EXPECT_EQ(firmwareJob.entryHead, nullptr);
    EXPECT_EQ(cameraLink.library, nullptr);
#endif
}

using Files = CheckRun;

TEST_F(Files, ThirdOfFiveMissingGivesFilesMissingAndTheFirstTwoKeepTheirFacts) {
    WriteInfo(InfoText({"F A.BIN", "D FIRST", "F C.BIN", "F D.BIN", "D E"}));
    UpdateFile("A.BIN", 5000);
    UpdateFile("FIRST\\INNER.BIN", 300);
    UpdateFile("D.BIN", 7);
    UpdateFolder("E");
    EXPECT_EQ(Run(), IDS_MSG_UPDATE_FILES_MISSING);
    ASSERT_EQ(firmwareJob.entryCount, 5);
    const FirmwareEntry* a = Entry("A.BIN");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->isFile, 1);
    EXPECT_EQ(a->sizeLow, 5000u);
    EXPECT_EQ(a->sizeHigh, 0u);
    const FirmwareEntry* first = Entry("FIRST");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->isFile, 0) << "a folder gets nothing";
    EXPECT_EQ(first->sizeLow, 0u);
    // The entries after the missing one are not looked at.
    EXPECT_EQ(Entry("D.BIN")->isFile, 0);
    EXPECT_EQ(Entry("D.BIN")->sizeLow, 0u);
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(libraryAfterRun_, nullptr) << "no camera step runs";
}

TEST_F(Files, EntriesInSubfoldersAreFound) {
    WriteInfo(InfoText({"F FIRM\\SUB\\PART.BIN", "D FIRM\\SUB"}));
    UpdateFile("FIRM\\SUB\\PART.BIN", 2048);
    UseCamera("camera.count = 2\n");
    EXPECT_EQ(Run(), IDS_MSG_MULTIPLE_CAMERAS);
    EXPECT_EQ(Entry("FIRM\\SUB\\PART.BIN")->isFile, 1);
    EXPECT_EQ(Entry("FIRM\\SUB\\PART.BIN")->sizeLow, 2048u);
}

// Whether an entry is a file or a folder follows the disk, not the section that lists it.
TEST_F(Files, AnEntryIsWhatTheDiskSaysNotWhereItIsListed) {
    WriteInfo(InfoText({"F LOOKS_LIKE_FILE", "D LOOKS_LIKE_FOLDER.FIR"}, {"Tarvo Camera X1"}, 2));
    UpdateFile("LOOKS_LIKE_FILE\\INSIDE.BIN", 100000); // inside a folder: never counted
    UpdateFile("LOOKS_LIKE_FOLDER.FIR", 1500);
    EXPECT_EQ(Run(), 0);
    const FirmwareEntry* folder = Entry("LOOKS_LIKE_FILE");
    const FirmwareEntry* file = Entry("LOOKS_LIKE_FOLDER.FIR");
    ASSERT_TRUE(folder && file);
    EXPECT_EQ(folder->listedAsFile, 1);
    EXPECT_EQ(folder->isFile, 0);
    EXPECT_EQ(folder->sizeLow, 0u);
    EXPECT_EQ(file->listedAsFile, 0);
    EXPECT_EQ(file->isFile, 1);
    EXPECT_EQ(file->sizeLow, 1500u);
}

TEST_F(Files, AFolderListedAsAFileIsSearchedOnTheCardAsAFolder) {
    WriteInfo(InfoText({"F LOOKS_LIKE_FILE"}));
    UpdateFile("LOOKS_LIKE_FILE\\INSIDE.BIN", 10);
    CardFile("INSIDE.BIN");
    EXPECT_EQ(Run(), IDS_MSG_ALREADY_ON_CARD);
}

TEST_F(Files, AFileListedAsAFolderIsLookedUpOnTheCardAsAFile) {
    WriteInfo(InfoText({"D LOOKS_LIKE_FOLDER.FIR"}));
    UpdateFile("LOOKS_LIKE_FOLDER.FIR", 10);
    CardFile("looks_like_folder.fir");
    EXPECT_EQ(Run(), IDS_MSG_ALREADY_ON_CARD);
}

// The declared-space test passes when the connect step runs: with two cameras attached, that
// step ends the run with "multiple cameras" before any question or any later step.
using DeclaredSpace = CheckRun;

struct SpaceCase {
    const char* name;
    std::vector<std::pair<std::string, size_t>> files; // "D:" prefix: a file inside a folder
    std::vector<std::string> entries;
    int capacityKB;
    bool fits;
};

TEST_F(DeclaredSpace, KilobytesRoundedUpAgainstTheCapacity) {
    const SpaceCase cases[] = {
        {"folders only", {{"DIR\\BIG.BIN", 500000}}, {"D DIR", "D EMPTY"}, 1, true},
        {"empty file", {{"ZERO.BIN", 0}}, {"F ZERO.BIN"}, 1, true},
        {"1 byte in 1 KB", {{"ONE.BIN", 1}}, {"F ONE.BIN"}, 1, true},
        {"1024 bytes in 1 KB", {{"K.BIN", 1024}}, {"F K.BIN"}, 1, true},
        {"1025 bytes in 1 KB", {{"K1.BIN", 1025}}, {"F K1.BIN"}, 1, false},
        {"1025 bytes in 2 KB", {{"K1.BIN", 1025}}, {"F K1.BIN"}, 2, true},
        {"the total is rounded, not each file",
         {{"H1.BIN", 512}, {"H2.BIN", 512}},
         {"F H1.BIN", "F H2.BIN"},
         1,
         true},
        {"two files just over",
         {{"H1.BIN", 1024}, {"H2.BIN", 1}},
         {"F H1.BIN", "F H2.BIN"},
         1,
         false},
        {"folder contents never count",
         {{"DIR\\BIG.BIN", 500000}, {"SMALL.BIN", 3000}},
         {"D DIR", "F SMALL.BIN"},
         3,
         true},
    };
    for (const SpaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        scenario_.reset();
        UseCamera("camera.count = 2\n");
        UpdateFolder("EMPTY");
        for (const auto& file : c.files)
            UpdateFile(file.first, file.second);
        WriteInfo(InfoText(c.entries, {"Tarvo Camera X1"}, c.capacityKB));
        const MessageId result = Run();
        EXPECT_EQ(result, c.fits ? IDS_MSG_MULTIPLE_CAMERAS : IDS_MSG_INFO_INCORRECT);
        EXPECT_TRUE(asked_.empty());
        EXPECT_EQ(libraryAfterRun_ != nullptr, c.fits) << "the camera is asked only after it fits";
        Release();
        ResetCameraLink();
    }
}

// Sizes of 2 GiB and more are summed in 64 bits: nothing wraps around to a small total.
TEST_F(DeclaredSpace, LargeFilesAreCountedInFull) {
    const struct {
        const char* name;
        uint64_t size;
        int capacityKB;
        bool fits;
    } cases[] = {
        {"4 GiB + 1 byte in 2 MiB", (uint64_t(1) << 32) + 1, 2048, false},
        {"2 GiB in 2 GiB - 1 KB", uint64_t(1) << 31, (1 << 21) - 1, false},
        {"2 GiB in 2 GiB", uint64_t(1) << 31, 1 << 21, true},
        {"4 GiB + 1 byte in 4 GiB + 1 KB", (uint64_t(1) << 32) + 1, (1 << 22) + 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scenario_.reset();
        UseCamera("camera.count = 2\n");
        ASSERT_TRUE(MakeFileOfSize(Update("BIG.FIR"), c.size));
        WriteInfo(InfoText({"F BIG.FIR"}, {"Tarvo Camera X1"}, c.capacityKB));
        EXPECT_EQ(Run(), c.fits ? IDS_MSG_MULTIPLE_CAMERAS : IDS_MSG_INFO_INCORRECT);
        const FirmwareEntry* big = Entry("BIG.FIR");
        ASSERT_NE(big, nullptr);
        EXPECT_EQ(big->isFile, 1);
        EXPECT_EQ(big->sizeLow, static_cast<uint32_t>(c.size));
        EXPECT_EQ(big->sizeHigh, static_cast<uint32_t>(c.size >> 32));
        Release();
        ResetCameraLink();
    }
}

using OnCard = CheckRun;

TEST_F(OnCard, AllChecksPassAndTheJobHoldsEveryFact) {
    UseCamera("camera.model = Tarvo Camera X1 Pro\ncamera.firmware = 1.0.1.9\n");
    WriteInfo(InfoText({"D FIRM", "F UPDATE.FIR"}, {"Tarvo Camera X1", "Tarvo Camera X1 Pro"}));
    UpdateFile("FIRM\\A.BIN", 100);
    UpdateFile("FIRM\\SUB\\B.BIN", 200);
    UpdateFile("UPDATE.FIR", 4096);
    CardFile("DCIM\\100TARVO\\IMG_0001.JPG");
    const auto cardBefore = ListFiles(Card());

    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(firmwareJob.loaded, 1);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
    EXPECT_EQ(cameraLink.isOpen, 1) << "the link stays open for the copy";
    ASSERT_NE(firmwareJob.cameraModel, nullptr);
    EXPECT_STREQ(firmwareJob.cameraModel, "Tarvo Camera X1 Pro");
    ASSERT_NE(firmwareJob.cameraFirmwareVersion, nullptr);
    EXPECT_STREQ(firmwareJob.cameraFirmwareVersion, "1.0.1.9");
    EXPECT_EQ(Entry("FIRM")->isFile, 0);
    EXPECT_EQ(Entry("UPDATE.FIR")->isFile, 1);
    EXPECT_EQ(Entry("UPDATE.FIR")->sizeLow, 4096u);
    EXPECT_EQ(ListFiles(Card()), cardBefore) << "the checks write nothing";
    Release();
    EXPECT_EQ(cameraLink.library, nullptr) << "closing also unloads the library";
}

TEST_F(OnCard, ATopLevelFileIsAlreadyOnTheCard) {
    WriteInfo(InfoText({"D FIRM", "F UPDATE.FIR"}));
    UpdateFile("FIRM\\A.BIN", 10);
    UpdateFile("UPDATE.FIR", 10);
    CardFile("Update.Fir"); // a card's names do not depend on case
    EXPECT_EQ(Run(), IDS_MSG_ALREADY_ON_CARD);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
    EXPECT_NE(firmwareJob.cameraFirmwareVersion, nullptr) << "every earlier step ran";
}

TEST_F(OnCard, AFileThreeFoldersDeepInAListedFolderIsAlreadyOnTheCard) {
    WriteInfo(InfoText({"D FIRM"}));
    UpdateFile("FIRM\\A.BIN", 10);
    UpdateFile("FIRM\\SUB\\B.BIN", 10);
    UpdateFile("FIRM\\SUB\\X\\Y\\C.BIN", 10);
    CardFile("C.BIN");
    EXPECT_EQ(Run(), IDS_MSG_ALREADY_ON_CARD);
}

// Every file of the update lands at the card's root: a file of the same name kept in a folder
// of its own (an old update in OLDFW) is never touched by the copy, and is no reason to stop.
TEST_F(OnCard, ACopyInAFolderOfItsOwnIsNoUpdateOnTheCard) {
    WriteInfo(InfoText({"F UPDATE.FIR", "D FIRM"}));
    UpdateFile("UPDATE.FIR", 10);
    UpdateFile("FIRM\\SUB\\B.BIN", 10);
    CardFile("OLDFW\\UPDATE.FIR");
    CardFile("DCIM\\100TARVO\\KEEP\\B.BIN");
    EXPECT_EQ(Run(), 0);
    Release();
    CardFile("B.BIN");
    EXPECT_EQ(Run(), IDS_MSG_ALREADY_ON_CARD);
}

TEST_F(OnCard, OtherFilesOnTheCardAndAnEmptyListedFolderPass) {
    WriteInfo(InfoText({"D EMPTY", "F UPDATE.FIR"}));
    UpdateFolder("EMPTY");
    UpdateFile("UPDATE.FIR", 10);
    CardFile("UPDATE.FI");
    CardFile("UPDATE.FIR.OLD");
    CardFile("EMPTY\\OTHER.BIN");
    EXPECT_EQ(Run(), 0);
}

// A lookup that fails says nothing about the card: each fault gives its own message, never the
// advice to format the card, and a camera event on the way is reported as it would be anyway.
TEST_F(OnCard, ALookupThatFailsIsNoAnswer) {
    const struct {
        std::string fault, setting;
        MessageId expected;
        std::vector<MessageId> reports; // of the camera's events
    } faults[] = {
        {"response", "code = 0x2019", IDS_MSG_PORT_BUSY, {}},
        {"response", "code = 0x2002", IDS_MSG_CAMERA_INTERNAL, {}},
        {"drop", "occurrence = 1", IDS_MSG_CAMERA_NOT_READY, {IDS_MSG_CONNECTION_PROBLEM}},
        {"power_down", "occurrence = 1", IDS_MSG_CAMERA_NOT_READY, {IDS_MSG_POWER_LOW_BATTERY}},
    };
    int run = 0;
    for (const char* operation : {"GetObjectHandles", "GetObjectInfo"})
        for (const auto& row : faults) {
            const std::string profile = "fault." + row.fault + "." + row.setting + "\nfault." +
                                        row.fault + ".operation = " + operation + "\n";
            // A listed file, or a listed folder with a file inside, in turn.
            const char* entry = run++ % 2 ? "D FIRM" : "F UPDATE.FIR";
            SCOPED_TRACE(profile + entry);
            scenario_.reset();
            UseCamera(profile);
            UpdateFile("UPDATE.FIR", 10);
            UpdateFile("FIRM\\SUB\\A.BIN", 10);
            WriteInfo(InfoText({entry}));
            CardFile("DCIM\\100TARVO\\IMG_0001.JPG");
            const auto cardBefore = ListFiles(Card());
            SetErrorTargetWindow(window_);

            EXPECT_EQ(Run(), row.expected);
            EXPECT_NE(firmwareJob.cameraFirmwareVersion, nullptr) << "every earlier step ran";
            Release(); // closing the link: every event has been reported by now
            SetErrorTargetWindow(nullptr);
            std::vector<MessageId> reports;
            MSG msg;
            while (PeekMessageA(&msg, window_, UWM_REPORT_ERROR, UWM_REPORT_ERROR, PM_REMOVE))
                reports.push_back(static_cast<MessageId>(msg.lParam));
            EXPECT_EQ(reports, row.reports);
            EXPECT_EQ(ListFiles(Card()), cardBefore) << "nothing is sent to the card";
            ResetCameraLink();
            released_ = false;
        }
}

// "." and ".." and any other two-character name starting with a dot are not walked; longer
// names starting with dots are.
TEST_F(OnCard, DotFoldersAreSkippedOnlyWhenShort) {
    WriteInfo(InfoText({"D FIRM"}));
    UpdateFile("FIRM\\A.BIN", 10);
    UpdateFile("FIRM\\.x\\HIDDEN.BIN", 10);
    CardFile("HIDDEN.BIN");
    // Were ".." walked, FirmInfo.txt in the update folder would be looked up too.
    CardFile("FIRMINFO.TXT");
    EXPECT_EQ(Run(), 0);
    Release();
    ResetCameraLink();

    for (const char* name : {".ab", "..a"}) {
        SCOPED_TRACE(name);
        released_ = false;
        UpdateFile(std::string("FIRM\\") + name + "\\LONGER.BIN", 10);
        CardFile("LONGER.BIN");
        EXPECT_EQ(Run(), IDS_MSG_ALREADY_ON_CARD);
        Release();
        ResetCameraLink();
        ASSERT_TRUE(testing_support::RemoveTree(Update(std::string("FIRM\\") + name)));
    }
}

// Only the names themselves: Win32 drops the trailing dots of a path component, so a folder
// named "..." cannot be made or listed through plain paths at all.
TEST(FolderNames, OnlyDotAndOneMoreCharacterAreSkipped) {
    for (const char* skipped : {".", "..", ".x", ".A", "._"})
        EXPECT_TRUE(IsSkippedFolderName(skipped)) << skipped;
    for (const char* walked : {"...", ".ab", "..a", "x", "x.", "ab", "FIRM", ".hidden"})
        EXPECT_FALSE(IsSkippedFolderName(walked)) << walked;
}

} // namespace
