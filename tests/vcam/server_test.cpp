// The vcam server over TCP: sessions one after another on one card, and a prompt stop.
// Hostile initiators attack it in tests/interop/hostile_initiators.py.
#include "vcam_fixture.h"

#include "vcam/server.h"

using namespace ptp;
using namespace vcam;
using namespace vcamtest;

// The server's loop on a thread of its own, stopped and joined however the test ends: a failed
// assertion must not leave the thread to end the program.
struct Running {
    explicit Running(Server& server) : server(server), thread([&server] { server.Run(); }) {}
    ~Running() { Stop(); }
    void Stop() {
        server.Stop();
        if (thread.joinable())
            thread.join();
    }
    Server& server;
    std::thread thread;
};

TEST(ServerTest, ServesSessionsOneAfterAnotherAndStops) {
    TempFolder folder;
    Profile profile;
    Card card(folder.str(), profile.capacity, profile.freeSpace);
    Server server(profile, card);
    ASSERT_EQ(server.Listen("127.0.0.1", 0), Status::Ok);
    ASSERT_NE(server.Port(), 0);
    Running running(server);

    for (int round = 0; round < 2; ++round) {
        Initiator host;
        ASSERT_TRUE(host.Attach(PtpIpOverTcp(PtpIpConfig(), "127.0.0.1", server.Port(), 1000)).ok())
            << round;
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
    running.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ServerTest, StopEndsAnOpenSession) {
    TempFolder folder;
    Profile profile;
    Card card(folder.str(), profile.capacity, profile.freeSpace);
    Server server(profile, card);
    ASSERT_EQ(server.Listen("127.0.0.1", 0), Status::Ok);
    Running running(server);
    Initiator host;
    ASSERT_TRUE(host.Attach(PtpIpOverTcp(PtpIpConfig(), "127.0.0.1", server.Port(), 1000)).ok());
    ASSERT_TRUE(host.OpenSession().ok());
    running.Stop();
    std::vector<uint32_t> ids;
    EXPECT_NE(host.GetStorageIDs(ids).status, Status::Ok);
}

// A greeting that has begun but trickles does not hold Stop until the handshake deadline.
TEST(ServerTest, StopEndsAGreetingCaughtMidPacket) {
    TempFolder folder;
    Profile profile;
    Card card(folder.str(), profile.capacity, profile.freeSpace);
    Server server(profile, card);
    server.SetHandshakeTimeout(60000);
    ASSERT_EQ(server.Listen("127.0.0.1", 0), Status::Ok);
    Running running(server);
    Status status = Status::Ok;
    ConnectionPtr peer = ConnectTcp("127.0.0.1", server.Port(), 1000, &status);
    ASSERT_EQ(status, Status::Ok);
    const Bytes begun = {40, 0, 0};
    ASSERT_EQ(peer->Send(begun), Status::Ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the greeter holds the bytes
    auto start = std::chrono::steady_clock::now();
    running.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
