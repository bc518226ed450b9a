// Connections: the in-memory pipe pair and TCP over loopback behave alike for the session.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ptp/connection.h"

using namespace ptp;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

// A connected TCP pair over loopback.
std::pair<ConnectionPtr, ConnectionPtr> TcpPair() {
    Status status;
    auto listener = TcpListener::Listen("127.0.0.1", 0, &status);
    EXPECT_EQ(status, Status::Ok);
    ConnectionPtr client = ConnectTcp("127.0.0.1", listener->Port(), 1000, &status);
    EXPECT_EQ(status, Status::Ok);
    ConnectionPtr server = listener->Accept(1000, &status);
    EXPECT_EQ(status, Status::Ok);
    return {std::move(client), std::move(server)};
}

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

class ConnectionTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        auto pair = GetParam() ? TcpPair() : MakePipePair(4096);
        a = std::move(pair.first);
        b = std::move(pair.second);
        ASSERT_TRUE(a && b);
    }
    ConnectionPtr a, b;
};

TEST_P(ConnectionTest, BytesArriveInOrder) {
    Bytes big(300000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i % 251);
    std::thread writer([&] { EXPECT_EQ(a->Send(big), Status::Ok); });
    Bytes got(big.size());
    EXPECT_EQ(b->Receive(got.data(), got.size(), Deadline(2000)), Status::Ok);
    writer.join();
    EXPECT_EQ(got, big);
}

TEST_P(ConnectionTest, ReceiveTimesOut) {
    uint8_t byte;
    size_t received = 99;
    auto start = Clock::now();
    EXPECT_EQ(b->Receive(&byte, 1, Deadline(60), &received), Status::Timeout);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(MillisecondsSince(start), 50);
}

TEST_P(ConnectionTest, PeerCloseIsSeenAfterTheLastBytes) {
    Bytes two = {1, 2};
    ASSERT_EQ(a->Send(two), Status::Ok);
    a->Shutdown();
    Bytes got(2);
    if (!GetParam()) { // TCP may or may not deliver bytes queued before a local shutdown
        EXPECT_EQ(b->Receive(got.data(), 2, Deadline(500)), Status::Ok);
        EXPECT_EQ(got, two);
    }
    uint8_t byte;
    Status s;
    do {
        s = b->Receive(&byte, 1, Deadline(500));
    } while (s == Status::Ok);
    EXPECT_EQ(s, Status::Closed);
    EXPECT_TRUE(b->PeerClosed());
    if (!GetParam()) { // TCP accepts a first send into its buffer before the reset shows
        EXPECT_EQ(b->Send(two), Status::Closed);
    }
}

TEST_P(ConnectionTest, ShutdownUnblocksAPendingReceive) {
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        b->Shutdown();
    });
    uint8_t byte;
    auto start = Clock::now();
    EXPECT_EQ(b->Receive(&byte, 1, Deadline(5000)), Status::Closed);
    EXPECT_LT(MillisecondsSince(start), 2000);
    closer.join();
}

TEST_P(ConnectionTest, PeerClosedIsFalseWhileOpen) {
    EXPECT_FALSE(b->PeerClosed());
    Bytes one = {7};
    ASSERT_EQ(a->Send(one), Status::Ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(b->PeerClosed()) << "data pending is not a close";
    uint8_t byte = 0;
    EXPECT_EQ(b->Receive(&byte, 1, Deadline(100)), Status::Ok) << "PeerClosed consumed nothing";
    EXPECT_EQ(byte, 7);
}

TEST_P(ConnectionTest, SmallReadsKeepOrderAndATrickleMeetsTheDeadline) {
    Bytes sent(1000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 13);
    ASSERT_EQ(a->Send(sent), Status::Ok);
    Bytes got(sent.size());
    for (size_t at = 0; at < got.size(); at += 7) // header-sized reads, from the buffer
        ASSERT_EQ(b->Receive(&got[at], std::min<size_t>(7, got.size() - at), Deadline(1000)),
                  Status::Ok);
    EXPECT_EQ(got, sent);

    std::thread trickler([&] {
        Bytes one = {1};
        for (int i = 0; i < 20 && a->Send(one) == Status::Ok; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    auto start = Clock::now();
    EXPECT_EQ(b->Receive(got.data(), 100, Deadline(1000, 200, 0)), Status::Timeout)
        << "each byte came within the silence bound, the whole did not";
    EXPECT_LT(MillisecondsSince(start), 5000);
    trickler.join();
}

INSTANTIATE_TEST_SUITE_P(PipeAndTcp, ConnectionTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tcp" : "Pipe";
                         });

TEST(PipeTest, FullPipeMakesTheSenderWaitThenTimeOut) {
    auto [a, b] = MakePipePair(8);
    a->SetSendTimeout(50);
    Bytes nine(9, 1);
    EXPECT_EQ(a->Send(nine), Status::Timeout) << "nobody reads, 8 bytes of room";
}

TEST(TcpTest, ConnectToAClosedPortFails) {
    Status status;
    auto listener = TcpListener::Listen("127.0.0.1", 0, &status);
    uint16_t port = listener->Port();
    listener.reset();
    ConnectionPtr c = ConnectTcp("127.0.0.1", port, 1000, &status);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(status, Status::Error);
}

TEST(TcpTest, AcceptTimesOutAndCloseEndsIt) {
    Status status;
    auto listener = TcpListener::Listen("127.0.0.1", 0, &status);
    ASSERT_EQ(status, Status::Ok);
    EXPECT_NE(listener->Port(), 0);
    EXPECT_EQ(listener->Accept(30, &status), nullptr);
    EXPECT_EQ(status, Status::Timeout);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        listener->Close();
    });
    auto start = Clock::now();
    EXPECT_EQ(listener->Accept(5000, &status), nullptr);
    EXPECT_EQ(status, Status::Closed);
    EXPECT_LT(MillisecondsSince(start), 2000);
    closer.join();
}
