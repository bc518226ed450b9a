// RunPreCopyChecks on the camera side: connecting with its Retry/Cancel question, the battery,
// the model, the firmware version and the card, each against a virtual camera profile.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "camera_link.h"
#include "checks_fixture.h"
#include "resource_ids.h"

namespace {

class Camera : public CheckRun {
  protected:
    // A small update that passes every disk-side step.
    void SetUp() override {
        CheckRun::SetUp();
        UpdateFile("UPDATE.FIR", 1000);
        UpdateFile("FIRM\\A.BIN", 100);
        WriteInfo(InfoText({"F UPDATE.FIR", "D FIRM"}));
    }
    // Every question put was the no-camera question.
    void ExpectNoCameraQuestions(size_t count) {
        ASSERT_EQ(asked_.size(), count);
        for (const Asked& asked : asked_)
            EXPECT_EQ(asked.question, IDS_ASK_NO_CAMERA_RETRY);
    }
};

using Connect = Camera;

TEST_F(Connect, NoCameraAsksAfterEveryAttemptUntilCancel) {
    UseCamera("camera.count = 0\n");
    EXPECT_EQ(Run({IDRETRY, IDRETRY, IDRETRY, IDCANCEL}), IDS_MSG_CANNOT_CONNECT);
    ExpectNoCameraQuestions(4);
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(cameraLink.isOpen, 0);
    EXPECT_EQ(firmwareJob.cameraModel, nullptr);
}

TEST_F(Connect, CancelAtTheFirstQuestionCannotConnect) {
    UseCamera("camera.count = 0\n");
    EXPECT_EQ(Run({IDCANCEL}), IDS_MSG_CANNOT_CONNECT);
    ExpectNoCameraQuestions(1);
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
}

TEST_F(Connect, RetryFindsACameraAttachedMeanwhile) {
    UseCamera("camera.count = 0\n");
    testing_support::Scenario* scenario = scenario_.get();
    // The user attaches the camera, then presses Retry.
    const MessageId result =
        Run({IDRETRY}, [scenario](size_t) { scenario->SetProfile("camera.count = 1\n"); });
    EXPECT_EQ(result, 0);
    ExpectNoCameraQuestions(1);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
    EXPECT_EQ(cameraLink.isOpen, 1);
}

TEST_F(Connect, TwoCamerasGiveMultipleCamerasWithoutAQuestion) {
    UseCamera("camera.count = 2\n");
    EXPECT_EQ(Run({IDRETRY}), IDS_MSG_MULTIPLE_CAMERAS);
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(cameraLink.isOpen, 0);
}

TEST_F(Connect, ALinkAlreadyOpenCannotConnectWithoutAQuestion) {
    scenario_->UseLibraryHere();
    uint32_t count = 0;
    ASSERT_EQ(CameraOpen(nullptr, &count), 0);
    const uint32_t device = cameraLink.device;
    EXPECT_EQ(Run({IDRETRY}), IDS_MSG_CANNOT_CONNECT);
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(cameraLink.isOpen, 1) << "the link opened before is left alone";
    EXPECT_EQ(cameraLink.device, device);
    ReleaseFirmwareJob(&firmwareJob);
    EXPECT_EQ(cameraLink.isOpen, 1) << "releasing closes only what the checks opened";
    EXPECT_EQ(CameraClose(), 0);
    Release();
}

TEST_F(Connect, MissingLibraryIsADriverNotInstalledWithoutAQuestion) {
    ASSERT_TRUE(DeleteFileA(scenario_->Path("KXPTPCLS.DLL").c_str()));
    EXPECT_EQ(Run({IDRETRY}), IDS_MSG_DRIVER_NOT_INSTALLED);
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
}

// A camera that does not answer is "no camera detected" to the driver: the user is asked, as
// when no camera is counted, instead of the checks trying on without end.
TEST_F(Connect, ACameraThatDoesNotAnswerIsAskedAbout) {
    scenario_->SetSettings("transport = virtual\nprofile = camera.ini\ncard = card\n"
                           "timeout_ms = 100\n");
    UseCamera("delay.ms = 400\ndelay.operation = OpenSession\n");
    EXPECT_EQ(Run({IDRETRY, IDCANCEL}), IDS_MSG_CANNOT_CONNECT);
    ExpectNoCameraQuestions(2);
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(cameraLink.isOpen, 0);
}

TEST_F(Connect, NoCardIsSaidWithoutAQuestion) {
    UseCamera("card.present = no\n");
    EXPECT_EQ(Run({IDRETRY}), IDS_MSG_NO_CARD);
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(cameraLink.isOpen, 0);
}

using Facts = Camera;

TEST_F(Facts, LowBatteryIsSaid) {
    UseCamera("battery.state = 2\n");
    EXPECT_EQ(Run(), IDS_MSG_BATTERY_LOW);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
    EXPECT_EQ(cameraLink.isOpen, 1);
    EXPECT_EQ(firmwareJob.cameraModel, nullptr) << "the model is not read";
}

TEST_F(Facts, TheFirstFailingStepWins) {
    UseCamera("battery.state = 2\ncamera.model = Other\ncard.write_protected = yes\n");
    EXPECT_EQ(Run(), IDS_MSG_BATTERY_LOW);
    Release();
    ResetCameraLink();
    released_ = false;
    UseCamera("camera.model = Other\ncard.write_protected = yes\n");
    EXPECT_EQ(Run(), IDS_MSG_WRONG_MODEL);
}

TEST_F(Facts, ABatteryReadThatFailsIsTranslated) {
    UseCamera("fault.busy.operation = GetDevicePropDesc\nfault.busy.occurrence = 1\n"
              "fault.busy.ms = 60000\n"); // busy for longer than the library asks again
    EXPECT_EQ(Run(), IDS_MSG_PORT_BUSY);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
}

TEST_F(Facts, AModelNotListedExactlyIsTheWrongModel) {
    const struct {
        const char* listed;
        const char* camera;
    } cases[] = {
        {"tarvo camera x1", "Tarvo Camera X1"},     {"TARVO CAMERA X1", "Tarvo Camera X1"},
        {"Tarvo Camera X1 ", "Tarvo Camera X1"},    {"Tarvo Camera X1", "Tarvo Camera X1 Pro"},
        {"Tarvo Camera X1 Pro", "Tarvo Camera X1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("listed \"") + c.listed + "\", camera \"" + c.camera + "\"");
        UseCamera(std::string("camera.model = ") + c.camera + "\n");
        WriteInfo(InfoText({"F UPDATE.FIR", "D FIRM"}, {c.listed}));
        EXPECT_EQ(Run(), IDS_MSG_WRONG_MODEL);
        EXPECT_EQ(firmwareJob.cameraModel, nullptr);
        EXPECT_EQ(firmwareJob.cameraFirmwareVersion, nullptr) << "the version is not read";
        EXPECT_EQ(firmwareJob.cameraOpen, 1);
        Release();
        ResetCameraLink();
        released_ = false;
    }
}

