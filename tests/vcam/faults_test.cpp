// The profile's faults: response codes, power-down and store-removed events, dropped
// connections, corrupt read-backs and delays, at an operation or after a number of bytes;
// what stays of an upload they cut short; the pace of uploads.
#include "vcam_fixture.h"

#include <set>

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

TEST(FaultsTest, RescanAnnouncesWhatChangedOnTheCard) {
    TempFolder folder;
    folder.Write("gone.jpg", Bytes(5, 'g'));
    CameraSession s(WithFaults("fault.rescan.operation = GetStorageInfo\n"), folder.str());
    const uint32_t gone = s.HandleOf("gone.jpg");
    ASSERT_NE(gone, 0u);
    std::filesystem::remove(folder.path / "gone.jpg");
    folder.Write("new.jpg", Bytes(5, 'n'));
    StorageInfo info;
    EXPECT_TRUE(s.host->GetStorageInfo(kStorageId, info).ok());
    ASSERT_TRUE(s.WaitForEvent(EC_ObjectAdded) && s.WaitForEvent(EC_ObjectRemoved));
    EXPECT_EQ(s.EventOf(EC_ObjectAdded).params, (std::vector<uint32_t>{s.HandleOf("new.jpg")}));
    EXPECT_EQ(s.EventOf(EC_ObjectRemoved).params, (std::vector<uint32_t>{gone}));
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

TEST(FaultsTest, IncompleteObjectsAreKeptWhenTheProfileSaysSo) {
    const Bytes data = Pattern(500000, 3);
    struct {
        const char* faults;
        size_t sent; // bytes the initiator announces in its Start Data
        bool failSource;
    } rows[] = {
        {"", 300000, false},                                      // a short data phase
        {"", 500000, true},                                       // cancelled by the initiator
        {"fault.response.after_bytes = 150000\n", 500000, false}, // refused midway
        {"fault.drop.after_bytes = 150000\n", 500000, false},
        {"fault.power_down.after_bytes = 150000\n", 500000, false},
    };
    for (auto& row : rows) {
        TempFolder folder;
        Profile p = WithFaults(std::string(row.faults) + "card.keep_incomplete = yes\n");
        Card card(folder.str(), p.capacity, p.freeSpace);
        {
            CameraSession s(p, card);
            ASSERT_TRUE(s.SendInfo("fw.bin", 500000).ok());
            size_t offset = 0;
            DataOut out;
            out.size = row.sent;
            out.read = [&](uint8_t* buffer, size_t count) {
                if (row.failSource && offset >= 200000)
                    return false; // the initiator gives up and cancels
                std::copy(data.begin() + offset, data.begin() + offset + count, buffer);
                offset += count;
                return true;
            };
            EXPECT_FALSE(s.host->SendObject(out).ok()) << row.faults;
        }
        Bytes kept = folder.Read("fw.bin");
        ASSERT_FALSE(kept.empty()) << row.faults;
        ASSERT_LT(kept.size(), data.size()) << row.faults;
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), data.begin())) << row.faults;

        CameraSession after(Profile(), card); // the same card, as the server keeps it
        uint32_t handle = after.HandleOf("fw.bin");
        ObjectInfo info;
        ASSERT_TRUE(after.host->GetObjectInfo(handle, info).ok()) << row.faults;
        EXPECT_EQ(info.objectCompressedSize, 500000u) << "the size that was announced";
        Bytes got;
        ASSERT_TRUE(after.host->TransactIn(OC_GetObject, {handle}, got, 1 << 20).ok());
        EXPECT_EQ(got, kept) << "what the file holds";
        EXPECT_EQ(after.SendInfo("fw.bin", 500000).code, RC_ObjectWriteProtected);
        EXPECT_TRUE(after.host->Transact(OC_DeleteObject, {handle, 0}).ok());
        EXPECT_TRUE(after.Upload("fw.bin", data).ok()) << "sent again once deleted";
        EXPECT_EQ(folder.Read("fw.bin"), data);
    }
}

TEST(FaultsTest, CorruptReadBack) {
    TempFolder folder;
    const Bytes data = Pattern(200000, 5);
    folder.Write("fw.bin", data);
    folder.Write("short.bin", Bytes(3, 's'));
    CameraSession s(WithFaults("fault.corrupt_read.occurrence = 2\n"
                               "fault.corrupt_read.offset = 150000\n"),
                    folder.str());
    uint32_t handle = s.HandleOf("fw.bin");
    std::vector<Bytes> reads(3);
    for (Bytes& got : reads)
        ASSERT_TRUE(s.host->TransactIn(OC_GetObject, {handle}, got, 1 << 20).ok());
    EXPECT_EQ(reads[0], data);
    ASSERT_EQ(reads[1].size(), data.size());
    Bytes expected = data;
    expected[150000] ^= 0xFF;
    EXPECT_EQ(reads[1], expected) << "one byte of the second read is wrong";
    EXPECT_EQ(reads[2], data);
    EXPECT_EQ(folder.Read("fw.bin"), data) << "the card itself is whole";

    CameraSession every(WithFaults("fault.corrupt_read.offset = 1M\n"), folder.str());
    Bytes got;
    ASSERT_TRUE(every.host->TransactIn(OC_GetObject, {every.HandleOf("short.bin")}, got, 16).ok());
    EXPECT_EQ(got, (Bytes{'s', 's', 's' ^ 0xFF})) << "past the end: the last byte";
}

TEST(FaultsTest, APacedUploadCanBeWatchedGrowing) {
    TempFolder folder;
    CameraSession s(WithFaults("pace.bytes_per_second = 400K\n"), folder.str());
    const Bytes data = Pattern(400 * 1024, 9);
    std::atomic<bool> done{false};
    std::set<uintmax_t> sizes;
    std::thread watcher([&] {
        while (!done) {
            std::error_code error;
            for (fs::directory_iterator it(folder.path, error), end; !error && it != end;
                 it.increment(error)) {
                uintmax_t size = it->file_size(error);
                if (!error && size > 0 && size < data.size())
                    sizes.insert(size);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_TRUE(s.Upload("fw.bin", data).ok());
    done = true;
    watcher.join();
    EXPECT_GE(sizes.size(), 3u) << "the file grows in steps a progress bar can follow";
    EXPECT_EQ(folder.Read("fw.bin"), data);
}
