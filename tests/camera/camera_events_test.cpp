// Driver results to messages over the whole table, and camera events reaching a real window's
// queue from another thread as posted error reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "camera_events.h"
#include "camera_link.h"
#include "resource_ids.h"

namespace {

// The string-table numbers themselves, apart from the names the code uses: a wrong name shows.
TEST(TranslateDriverResult, WholeTable) {
    struct Row {
        int first, last;
        MessageId message;
    };
    const Row table[] = {
        {2, 2, 51},     {11, 11, 55},   {193, 193, 55}, {32, 40, 44},   {160, 167, 44},
        {169, 169, 44}, {41, 41, 45},   {42, 42, 57},   {132, 132, 57}, {168, 168, 57},
        {80, 81, 47},   {83, 83, 47},   {128, 128, 48}, {130, 130, 48}, {135, 136, 52},
        {139, 139, 53}, {192, 192, 54}, {194, 194, 56},
    };
    for (int code = 0; code <= 0xFFFF; ++code) {
        MessageId expected = -1;
        for (const Row& row : table) {
            if (code >= row.first && code <= row.last)
                expected = row.message;
        }
        ASSERT_EQ(TranslateDriverResult(code), expected) << "result " << code;
    }
}

TEST(TranslateDriverResult, OnlyTheLowSixteenBitsCount) {
    EXPECT_EQ(TranslateDriverResult(0), -1);
    EXPECT_EQ(TranslateDriverResult(1), -1);
    EXPECT_EQ(TranslateDriverResult(3), -1);
    EXPECT_EQ(TranslateDriverResult(-1), -1);
    EXPECT_EQ(TranslateDriverResult(139), 53);
    EXPECT_EQ(TranslateDriverResult(0x00050002), 51);
    EXPECT_EQ(TranslateDriverResult(static_cast<DriverResult>(0xFFFF0002u)), 51);
    EXPECT_EQ(TranslateDriverResult(161), 44);
    EXPECT_EQ(TranslateDriverResult(96), -1);
    EXPECT_EQ(TranslateDriverResult(0x10000 + 139), 53);
}

// A real window on this thread; events are raised on another thread, as a driver does.
struct EventWindow : ::testing::Test {
    HWND window = nullptr;
    void SetUp() override {
        window = CreateWindowA("STATIC", "target", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(window, nullptr);
        SetErrorTargetWindow(window);
        cameraLink.cameraLost = 0;
        cameraLink.eventHandler = CameraEventHandler;
    }
    void TearDown() override {
        SetErrorTargetWindow(nullptr);
        cameraLink.eventHandler = nullptr;
        cameraLink.cameraLost = 0;
        DestroyWindow(window);
    }
    void RaiseOnDriverThread(uint32_t code, uint32_t word) {
        std::thread([=] {
            uint32_t data[2] = {word, 0xAAAA};
            CameraEventFilter(code, data, 0x1234, 0);
        }).join();
    }
    std::vector<LPARAM> Reports() {
        std::vector<LPARAM> got;
        MSG msg;
        while (PeekMessageA(&msg, window, UWM_REPORT_ERROR, UWM_REPORT_ERROR, PM_REMOVE)) {
            EXPECT_EQ(msg.wParam, 0u);
            got.push_back(msg.lParam);
        }
        return got;
    }
};

TEST_F(EventWindow, EveryReasonPostsItsMessage) {
    const struct {
        uint32_t reason;
        LPARAM message;
    } rows[] = {{1, IDS_MSG_POWER_LOW_BATTERY},   {2, IDS_MSG_DISCONNECT_MODE_SWITCH},
                {4, IDS_MSG_POWER_BATTERY_COVER}, {5, IDS_MSG_POWER_IDLE},
                {13, IDS_MSG_CONNECTION_PROBLEM}, {0, IDS_MSG_INTERNAL_ERROR},
                {6, IDS_MSG_INTERNAL_ERROR},      {12, IDS_MSG_INTERNAL_ERROR},
                {14, IDS_MSG_INTERNAL_ERROR},     {0xFFFF, IDS_MSG_INTERNAL_ERROR}};
    for (const auto& row : rows) {
        RaiseOnDriverThread(0x40000 | row.reason, 0);
        EXPECT_EQ(Reports(), std::vector<LPARAM>{row.message}) << "reason " << row.reason;
    }
    EXPECT_EQ(cameraLink.cameraLost, 1);
}

TEST_F(EventWindow, CardCoverReportsOnlyWithAZeroDataWord) {
    RaiseOnDriverThread(0x40003, 0);
    EXPECT_EQ(Reports(), std::vector<LPARAM>{IDS_MSG_DISCONNECT_CARD_COVER});
    cameraLink.cameraLost = 0;
    RaiseOnDriverThread(0x40003, 5);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(cameraLink.cameraLost, 1) << "the camera is lost even when nothing is shown";
}

TEST_F(EventWindow, IgnoredBitAndOtherClassesChangeNothing) {
    RaiseOnDriverThread(0x8000000 | 0x40001, 0);
    RaiseOnDriverThread(0x30001, 0);
    RaiseOnDriverThread(0x50001, 0);
    RaiseOnDriverThread(0x1, 0);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(cameraLink.cameraLost, 0);
}

TEST_F(EventWindow, TwoEventsInARowPostTwoReports) {
    RaiseOnDriverThread(0x40001, 0);
    RaiseOnDriverThread(0x40001, 0);
    EXPECT_EQ(Reports(),
              (std::vector<LPARAM>{IDS_MSG_POWER_LOW_BATTERY, IDS_MSG_POWER_LOW_BATTERY}));
    EXPECT_EQ(cameraLink.cameraLost, 1);
}

TEST_F(EventWindow, AQueuedReportIsPreferredToAFailuresOwnMessage) {
    EXPECT_EQ(PreferQueuedReport(IDS_MSG_TRANSMISSION_ERROR), IDS_MSG_TRANSMISSION_ERROR);
    RaiseOnDriverThread(0x40001, 0);
    RaiseOnDriverThread(0x4000D, 0);
    EXPECT_EQ(PreferQueuedReport(IDS_MSG_TRANSMISSION_ERROR), IDS_MSG_POWER_LOW_BATTERY);
    EXPECT_TRUE(Reports().empty()) << "every queued report is taken";
}

TEST_F(EventWindow, WithoutAHandlerTheFilterDropsEvents) {
    cameraLink.eventHandler = nullptr;
    RaiseOnDriverThread(0x40001, 0);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(cameraLink.cameraLost, 0);
}

TEST_F(EventWindow, NoTargetWindowReachesNoWindow) {
    SetErrorTargetWindow(nullptr);
    RaiseOnDriverThread(0x40002, 0);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(cameraLink.cameraLost, 1);
}

} // namespace