TEST_F(Facts, AnyListedModelMatches) {
    UseCamera("camera.model = Tarvo Camera X2\n");
    WriteInfo(InfoText({"F UPDATE.FIR", "D FIRM"},
                       {"Tarvo Camera X1", "tarvo camera x2", "Tarvo Camera X2", "Tarvo"}));
    EXPECT_EQ(Run(), 0);
    ASSERT_NE(firmwareJob.cameraModel, nullptr);
    EXPECT_STREQ(firmwareJob.cameraModel, "Tarvo Camera X2");
}

TEST_F(Facts, AModelReadThatFailsIsTranslated) {
    UseCamera("fault.response.operation = GetDevicePropDesc\nfault.response.occurrence = 2\n"
              "fault.response.code = 0x2002\n"); // GeneralError
    EXPECT_EQ(Run(), IDS_MSG_CAMERA_INTERNAL);
    EXPECT_EQ(firmwareJob.cameraModel, nullptr);
}

TEST_F(Facts, TheVersionIsKeptButNeverCompared) {
    UseCamera("camera.firmware = 9.9.9.9\n");
    WriteInfo(InfoText({"F UPDATE.FIR", "D FIRM"}, {"Tarvo Camera X1"}, 2048, "0.0.0.1"));
    EXPECT_EQ(Run(), 0);
    ASSERT_NE(firmwareJob.cameraFirmwareVersion, nullptr);
    EXPECT_STREQ(firmwareJob.cameraFirmwareVersion, "9.9.9.9");
    EXPECT_STREQ(firmwareJob.firmwareVersion, "0.0.0.1");
}

TEST_F(Facts, AVersionReadThatFailsIsTranslated) {
    UseCamera("fault.response.operation = GetDevicePropDesc\nfault.response.occurrence = 3\n"
              "fault.response.code = 0x2002\n");
    EXPECT_EQ(Run(), IDS_MSG_CAMERA_INTERNAL);
    ASSERT_NE(firmwareJob.cameraModel, nullptr) << "the model check ran before";
    EXPECT_EQ(firmwareJob.cameraFirmwareVersion, nullptr);
}

