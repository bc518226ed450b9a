// Camera operations over the real driver library and its embedded virtual camera, one profile
// per situation.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "camera_events.h"
#include "camera_link.h"
#include "link_reset.h"
#include "scenario.h"

using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::Scenario;
using testing_support::WriteFileBytes;

namespace {

void IgnoreEvent(uint32_t, const uint32_t*, uint32_t) {}

// A fresh link for every case: the link is one per process.
struct Link : ::testing::Test {
    void TearDown() override { testing_support::ResetCameraLink(); }
    DriverResult OpenWith(Scenario& scenario, uint32_t* count) {
        scenario.UseLibraryHere();
        return CameraOpen(IgnoreEvent, count);
    }
};

TEST_F(Link, NoCameraLeavesTheLinkClosed) {
    Scenario s("camera.count = 0\n");
    uint32_t count = 9;
    EXPECT_EQ(OpenWith(s, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(cameraLink.isOpen, 0);
    EXPECT_EQ(CameraClose(), kDriverLinkState);
    uint32_t state;
    EXPECT_EQ(CameraGetBatteryState(&state), kDriverLinkState);
}

TEST_F(Link, TwoCamerasAndOpenWhileOpen) {
    {
        Scenario s("camera.count = 2\n");
        uint32_t count = 0;
        EXPECT_EQ(OpenWith(s, &count), kDriverMultipleCameras);
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(cameraLink.isOpen, 0);
        TearDown();
    }
    Scenario s("");
    uint32_t count = 0;
    ASSERT_EQ(OpenWith(s, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(cameraLink.isOpen, 1);
    const uint32_t device = cameraLink.device;
    count = 0;
    EXPECT_EQ(CameraOpen(IgnoreEvent, &count), kDriverLinkState);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(cameraLink.device, device);
    EXPECT_EQ(CameraClose(), 0);
    EXPECT_EQ(cameraLink.library, nullptr);
    EXPECT_EQ(cameraLink.camera, nullptr);
}

TEST_F(Link, BrokenInstallationsGiveNotInstalled) {
    const std::string empty = testing_support::MakeTempFolder("vno");
    SetDllDirectoryA(empty.c_str());
    uint32_t count = 5;
    EXPECT_EQ(CameraOpen(IgnoreEvent, &count), kDriverNotInstalled);
    EXPECT_EQ(cameraLink.library, nullptr);
    for (const char* fixture : {"no_entry_kx.dll", "null_kx.dll"}) {
        CopyFileA((testing_support::ExeFolder() + "\\" + fixture).c_str(),
                  (empty + "\\KXPTPCLS.DLL").c_str(), FALSE);
        EXPECT_EQ(CameraOpen(IgnoreEvent, &count), kDriverNotInstalled) << fixture;
        EXPECT_EQ(count, 5u);
        EXPECT_EQ(cameraLink.isOpen, 0);
        testing_support::ResetCameraLink();
        SetDllDirectoryA(empty.c_str());
    }
    SetDllDirectoryA(nullptr);
    testing_support::RemoveTree(empty);
}

TEST_F(Link, BatteryStates) {
    const struct {
        const char* state;
        uint32_t expected;
    } rows[] = {
        {"1", kBatterySufficient}, {"2", kBatteryLow}, {"0", kBatteryLow}, {"7", kBatteryLow}};
    for (const auto& row : rows) {
        Scenario s(std::string("battery.state = ") + row.state + "\n");
        uint32_t count = 0, state = 0;
        ASSERT_EQ(OpenWith(s, &count), 0);
        EXPECT_EQ(CameraGetBatteryState(&state), 0);
        EXPECT_EQ(state, row.expected) << row.state;
        TearDown();
    }
}

TEST_F(Link, FirmwareVersionBytesAreSigned) {
    const struct {
        const char* version;
        const char* text;
    } rows[] = {{"1.0.1.2", "1.0.1.2"},
                {"1.128.255.2", "1.-128.-1.2"},
                {"255.255.255.255", "-1.-1.-1.-1"},
                {"128.128.128.128", "-128.-128.-128.-128"}};
    for (const auto& row : rows) {
        Scenario s(std::string("camera.firmware = ") + row.version + "\n");
        uint32_t count = 0;
        ASSERT_EQ(OpenWith(s, &count), 0);
        char text[20];
        memset(text, 'x', sizeof text);
        EXPECT_EQ(CameraGetFirmwareVersion(text), 0);
        EXPECT_STREQ(text, row.text);
        TearDown();
    }
}

TEST_F(Link, ModelNames) {
    {
        Scenario s("camera.model = Tarvo Camera X1 Pro\n");
        uint32_t count = 0;
        ASSERT_EQ(OpenWith(s, &count), 0);
        char text[512] = "untouched";
        EXPECT_EQ(CameraGetModelName(text), 0);
        EXPECT_STREQ(text, "Tarvo Camera X1 Pro");
        TearDown();
    }
    Scenario s("camera.model =\n");
    uint32_t count = 0;
    ASSERT_EQ(OpenWith(s, &count), 0);
    char text[512] = "untouched";
    EXPECT_EQ(CameraGetModelName(text), 0);
    EXPECT_STREQ(text, "untouched") << "an empty name leaves the text as it was";
}

TEST_F(Link, CardFiguresSaturateInsteadOfWrapping) {
    const struct {
        const char* card;
        uint32_t capacity, freeSpace;
    } rows[] = {
        {"card.capacity = 2G\ncard.free = 1G\n", 0x80000000u, 0x40000000u},
        {"card.capacity = 4G\ncard.free = 4G\n", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"card.capacity = 32G\ncard.free = 3G\n", 0xFFFFFFFFu, 0xC0000000u},
        {"card.capacity = 64G\ncard.free = 40G\n", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"card.capacity = 64G\ncard.free = 0\n", 0xFFFFFFFFu, 0u},
    };
    for (const auto& row : rows) {
        Scenario s(row.card);
        uint32_t count = 0;
        ASSERT_EQ(OpenWith(s, &count), 0);
        uint32_t access = 9, capacity = 0, freeSpace = 0;
        EXPECT_EQ(CameraGetCardInfo(&access, &capacity, &freeSpace), 0);
        EXPECT_EQ(access, 0u);
        EXPECT_EQ(capacity, row.capacity) << row.card;
        EXPECT_EQ(freeSpace, row.freeSpace) << row.card;
        TearDown();
    }
    Scenario s("card.write_protected = yes\n");
    uint32_t count = 0;
    ASSERT_EQ(OpenWith(s, &count), 0);
    uint32_t access = 0, capacity = 0, freeSpace = 0;
    EXPECT_EQ(CameraGetCardInfo(&access, &capacity, &freeSpace), 0);
    EXPECT_NE(access, 0u);
}

TEST_F(Link, NoCardFailsTheOpenWithMemoryCardNotFound) {
    Scenario s("card.present = no\n");
    uint32_t count = 0;
    EXPECT_EQ(OpenWith(s, &count), kDriverStoreNotAvailable);
    EXPECT_EQ(TranslateDriverResult(kDriverStoreNotAvailable), IDS_MSG_NO_CARD);
    EXPECT_EQ(cameraLink.isOpen, 0);
}

// The answer of a lookup that went through: its failure result stays 0.
DriverResult Exists(const char* name) {
    DriverResult failure = 99;
    const DriverResult found = CameraFileExists(name, &failure);
    EXPECT_EQ(failure, 0) << name;
    return found;
}

TEST_F(Link, FileExistsIgnoresCaseAndAsksNothingOfAnEmptyCard) {
    // A refused handle request would surface as a failure: an empty card never makes one.
    Scenario s("fault.response.operation = GetObjectHandles\nfault.response.code = 0x2002\n");
    uint32_t count = 0;
    ASSERT_EQ(OpenWith(s, &count), 0);
    EXPECT_EQ(Exists("readme.TXT"), 0);
    TearDown();
    // The same refusal with objects on the card: a failed lookup, not an answer.
    WriteFileBytes(s.card() + "\\README.txt", "x");
    ASSERT_EQ(OpenWith(s, &count), 0);
    DriverResult failure = 0;
    EXPECT_EQ(CameraFileExists("readme.TXT", &failure), kDriverGeneralError);
    EXPECT_EQ(failure, kDriverGeneralError);
    TearDown();

    s.SetProfile("");
    testing_support::MakeFolders(s.card() + "\\FW\\DEEP");
    WriteFileBytes(s.card() + "\\FW\\DEEP\\Update.Fir", "y");
    ASSERT_EQ(OpenWith(s, &count), 0);
    EXPECT_EQ(Exists("readme.TXT"), kFileOnCard);
    // Files land at the card's root: one in a folder of its own is not where a copy goes.
    EXPECT_EQ(Exists("UPDATE.FIR"), 0);
    WriteFileBytes(s.card() + "\\UPDATE.FIR", "z");
    TearDown();
    ASSERT_EQ(OpenWith(s, &count), 0);
    EXPECT_EQ(Exists("Update.fir"), kFileOnCard);
    EXPECT_EQ(Exists("UPDATE.FI"), 0);
    EXPECT_EQ(Exists("other.bin"), 0);
}

DriverResult NoProgress(uint32_t, uint32_t, uint32_t) {
    return 0;
}

TEST_F(Link, SendFileNamesTheObjectByItsLastComponent) {
    Scenario s("");
    uint32_t count = 0;
    ASSERT_EQ(OpenWith(s, &count), 0);
    const struct {
        const char* cameraPath;
        const char* name;
        size_t size;
    } rows[] = {{"\\FW\\sub\\b.bin", "b.bin", 70000},
                {"PLAIN.FIR", "PLAIN.FIR", 1025},
                {"\\TOP.BIN", "TOP.BIN", 0}};
    for (const auto& row : rows) {
        const std::string bytes = PatternBytes(row.size, static_cast<uint32_t>(row.size));
        const std::string local = s.Path("local.bin");
        WriteFileBytes(local, bytes);
        uint32_t size = static_cast<uint32_t>(bytes.size());
        EXPECT_EQ(CameraSendFile(local.c_str(), &size, row.cameraPath, NoProgress), 0);
        std::string arrived;
        ASSERT_TRUE(ReadFileBytes(s.card() + "\\" + row.name, arrived)) << row.cameraPath;
        EXPECT_TRUE(arrived == bytes) << row.cameraPath;
    }
    EXPECT_EQ(testing_support::ListFiles(s.card()).size(), 3u);
    uint32_t size = 4;
    EXPECT_EQ(CameraSendFile(s.Path("missing.bin").c_str(), &size, "\\M.BIN", NoProgress),
              kStreamOpenFailed);
}

TEST_F(Link, AFaultAtEachStepOfTheOpen) {
    const struct {
        const char* profile;
        DriverResult expected;
    } rows[] = {
        {"camera.count = nonsense\n", kDriverNotInstalled},
        {"fault.response.operation = OpenSession\nfault.response.code = 0x2019\n", kDriverBusy},
        {"fault.response.operation = GetStorageIDs\nfault.response.code = 0x2005\n",
         kDriverNotSupported},
        {"fault.response.operation = GetStorageInfo\nfault.response.occurrence = 1\n"
         "fault.response.code = 0x2002\n",
         kDriverGeneralError},
    };
    for (const auto& row : rows) {
        Scenario s(row.profile);
        uint32_t count = 0;
        EXPECT_EQ(OpenWith(s, &count), row.expected) << row.profile;
        EXPECT_EQ(cameraLink.isOpen, 0);
        uint32_t state = 0;
        EXPECT_EQ(CameraGetBatteryState(&state), kDriverLinkState);
        // A later attempt, with the object of the failed one released, fails the same way.
        EXPECT_EQ(CameraOpen(IgnoreEvent, &count), row.expected);
        TearDown();
    }
}

TEST_F(Link, CameraEventsReachTheWindowAsReports) {
    Scenario s("fault.power_down.operation = GetDevicePropDesc\nfault.power_down.reason = 4\n");
    HWND window =
        CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetErrorTargetWindow(window);
    s.UseLibraryHere();
    uint32_t count = 0, state = 0;
    ASSERT_EQ(CameraOpen(CameraEventHandler, &count), 0);
    EXPECT_NE(CameraGetBatteryState(&state), 0);
    MSG msg = {};
    bool got = false;
    for (int i = 0; i < 300 && !got; ++i) {
        got = PeekMessageA(&msg, window, UWM_REPORT_ERROR, UWM_REPORT_ERROR, PM_REMOVE) != 0;
        if (!got)
            Sleep(10);
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(msg.lParam, IDS_MSG_POWER_BATTERY_COVER);
    EXPECT_EQ(cameraLink.cameraLost, 1);
    SetErrorTargetWindow(nullptr);
    DestroyWindow(window);
}

} // namespace
