// Whole copies through the real dialog: what reaches the card, and what the bar shows.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "camera_events.h"
#include "copy_harness.h"
#include "resource_ids.h"

using copy_testing::BarStep;
using copy_testing::CopyCase;
using copy_testing::ImportPatch;
using copy_testing::ModuleString;
using testing_support::PatternBytes;

namespace {

// Positions only ever rise and the last one is a full bar.
void ExpectRisingToFull(const std::vector<BarStep>& bar) {
    ASSERT_FALSE(bar.empty()) << "the bar was never moved";
    for (size_t i = 1; i < bar.size(); ++i)
        EXPECT_GE(bar[i].position, bar[i - 1].position) << "step " << i;
    EXPECT_EQ(bar.back().position, 100u);
    for (const BarStep& step : bar)
        EXPECT_LE(step.position, 100u);
}

std::wstring Wide(const std::string& text) {
    wchar_t wide[MAX_PATH * 2] = L"";
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, MAX_PATH * 2);
    return wide;
}

using CopyDialog = CopyCase;

TEST_F(CopyDialog, TopFilesAndDeepTreesArriveUnderTheirLastComponent) {
    Lay("a.bin", PatternBytes(5000, 1));
    Lay("Empty.dat", "");
    Lay("FW\\b.bin", PatternBytes(1, 2));
    Lay("FW\\sub\\c.bin", PatternBytes(1025, 3));
    Lay("FW\\sub\\deeper\\e0.bin", "");
    Lay("FW\\sub\\deeper\\deepest\\d.bin", PatternBytes(1024, 4));
    Lay("FW\\sub\\deeper\\deepest\\f.bin", PatternBytes(70000, 5));
    Lay("DATA\\g.bin", PatternBytes(300 * 1024, 6));
    LayFolder("FW\\sub\\empty");
    WriteInfo({"FW", "DATA"}, {"a.bin", "Empty.dat"});

    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(checksResult, 0);
    ExpectCard(UpdateFlattened());
    // 5000 B = 5 KB, 1 B and 1024 B = 1 KB, 1025 B = 2 KB, 70000 B = 69 KB, empty files 0.
    const LONG expectedKB = 5 + 0 + 1 + 2 + 0 + 1 + 69 + 300;
    EXPECT_EQ(progressCounters.totalKB, expectedKB);
    EXPECT_EQ(progressCounters.copiedKB, expectedKB);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0], MAKELPARAM(0, 100));
    ExpectRisingToFull(bar);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(CopyDialog, AnUpdateOfEmptyFilesEndsWithAFullBar) {
    Lay("zero.bin", "");
    Lay("FW\\inner\\nothing.bin", "");
    WriteInfo({"FW"}, {"zero.bin"});

    EXPECT_EQ(Run(), 0);
    ExpectCard(UpdateFlattened());
    EXPECT_EQ(progressCounters.totalKB, 0);
    ExpectRisingToFull(bar);
}

TEST_F(CopyDialog, BeyondMaxKBTheBarIsFullBeforeTheLastFileAndStaysFull) {
    const size_t big = 24u << 20; // three of them pass 65535 KB
    Lay("part1.bin", PatternBytes(big, 11));
    Lay("part2.bin", PatternBytes(big, 12));
    Lay("part3.bin", PatternBytes(big, 13));
    Lay("last.bin", PatternBytes(1u << 20, 14));
    WriteInfo({}, {"part1.bin", "part2.bin", "part3.bin", "last.bin"});

    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(checksResult, 0);
    EXPECT_EQ(progressCounters.totalKB, 65535);
    EXPECT_EQ(progressCounters.copiedKB, 3 * 24 * 1024 + 1024) << "copied KB are not clamped";
    ExpectRisingToFull(bar);
    const LONG beforeLast = 3 * 24 * 1024;
    bool fullBeforeLast = false, sawLast = false;
    for (const BarStep& step : bar) {
        if (step.copiedKB < beforeLast && step.position == 100)
            fullBeforeLast = true;
        if (step.copiedKB == beforeLast) {
            sawLast = true;
            EXPECT_EQ(step.position, 100u) << "during the last file";
        }
    }
    EXPECT_TRUE(fullBeforeLast);
    EXPECT_TRUE(sawLast);
    ExpectCard(UpdateFlattened());
}

// "." and ".." come with every listing: were they followed, the tree would be walked again and
// the card would refuse the second copy of a file. Only ".x" is left out among the named ones.
TEST_F(CopyDialog, DotFoldersAreLeftOut) {
    Lay("FW\\top.bin", PatternBytes(3000, 21));
    Lay("FW\\.x\\hidden.bin", PatternBytes(4000, 22));
    Lay("FW\\sub\\.y\\hidden2.bin", PatternBytes(100, 23));
    Lay("FW\\sub\\kept.bin", PatternBytes(2048, 24));
    WriteInfo({"FW"}, {});

    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(checksResult, 0);
    ExpectCard({{"top.bin", PatternBytes(3000, 21)}, {"kept.bin", PatternBytes(2048, 24)}});
    EXPECT_EQ(progressCounters.totalKB, 3 + 2);
    ExpectRisingToFull(bar);
}

// A listing that ends with an error at b.bin, as a drive that goes away mid-listing gives.
bool failListingAtB = false;
BOOL WINAPI FindNextFailingAtB(HANDLE search, WIN32_FIND_DATAA* item) {
    typedef BOOL(WINAPI * FindNextFn)(HANDLE, WIN32_FIND_DATAA*);
    static const FindNextFn real = reinterpret_cast<FindNextFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "FindNextFileA")));
    if (!real(search, item))
        return FALSE;
    if (!failListingAtB || lstrcmpiA(item->cFileName, "b.bin") != 0)
        return TRUE;
    SetLastError(ERROR_NOT_READY);
    return FALSE;
}

