// ReleaseFirmwareJob, CopyLineText and ParseCapacityKB on their own.
#include <cstring>
#include <string>

#include "camera_link.h"
#include "job_test_support.h"

namespace {

using ReleaseTest = JobTest;

// Stands in for the driver library's object, so that CameraClose runs for real.
class FakeCamera : public CPTPClass {
  public:
    int closeCalls = 0;
    const FirmwareJob* watchedJob = nullptr;
    bool jobStillHeldAtClose = false;

    DriverResult EnumerateDevices(uint32_t*, CameraStream*) override { return kDriverOk; }
    DriverResult OpenDevice(const void*, CameraEventCallback, uint32_t, uint32_t*) override {
        return kDriverOk;
    }
    DriverResult CloseDevice(uint32_t) override {
        ++closeCalls;
        jobStillHeldAtClose =
            watchedJob && watchedJob->entryHead != nullptr && watchedJob->firmwareVersion;
        return kDriverOk;
    }
    DriverResult GetStorageIDs(uint32_t, CameraStream*) override { return kDriverOk; }
    DriverResult GetStorageInfo(uint32_t, uint32_t, StorageRecord*) override { return kDriverOk; }
    DriverResult GetNumObjects(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t*) override {
        return kDriverOk;
    }
    DriverResult GetObjectHandles(uint32_t, uint32_t, uint32_t, uint32_t, CameraStream*) override {
        return kDriverOk;
    }
    DriverResult SendObjectInfo(uint32_t, uint32_t, uint32_t, ObjectInfoRecord*, uint32_t*,
                                uint32_t*, uint32_t*) override {
        return kDriverOk;
    }
    DriverResult SendObject(uint32_t, uint32_t, CameraStream*) override { return kDriverOk; }
    DriverResult GetDevicePropValue(uint32_t, uint32_t, void*, uint32_t) override {
        return kDriverOk;
    }
    DriverResult GetObjectEntry(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                CameraStream*) override {
        return kDriverOk;
    }
};

// An open link on the fake camera; no library module is behind it.
void OpenFakeLink(FakeCamera* camera) {
    cameraLink = CameraLink{};
    cameraLink.camera = camera;
    cameraLink.isOpen = 1;
}

const char kMinimal[] = "[Firmware Folder Name]\nDIR\n[Camera Model Name]\nX1\n"
                        "[Firmware Version]\n1.0\n[CF Capacity]\n10\n";

TEST_F(ReleaseTest, EmptyJobIsOnlyZeroed) {
    FakeCamera camera;
    OpenFakeLink(&camera);
    job_.cameraOpen = 1; // not loaded: nothing is closed or freed
    job_.capacityKB = 5;
    ReleaseFirmwareJob(&job_);
    EXPECT_TRUE(IsAllZero(job_));
    EXPECT_EQ(camera.closeCalls, 0);
    EXPECT_EQ(cameraLink.isOpen, 1);
    cameraLink = CameraLink{};
    ReleaseFirmwareJob(&job_);
    EXPECT_TRUE(IsAllZero(job_));
}

TEST_F(ReleaseTest, OpenCameraLinkIsClosedBeforeTheJobIsFreed) {
    WriteInfo(kMinimal);
    ASSERT_EQ(Load(), 0);
    FakeCamera camera;
    camera.watchedJob = &job_;
    OpenFakeLink(&camera);
    job_.cameraOpen = 1;
    ReleaseFirmwareJob(&job_);
    EXPECT_EQ(camera.closeCalls, 1);
    EXPECT_TRUE(camera.jobStillHeldAtClose);
    EXPECT_EQ(cameraLink.isOpen, 0);
    EXPECT_TRUE(IsAllZero(job_));
    EXPECT_EQ(liveBlocks, 0);
    cameraLink = CameraLink{};
}

TEST_F(ReleaseTest, LinkIsClosedOnlyWhenCameraOpenIsExactlyOne) {
    for (int32_t flag : {0, 2, -1}) {
        SCOPED_TRACE("cameraOpen " + std::to_string(flag));
        WriteInfo(kMinimal);
        ASSERT_EQ(Load(), 0);
        FakeCamera camera;
        OpenFakeLink(&camera);
        job_.cameraOpen = flag;
        ReleaseFirmwareJob(&job_);
        EXPECT_EQ(camera.closeCalls, 0);
        EXPECT_TRUE(IsAllZero(job_));
        cameraLink = CameraLink{};
    }
}

TEST_F(ReleaseTest, CameraTextsStoredByTheChecksAreFreed) {
    WriteInfo(kMinimal);
    ASSERT_EQ(Load(), 0);
    char model[] = "Tarvo Camera X1";
    char version[] = "1.0.1.0\n";
    job_.cameraModel = CopyLineText(model);
    job_.cameraFirmwareVersion = CopyLineText(version);
    ASSERT_NE(job_.cameraModel, nullptr);
    ASSERT_NE(job_.cameraFirmwareVersion, nullptr);
    FirmwareEntry* entry = job_.entryHead;
    entry->isFile = 1;
    entry->sizeLow = 1234;
    ReleaseFirmwareJob(&job_);
    EXPECT_EQ(liveBlocks, 0);
    EXPECT_TRUE(IsAllZero(job_));
}

TEST_F(ReleaseTest, JobAfterAFailedParseIsFreedWhole) {
    WriteInfo("[Firmware File Name]\nA\nB\n[Camera Model Name]\nX1\n[Bad]\n");
    ASSERT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(liveBlocks, 6);
    ReleaseFirmwareJob(&job_);
    EXPECT_EQ(liveBlocks, 0);
    EXPECT_TRUE(IsAllZero(job_));
}

TEST_F(ReleaseTest, CopyLineTextDropsOneLineEndInPlace) {
    char twoEnds[] = "abc\n\n";
    char* copy = CopyLineText(twoEnds);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "abc\n");
    EXPECT_STREQ(twoEnds, "abc\n");
    EXPECT_NE(copy, twoEnds);
    firmwareFree(copy);

