// The vcam server over TCP: sessions one after another on one card, one at a time, event
// connections matched by their number, and a prompt stop.
#include "vcam_fixture.h"

#include "vcam/server.h"

using namespace ptp;
using namespace vcam;
using namespace vcamtest;

TEST(ServerTest, ServesSessionsOneAfterAnotherAndStops) {
    TempFolder folder;
    Profile profile;
    Card card(folder.str(), profile.capacity, profile.freeSpace);
    Server server(profile, card);
    ASSERT_EQ(server.Listen("127.0.0.1", 0), Status::Ok);
    ASSERT_NE(server.Port(), 0);
    std::thread running([&] { server.Run(); });

    for (int round = 0; round < 2; ++round) {
        Initiator host;
        ASSERT_TRUE(host.ConnectTcp("127.0.0.1", server.Port(), 1000).ok()) << round;
        ASSERT_TRUE(host.OpenSession().ok());
        std::string name = "file" + std::to_string(round) + ".bin";
        Bytes data = Pattern(200000, round);
        ObjectInfo info;
        info.filename = name;
        info.objectCompressedSize = static_cast<uint32_t>(data.size());
        ASSERT_TRUE(host.SendObjectInfo(kStorageId, kRootParent, info).ok());
        size_t offset = 0;
        ASSERT_TRUE(host.SendObject(FromBytes(data, &offset)).ok());
        std::vector<uint32_t> handles;
        ASSERT_TRUE(host.GetObjectHandles(kStorageId, 0, kRootParent, handles).ok());
        EXPECT_EQ(handles.size(), size_t(round + 1));
        EXPECT_TRUE(host.CloseSession().ok());
        host.Shutdown();
        EXPECT_EQ(folder.Read(name), data);
    }

    auto start = std::chrono::steady_clock::now();
    server.Stop();
    running.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ServerTest, StopEndsAnOpenSession) {
    TempFolder folder;
    Profile profile;
    Card card(folder.str(), profile.capacity, profile.freeSpace);
    Server server(profile, card);
    ASSERT_EQ(server.Listen("127.0.0.1", 0), Status::Ok);
    std::thread running([&] { server.Run(); });
    Initiator host;
    ASSERT_TRUE(host.ConnectTcp("127.0.0.1", server.Port(), 1000).ok());
    ASSERT_TRUE(host.OpenSession().ok());
    server.Stop();
    running.join();
    std::vector<uint32_t> ids;
    EXPECT_NE(host.GetStorageIDs(ids).status, Status::Ok);
}

namespace {

struct RunningServer : DefaultCard {
    Server server{profile, card};
    std::thread running;

    RunningServer() {
        EXPECT_EQ(server.Listen("127.0.0.1", 0), Status::Ok);
        running = std::thread([this] { server.Run(); });
    }
    ~RunningServer() {
        server.Stop();
        running.join();
    }
    ConnectionPtr Connect() { return ConnectTcp("127.0.0.1", server.Port(), 1000, nullptr); }
};

Packet Exchange(Connection& connection, const Bytes& packet) {
    Packet reply;
    connection.Send(packet);
    EXPECT_EQ(ReadPacket(connection, reply, 3000), Status::Ok);
    return reply;
}

} // namespace

TEST(ServerTest, OneSessionAtATime) {
    RunningServer s;
    Initiator first;
    ASSERT_TRUE(first.ConnectTcp("127.0.0.1", s.server.Port(), 1000).ok());
    ASSERT_TRUE(first.OpenSession().ok());
    Initiator second;
    ptp::Result busy = second.ConnectTcp("127.0.0.1", s.server.Port(), 1000);
    EXPECT_EQ(busy.status, Status::Refused);
    EXPECT_EQ(busy.params, (std::vector<uint32_t>{IFR_Busy}));
    std::vector<uint32_t> ids;
    EXPECT_TRUE(first.GetStorageIDs(ids).ok()) << "the first goes on undisturbed";
    first.Shutdown();
    Initiator third;
    EXPECT_TRUE(third.ConnectTcp("127.0.0.1", s.server.Port(), 1000).ok())
        << "served as soon as the first has left";
}

TEST(ServerTest, EventConnectionsAreMatchedByTheirNumber) {
    RunningServer s;
    ConnectionPtr command = s.Connect();
    ASSERT_TRUE(command);
    Bytes out;
    InitCommandRequest request;
    EncodeInitCommandRequest(request, out);
    Packet ack = Exchange(*command, out);
    InitCommandAck decoded;
    ASSERT_TRUE(DecodeInitCommandAck(ack.body, decoded));

    ConnectionPtr stranger = s.Connect(), event = s.Connect();
    EncodeInitEventRequest({decoded.connectionNumber + 1}, out);
    Packet refused = Exchange(*stranger, out);
    InitFail reason;
    EXPECT_EQ(refused.type, PT_InitFail);
    EXPECT_TRUE(DecodeInitFail(refused.body, reason));
    EXPECT_EQ(reason.reason, IFR_RejectedInitiator);
    EncodeInitEventRequest({decoded.connectionNumber}, out);
    EXPECT_EQ(Exchange(*event, out).type, PT_InitEventAck) << "the right one is still awaited";
}
