// The profile's faults: response codes, power-down and store-removed events, dropped
// connections and delays, at an operation or after a number of bytes.
#include "vcam_fixture.h"

using namespace ptp;
using namespace vcam;
using namespace vcamtest;

using Clock = std::chrono::steady_clock;

namespace {

Profile WithFaults(const std::string& ini) {
    Profile p;
    std::string error;
    EXPECT_TRUE(ParseProfile(ini, p, error)) << error;
    return p;
}

} // namespace

TEST(FaultsTest, ResponseCodeForAnOperation) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.response.operation = GetStorageInfo\n"
                               "fault.response.code = 0x2019\n"),
                    folder.str());
    StorageInfo info;
    EXPECT_EQ(s.host->GetStorageInfo(kStorageId, info).code, RC_DeviceBusy);
    EXPECT_EQ(s.host->GetStorageInfo(kStorageId, info).code, RC_DeviceBusy) << "every time";
    std::vector<uint32_t> ids;
    EXPECT_TRUE(s.host->GetStorageIDs(ids).ok()) << "other operations are unaffected";
}

TEST(FaultsTest, ResponseCodeOnlyForTheNthOccurrence) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.response.operation = SendObject\n"
                               "fault.response.occurrence = 2\n"
                               "fault.response.code = 0x2002\n"),
                    folder.str());
    ASSERT_TRUE(s.Upload("one.bin", Bytes(100, 1)).ok());
    EXPECT_EQ(s.Upload("two.bin", Bytes(100, 2)).code, RC_GeneralError);
    ASSERT_TRUE(s.Upload("three.bin", Bytes(100, 3)).ok()) << "the data phase was drained";
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"one.bin", "three.bin"}));
}

TEST(FaultsTest, PowerDownAtAnOperation) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.power_down.operation = GetStorageInfo\n"
                               "fault.power_down.reason = 2\n"
                               "fault.power_down.data = 0x1234\n"),
                    folder.str());
    StorageInfo info;
    ptp::Result result = s.host->GetStorageInfo(kStorageId, info);
    EXPECT_EQ(result.status, Status::Closed);
    ASSERT_TRUE(s.WaitForEvent(EC_Vandrel_PowerDown));
    EXPECT_EQ(s.EventOf(EC_Vandrel_PowerDown).params, (std::vector<uint32_t>{2, 0x1234}));
    EXPECT_TRUE(s.WaitForLoss());
    EXPECT_EQ(s.Stop(), Status::Closed);
}

TEST(FaultsTest, PowerDownWithoutDisconnectOnlySendsTheEvent) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.power_down.operation = GetStorageIDs\n"
                               "fault.power_down.disconnect = no\n"),
                    folder.str());
    std::vector<uint32_t> ids;
    EXPECT_TRUE(s.host->GetStorageIDs(ids).ok());
    ASSERT_TRUE(s.WaitForEvent(EC_Vandrel_PowerDown));
    EXPECT_EQ(s.EventOf(EC_Vandrel_PowerDown).params, (std::vector<uint32_t>{1, 0}));
}

TEST(FaultsTest, PowerDownAfterBytesLeavesNoFile) {
    TempFolder folder;
    folder.Write("old.bin", Bytes(7, 'o'));
    CameraSession s(WithFaults("fault.power_down.after_bytes = 300000\n"), folder.str());
    ptp::Result result = s.Upload("fw.bin", Pattern(1 << 20));
    EXPECT_NE(result.status, Status::Ok);
    ASSERT_TRUE(s.WaitForEvent(EC_Vandrel_PowerDown));
    s.Stop();
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"old.bin"})) << "no partial file";
    EXPECT_EQ(folder.Read("old.bin"), Bytes(7, 'o'));
}

TEST(FaultsTest, StoreRemovedAtAnOperation) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.store_removed.operation = GetStorageInfo\n"), folder.str());
    StorageInfo info;
    EXPECT_EQ(s.host->GetStorageInfo(kStorageId, info).code, RC_StoreNotAvailable);
    ASSERT_TRUE(s.WaitForEvent(EC_StoreRemoved));
    EXPECT_EQ(s.EventOf(EC_StoreRemoved).params, (std::vector<uint32_t>{kStorageId}));
    std::vector<uint32_t> ids{1};
    ASSERT_TRUE(s.host->GetStorageIDs(ids).ok());
    EXPECT_TRUE(ids.empty()) << "the card stays out";
}

TEST(FaultsTest, StoreRemovedDuringAnUpload) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.store_removed.after_bytes = 1000\n"), folder.str());
    EXPECT_EQ(s.Upload("fw.bin", Pattern(500000)).code, RC_StoreNotAvailable);
    ASSERT_TRUE(s.WaitForEvent(EC_StoreRemoved));
    EXPECT_TRUE(folder.List().empty());
}

TEST(FaultsTest, DroppedConnectionAtAnOperation) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.drop.operation = GetObjectHandles\n"), folder.str());
    std::vector<uint32_t> handles;
    EXPECT_EQ(s.host->GetObjectHandles(kStorageId, 0, 0, handles).status, Status::Closed);
    EXPECT_TRUE(s.WaitForLoss());
}

TEST(FaultsTest, DroppedConnectionAfterBytesLeavesNoFile) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.drop.after_bytes = 150000\n"), folder.str());
    ptp::Result result = s.Upload("fw.bin", Pattern(1 << 20));
    EXPECT_TRUE(result.status == Status::Closed || result.status == Status::Timeout)
        << StatusName(result.status);
    EXPECT_TRUE(s.WaitForLoss());
    EXPECT_EQ(s.Stop(), Status::Closed);
    EXPECT_TRUE(folder.List().empty());
}

TEST(FaultsTest, ByteFaultsCountAcrossObjects) {
    TempFolder folder;
    CameraSession s(WithFaults("fault.response.after_bytes = 150\n"
                               "fault.response.code = 0x2007\n"),
                    folder.str());
    ASSERT_TRUE(s.Upload("a.bin", Bytes(100, 1)).ok());
    EXPECT_EQ(s.Upload("b.bin", Bytes(100, 2)).code, RC_IncompleteTransfer);
    ASSERT_TRUE(s.Upload("c.bin", Bytes(100, 3)).ok()) << "fires once";
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"a.bin", "c.bin"}));
}

TEST(FaultsTest, DelayPerOperation) {
    TempFolder folder;
    CameraSession s(WithFaults("delay.ms = 300\ndelay.operation = GetStorageIDs\n"), folder.str());
    std::vector<uint32_t> ids;
    auto start = Clock::now();
    ASSERT_TRUE(s.host->GetStorageIDs(ids).ok());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));
    start = Clock::now();
    DeviceInfo info;
    ASSERT_TRUE(s.host->GetDeviceInfo(info).ok());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250)) << "only the chosen one";
}