    char plain[] = "a b\r";
    copy = CopyLineText(plain);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "a b\r");
    firmwareFree(copy);

    char empty[] = "";
    copy = CopyLineText(empty);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "");
    firmwareFree(copy);

    char onlyEnd[] = "\n";
    copy = CopyLineText(onlyEnd);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "");
    EXPECT_STREQ(onlyEnd, "");
    firmwareFree(copy);
    EXPECT_EQ(liveBlocks, 0);
}

TEST_F(ReleaseTest, CopyLineTextAllocatesLengthPlusOneAndReportsExhaustion) {
    size_t requested = 0;
    static size_t* lastRequest;
    lastRequest = &requested;
    FirmwareCallocFn counting = firmwareCalloc;
    static FirmwareCallocFn inner;
    inner = counting;
    firmwareCalloc = [](size_t count, size_t size) -> void* {
        *lastRequest = count * size;
        return inner(count, size);
    };
    char text[] = "12345\n";
    char* copy = CopyLineText(text);
    firmwareCalloc = counting;
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(requested, 6u);
    firmwareFree(copy);

    ResetAllocations(1);
    char other[] = "xyz\n";
    EXPECT_EQ(CopyLineText(other), nullptr);
    EXPECT_STREQ(other, "xyz");
    EXPECT_EQ(CopyLineText(nullptr), nullptr);
}

TEST(ParseCapacityKB, DropsTheLastCharacterThenConvertsLikeAtol) {
    EXPECT_EQ(ParseCapacityKB(""), -1);
    EXPECT_EQ(ParseCapacityKB(nullptr), -1);
    EXPECT_EQ(ParseCapacityKB("2048\n"), 2048);
    EXPECT_EQ(ParseCapacityKB("2048"), 204); // the last character goes, whatever it is
    EXPECT_EQ(ParseCapacityKB("1024 KB\n"), 1024);
    EXPECT_EQ(ParseCapacityKB("  512\n"), 512);
    EXPECT_EQ(ParseCapacityKB("\t\v\f\r 9\n"), 9);
    EXPECT_EQ(ParseCapacityKB("+15\n"), 15);
    EXPECT_EQ(ParseCapacityKB("-5\n"), -5);
    EXPECT_EQ(ParseCapacityKB("0\n"), 0);
    EXPECT_EQ(ParseCapacityKB("KB\n"), 0);
    EXPECT_EQ(ParseCapacityKB("- 5\n"), 0);
    EXPECT_EQ(ParseCapacityKB("\n"), 0);
    EXPECT_EQ(ParseCapacityKB("7"), 0);
    EXPECT_EQ(ParseCapacityKB("12a34\n"), 12);
    EXPECT_EQ(ParseCapacityKB("2147483647\n"), 2147483647);
    EXPECT_EQ(ParseCapacityKB("2147483648\n"), 2147483647);
    EXPECT_EQ(ParseCapacityKB("-2147483648\n"), -2147483647 - 1);
    EXPECT_EQ(ParseCapacityKB("-2147483649\n"), -2147483647 - 1);
    EXPECT_EQ(ParseCapacityKB("000000000000000000000042\n"), 42);
    EXPECT_EQ(ParseCapacityKB("99999999999999999999999999\n"), 2147483647);
}

} // namespace