using CardCheck = Camera;

struct CardCase {
    const char* name;
    const char* profile;
    int capacityKB;
    MessageId expected;
};

TEST_F(CardCheck, PresenceProtectionAndFreeSpace) {
    const CardCase cases[] = {
        {"capacity 0, write-protected", "card.capacity = 0\ncard.write_protected = yes\n", 1,
         IDS_MSG_NO_CARD},
        {"capacity 0", "card.capacity = 0\n", 1, IDS_MSG_NO_CARD},
        {"capacity below free space", "card.capacity = 1M\ncard.free = 2M\n", 4, IDS_MSG_NO_CARD},
        {"write-protected with space", "card.write_protected = yes\n", 4, IDS_MSG_WRITE_PROTECTED},
        {"one KB short", "card.capacity = 8M\ncard.free = 2047K\n", 2048, IDS_MSG_CARD_SPACE},
        {"free space equal to the capacity", "card.capacity = 8M\ncard.free = 2M\n", 2048, 0},
        {"1023 bytes are 0 KB", "card.capacity = 8M\ncard.free = 1023\n", 4, IDS_MSG_CARD_SPACE},
        {"2049 bytes are 2 KB", "card.capacity = 8M\ncard.free = 2049\n", 3, IDS_MSG_CARD_SPACE},
        {"4 KB free for 4 KB", "card.capacity = 8M\ncard.free = 4096\n", 4, 0},
        {"a card of 4 GiB and more", "card.capacity = 64G\ncard.free = 63G\n", 4, 0},
    };
    for (const CardCase& c : cases) {
        SCOPED_TRACE(c.name);
        UseCamera(c.profile);
        WriteInfo(InfoText({"F UPDATE.FIR", "D FIRM"}, {"Tarvo Camera X1"}, c.capacityKB));
        EXPECT_EQ(Run(), c.expected);
        EXPECT_TRUE(asked_.empty());
        EXPECT_EQ(firmwareJob.cameraOpen, 1);
        ASSERT_NE(firmwareJob.cameraFirmwareVersion, nullptr) << "every earlier step ran";
        Release();
        ResetCameraLink();
        released_ = false;
    }
}

TEST_F(CardCheck, ACardQueryThatFailsIsTranslated) {
    // The first GetStorageInfo comes from opening the link, the second from the card check.
    UseCamera("fault.busy.operation = GetStorageInfo\nfault.busy.occurrence = 2\n"
              "fault.busy.ms = 60000\n");
    EXPECT_EQ(Run(), IDS_MSG_PORT_BUSY);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
}

// Every block of the job comes through firmwareCalloc; the last two of a successful run are the
// copies of the camera's model name and firmware version.
int allocations = 0;
int failAllocation = 0;
void* CountingCalloc(size_t count, size_t size) {
    if (++allocations == failAllocation)
        return nullptr;
    return calloc(count, size);
}

// Puts the real allocator back however the test ends.
struct CountingAllocator {
    FirmwareCallocFn saved = firmwareCalloc;
    CountingAllocator() { firmwareCalloc = CountingCalloc; }
    ~CountingAllocator() { firmwareCalloc = saved; }
};

TEST_F(Facts, OutOfMemoryForTheCameraTextsIsSaid) {
    CountingAllocator counting;
    allocations = 0;
    failAllocation = 0;
    EXPECT_EQ(Run(), 0);
    const int total = allocations;
    Release();
    ResetCameraLink();

    allocations = 0;
    failAllocation = total - 1;
    released_ = false;
    EXPECT_EQ(Run(), IDS_MSG_OUT_OF_MEMORY);
    EXPECT_EQ(firmwareJob.cameraModel, nullptr);
    EXPECT_EQ(firmwareJob.cameraFirmwareVersion, nullptr);
    EXPECT_EQ(firmwareJob.cameraOpen, 1);
    Release();
    ResetCameraLink();

    allocations = 0;
    failAllocation = total;
    released_ = false;
    EXPECT_EQ(Run(), IDS_MSG_OUT_OF_MEMORY);
    EXPECT_NE(firmwareJob.cameraModel, nullptr);
    EXPECT_EQ(firmwareJob.cameraFirmwareVersion, nullptr);
    Release();

    allocations = 0;
    failAllocation = 1;
    released_ = false;
    EXPECT_EQ(Run(), IDS_MSG_OUT_OF_MEMORY) << "while loading the information file";
    EXPECT_EQ(firmwareJob.cameraOpen, 0);
    EXPECT_EQ(libraryAfterRun_, nullptr);
}

} // namespace
