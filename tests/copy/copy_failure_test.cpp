// Copies that fail on the camera's side, and camera events shown while the dialog runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "camera_link.h"
#include "copy_harness.h"
#include "resource_ids.h"

using copy_testing::BoxSeen;
using copy_testing::CopyCase;
using copy_testing::ModuleString;
using copy_testing::PressOk;
using testing_support::PatternBytes;

namespace {

const size_t kFirstSize = 200 * 1024;
const size_t kSecondSize = 1024 * 1024;

class CopyFailure : public CopyCase {
  protected:
    // Three top-level files sent in list order; faults are placed inside the second.
    void LayThreeFiles() {
        Lay("f1.bin", PatternBytes(kFirstSize, 61));
        Lay("f2.bin", PatternBytes(kSecondSize, 62));
        Lay("f3.bin", PatternBytes(kFirstSize, 63));
        WriteInfo({}, {"f1.bin", "f2.bin", "f3.bin"});
    }
    void ExpectOnlyFirstFileOnCard() { ExpectCard({{"f1.bin", PatternBytes(kFirstSize, 61)}}); }
    // The run showed the user exactly this one message, wherever it came from.
    void ExpectOneMessage(MessageId message) {
        ASSERT_EQ(Shown().size(), 1u) << "messages shown";
        EXPECT_NE(Shown()[0].find(ModuleString(message)), std::string::npos) << Shown()[0];
    }
    void ExpectBoxOfTheDialog(const BoxSeen& box, MessageId message) {
        EXPECT_NE(box.text.find(ModuleString(message)), std::string::npos) << box.text;
        EXPECT_EQ(box.caption, ModuleString(IDS_APP_CAPTION));
        EXPECT_EQ(box.owner, progressDialog) << "the box belongs to the progress dialog";
    }
};

TEST_F(CopyFailure, ASendTheCameraRefusesEndsWithTransmissionError) {
    const char* profiles[] = {
        "fault.response.operation = SendObject\nfault.response.occurrence = 2\n",
        "fault.response.operation = SendObjectInfo\nfault.response.occurrence = 2\n"
        "fault.response.code = 0x200C\n",
        "fault.response.after_bytes = 300000\nfault.response.code = 0x2002\n",
    };
    for (const char* profile : profiles) {
        SCOPED_TRACE(profile);
        TearDown();
        SetUp();
        LayThreeFiles();
        Profile(profile);
        EXPECT_EQ(Run(), IDS_MSG_TRANSMISSION_ERROR);
        ASSERT_EQ(checksResult, 0);
        EXPECT_TRUE(boxes.empty());
        ExpectOneMessage(IDS_MSG_TRANSMISSION_ERROR);
        EXPECT_EQ(cameraLink.cameraLost, 0);
        ExpectOnlyFirstFileOnCard();
    }
}

TEST_F(CopyFailure, PowerDownDuringASendShowsItsMessageThenInternalError) {
    LayThreeFiles();
    Profile("fault.power_down.after_bytes = " + std::to_string(kFirstSize + 300000) + "\n");
    EXPECT_EQ(Run(), IDS_MSG_INTERNAL_ERROR);
    ASSERT_EQ(checksResult, 0);
    ASSERT_FALSE(boxes.empty()) << "the event's message was not shown";
    ExpectBoxOfTheDialog(boxes[0], IDS_MSG_POWER_LOW_BATTERY);
    ExpectOneMessage(IDS_MSG_POWER_LOW_BATTERY);
    EXPECT_EQ(cameraLink.cameraLost, 1);
    ExpectOnlyFirstFileOnCard();
}

// The worker may end before the event's report has been handled: the report is shown all the
// same, once, and the copy's own result adds nothing.
TEST_F(CopyFailure, ADroppedConnectionMidFileShowsOnlyItsMessage) {
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TearDown();
        SetUp();
        LayThreeFiles();
        Profile("fault.drop.after_bytes = " + std::to_string(kFirstSize + 300000) + "\n");
        EXPECT_EQ(Run(), IDS_MSG_INTERNAL_ERROR);
        ASSERT_EQ(checksResult, 0);
        ExpectOneMessage(IDS_MSG_CONNECTION_PROBLEM);
        ExpectOnlyFirstFileOnCard();
    }
}

// An event that reports nothing (the card cover, with a data word) still loses the camera: the
// failed copy's internal error is then the one message, shown by page 3.
TEST_F(CopyFailure, ASilentEventLeavesTheMessageToThePage) {
    const struct {
        const char* where;
        std::string trigger;
        size_t filesOnCard;
    } rows[] = {
        {"between files", "operation = SendObjectInfo\nfault.power_down.occurrence = 2", 1},
        {"at SendObject", "operation = SendObject\nfault.power_down.occurrence = 2", 1},
        {"mid-file", "after_bytes = " + std::to_string(kFirstSize + 300000), 1},
        {"in the last file", "after_bytes = " + std::to_string(kFirstSize + kSecondSize + 1000), 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.where);
        TearDown();
        SetUp();
        LayThreeFiles();
        Profile("fault.power_down.reason = 3\nfault.power_down.data = 1\nfault.power_down." +
                row.trigger + "\n");
        EXPECT_EQ(Run(), IDS_MSG_INTERNAL_ERROR);
        ASSERT_EQ(checksResult, 0);
        EXPECT_EQ(cameraLink.cameraLost, 1);
        EXPECT_EQ(pageMessage, IDS_MSG_INTERNAL_ERROR);
        ExpectOneMessage(IDS_MSG_INTERNAL_ERROR);
        EXPECT_EQ(testing_support::ListFiles(card()).size(), row.filesOnCard);
    }
}

// The event arrives early and the camera goes on: the copy stops all the same (nothing more is
// written to a camera that said it powers down), and the worker may not end the dialog before
// the user has read the box.
TEST_F(CopyFailure, AnEventStopsTheCopyAndItsOpenBoxKeepsTheDialog) {
    LayThreeFiles();
    Profile("fault.power_down.after_bytes = 100000\nfault.power_down.disconnect = no\n");
    bool stillUp = false, stillRunning = false;
    answer = [&](HWND box, const BoxSeen&) {
        // Time for the worker to end the file in flight and wait at the mutex.
        Sleep(1500);
        stillUp = IsWindow(progressDialog) && IsWindowVisible(progressDialog);
        stillRunning = !dialogReturned;
        PressOk(box);
    };
    EXPECT_EQ(Run(), IDS_MSG_INTERNAL_ERROR) << "the copy stops after the event";
    ASSERT_EQ(boxes.size(), 1u);
    ExpectBoxOfTheDialog(boxes[0], IDS_MSG_POWER_LOW_BATTERY);
    ExpectOneMessage(IDS_MSG_POWER_LOW_BATTERY);
    EXPECT_EQ(progressCounters.copiedKB, 0) << "no file was finished after the event";
    EXPECT_TRUE(stillUp);
    EXPECT_TRUE(stillRunning);
    ExpectCard({}); // the file in flight was ended and deleted; nothing else was sent
}

} // namespace