// A folder that cannot be listed (named in a script the ANSI code page cannot show, its listed
// name has '?' in it), or a listing that stops with an error: part of the update would be
// missing from the card, so the copy fails.
TEST_F(CopyDialog, WhatCannotBeListedIsATransmissionError) {
    ImportPatch patch("FindNextFileA", reinterpret_cast<void*>(FindNextFailingAtB));
    ASSERT_TRUE(patch.applied());
    for (const bool listingError : {false, true}) {
        SCOPED_TRACE(listingError ? "a listing error" : "a folder that cannot be listed");
        TearDown();
        SetUp();
        for (const char* name : {"a.bin", "b.bin", "c.bin"})
            Lay(std::string("FW\\") + name, PatternBytes(1000, name[0]));
        if (!listingError)
            CreateDirectoryW((Wide(update() + "\\FW\\") + L"\x65E5\x672C\x8A9E").c_str(), nullptr);
        WriteInfo({"FW"}, {});
        failListingAtB = listingError;
        EXPECT_EQ(Run(), IDS_MSG_TRANSMISSION_ERROR);
        failListingAtB = false;
        ASSERT_EQ(checksResult, 0);
        EXPECT_EQ(Shown(), std::vector<std::string>{ModuleString(IDS_MSG_TRANSMISSION_ERROR)});
        if (listingError) {
            EXPECT_LT(testing_support::ListFiles(card()).size(), 3u);
        }
    }
}

// A name of three periods is no "." or "..": its folder is walked like any other. Where the
// path rules cut the periods off so that the folder cannot be searched (as under Wine, which
// refuses the pattern as an invalid name), it is a folder that cannot be listed.
TEST_F(CopyDialog, AFolderOfThreePeriodsIsWalked) {
    Lay("FW\\one.bin", PatternBytes(1500, 31));
    const std::string dots = PatternBytes(2500, 32);
    LayRaw("FW\\...\\dots.bin", dots);
    WriteInfo({"FW"}, {});
    WIN32_FIND_DATAA item;
    HANDLE probe = FindFirstFileA((update() + "\\FW\\...\\*.*").c_str(), &item);
    const bool listable = probe != INVALID_HANDLE_VALUE;
    if (listable)
        FindClose(probe);

    EXPECT_EQ(Run(), listable ? 0 : IDS_MSG_TRANSMISSION_ERROR);
    ASSERT_EQ(checksResult, 0);
    if (listable) {
        ExpectCard({{"one.bin", PatternBytes(1500, 31)}, {"dots.bin", dots}});
        EXPECT_EQ(progressCounters.totalKB, 2 + 3);
    } else {
        EXPECT_EQ(testing_support::ListFiles(card()).count("dots.bin"), 0u);
    }
}

// A path that would not fit is never cut into the path of some other file: the copy stops.
TEST_F(CopyDialog, APathBeyondMaxPathIsAFileThatCannotBeSent) {
    const std::string longName(250 - update().size(), 'L');
    LayRaw("FW\\" + longName + "\\far.bin", PatternBytes(10, 41));
    Lay("FW\\near.bin", PatternBytes(10, 42));
    WriteInfo({"FW"}, {});

    EXPECT_EQ(Run(), IDS_MSG_TRANSMISSION_ERROR);
    ASSERT_EQ(checksResult, 0);
    const auto onCard = testing_support::ListFiles(card());
    EXPECT_EQ(onCard.count("far.bin"), 0u);
    for (const auto& file : onCard)
        EXPECT_TRUE(file.first == "near.bin" && file.second == PatternBytes(10, 42)) << file.first;
}

TEST_F(CopyDialog, CloseOnlyHandsTheReportsBackToThePage) {
    Lay("a.bin", PatternBytes(200 * 1024, 51));
    Lay("b.bin", PatternBytes(200 * 1024, 52));
    WriteInfo({}, {"a.bin", "b.bin"});
    Profile("delay.ms = 20\ndelay.operation = SendObject\n");
    HWND targetAfterClose = nullptr;
    // The bar's first step comes from the worker: by then the dialog is up and copying.
    std::thread closer([&] {
        for (int i = 0; i < 1000 && !progressDialog; ++i)
            Sleep(10);
        HWND dialog = progressDialog;
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        targetAfterClose = ErrorTargetWindow();
    });
    EXPECT_EQ(Run(), 0);
    closer.join();
    EXPECT_EQ(targetAfterClose, owner);
    ExpectCard(UpdateFlattened());
}

// From the checks that open the link to the release that closes it, as page 2 and page 3 do.
TEST_F(CopyDialog, AWholeRunLeavesNoThreadOrHandleBehind) {
    Lay("FW\\w.bin", PatternBytes(64 * 1024, 71));
    WriteInfo({"FW"}, {});
    // The first run also sets up what a process keeps once (window classes, the runtime's own
    // records); every run after it must end where it began. Event objects are left out: Wine's
    // window machinery under Xvfb keeps some of its own from run to run, depending on timing.
    EXPECT_EQ(Run(), 0);
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(DeleteFileA((card() + "\\w.bin").c_str()));
        EXPECT_EQ(Run(), 0);
        std::vector<std::string> kinds;
        for (const auto& kind : copy_testing::CountProcess().byType) {
            if (kind.first != "Event")
                kinds.push_back(kind.first);
        }
        for (const auto& kind : runBefore.byType) {
            if (kind.first != "Event")
                kinds.push_back(kind.first);
        }
        copy_testing::ExpectNothingLeftBehind(runBefore, kinds);
    }
}

} // namespace
