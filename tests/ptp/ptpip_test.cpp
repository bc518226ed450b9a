// PTP/IP packets: known byte vectors, decoders on bad input, and chunked data phases.
#include <gtest/gtest.h>

#include <thread>

#include "ptp/bytes.h"
#include "ptp/ptpip.h"
#include "ptp/ptpip_framing.h"

using namespace ptp;

using Bytes = std::vector<uint8_t>;

namespace {

Bytes BodyOf(const Bytes& packet) {
    return Bytes(packet.begin() + 8, packet.end());
}

// Counts the writes made through it.
struct CountedWrites : Connection {
    explicit CountedWrites(Connection& to) : to(to) {}
    using Connection::Send;
    Status Send(const uint8_t* data, size_t size, const Deadline& deadline) override {
        ++writes;
        return to.Send(data, size, deadline);
    }
    Status ReceiveSome(uint8_t* buffer, size_t size, size_t& received, int timeoutMs) override {
        return to.ReceiveSome(buffer, size, received, timeoutMs);
    }
    void Shutdown() override { to.Shutdown(); }
    bool PeerClosed() override { return to.PeerClosed(); }
    Connection& to;
    int writes = 0;
};

} // namespace

TEST(PtpIpPackets, OpenSessionKnownBytes) {
    OperationRequest request;
    request.dataPhase = DP_NoDataOrDataIn;
    request.op.code = OC_OpenSession;
    request.op.transactionId = 0;
    request.op.params = {1};
    Bytes out;
    ASSERT_TRUE(EncodeOperationRequest(request, out));
    EXPECT_EQ(out, (Bytes{0x16, 0,    0,    0, 0x06, 0, 0, 0,    0x01, 0, 0,
                          0,    0x02, 0x10, 0, 0,    0, 0, 0x01, 0,    0, 0}));
    OperationRequest back;
    ASSERT_TRUE(DecodeOperationRequest(BodyOf(out), back));
    EXPECT_EQ(back.op.code, OC_OpenSession);
    EXPECT_EQ(back.op.params, request.op.params);
}

TEST(PtpIpPackets, ResponseAndStartDataKnownBytes) {
    Operation ok;
    ok.code = RC_OK;
    Bytes out;
    ASSERT_TRUE(EncodeOperationResponse(ok, out));
    EXPECT_EQ(out, (Bytes{0x0E, 0, 0, 0, 0x07, 0, 0, 0, 0x01, 0x20, 0, 0, 0, 0}));
    EncodeStartData({6, 70}, out);
    EXPECT_EQ(out, (Bytes{0x14, 0, 0, 0, 0x09, 0, 0, 0, 0x06, 0, 0, 0, 0x46, 0, 0, 0, 0, 0, 0, 0}));
    StartData start;
    ASSERT_TRUE(DecodeStartData(BodyOf(out), start));
    EXPECT_EQ(start.totalLength, 70u);
}

TEST(PtpIpPackets, InitCommandRoundTrip) {
    InitCommandRequest request;
    for (size_t i = 0; i < 16; ++i)
        request.guid[i] = static_cast<uint8_t>(i);
    request.friendlyName = "vm";
    Bytes out;
    ASSERT_TRUE(EncodeInitCommandRequest(request, out));
    ASSERT_EQ(out.size(), 28u + 2 * 3);
    EXPECT_EQ(GetU32(&out[4]), PT_InitCommandRequest);
    EXPECT_EQ(out[24], 'v');
    EXPECT_EQ(GetU16(&out[28]), 0) << "terminated FriendlyName";
    EXPECT_EQ(GetU32(&out[30]), kPtpIpVersion);
    InitCommandRequest back;
    ASSERT_TRUE(DecodeInitCommandRequest(BodyOf(out), back));
    EXPECT_EQ(back.friendlyName, "vm");
    EXPECT_EQ(back.guid, request.guid);

    InitCommandAck ack;
    ack.connectionNumber = 3;
    ack.friendlyName = "Tarvo Camera X1";
    ASSERT_TRUE(EncodeInitCommandAck(ack, out));
    EXPECT_EQ(out.size(), 32u + 2 * 16);
    InitCommandAck ackBack;
    ASSERT_TRUE(DecodeInitCommandAck(BodyOf(out), ackBack));
    EXPECT_EQ(ackBack.connectionNumber, 3u);
    EXPECT_EQ(ackBack.friendlyName, "Tarvo Camera X1");
}

TEST(PtpIpPackets, SmallPacketsKnownBytes) {
    Bytes out;
    EncodeInitEventRequest({5}, out);
    EXPECT_EQ(out, (Bytes{12, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0}));
    EncodeInitEventAck(out);
    EXPECT_EQ(out, (Bytes{8, 0, 0, 0, 4, 0, 0, 0}));
    EncodeInitFail({IFR_Busy}, out);
    EXPECT_EQ(out, (Bytes{12, 0, 0, 0, 5, 0, 0, 0, 2, 0, 0, 0}));
    EncodeCancel(9, out);
    EXPECT_EQ(out, (Bytes{12, 0, 0, 0, 0x0B, 0, 0, 0, 9, 0, 0, 0}));
    EncodeEmptyPacket(PT_ProbeRequest, out);
    EXPECT_EQ(out, (Bytes{8, 0, 0, 0, 0x0D, 0, 0, 0}));
    const uint8_t payload[] = {0xAA, 0xBB};
    EncodeDataPacket(PT_EndData, 4, payload, 2, out);
    EXPECT_EQ(out, (Bytes{14, 0, 0, 0, 0x0C, 0, 0, 0, 4, 0, 0, 0, 0xAA, 0xBB}));
    DataChunk chunk;
    ASSERT_TRUE(DecodeDataChunk(BodyOf(out), chunk));
    EXPECT_EQ(chunk.transactionId, 4u);
    EXPECT_EQ(chunk.payloadSize, 2u);
    Operation event;
    event.code = EC_Vandrel_PowerDown;
    event.transactionId = 2;
    event.params = {1, 0xABCD};
    ASSERT_TRUE(EncodeEvent(event, out));
    EXPECT_EQ(out, (Bytes{22, 0, 0, 0, 8, 0, 0, 0,    0x01, 0xC0, 2,
                          0,  0, 0, 1, 0, 0, 0, 0xCD, 0xAB, 0,    0}));
}

TEST(PtpIpPackets, DecodersRefuseBadBodies) {
    OperationRequest request;
    EXPECT_FALSE(DecodeOperationRequest(Bytes(9), request)) << "shorter than the fixed part";
    EXPECT_FALSE(DecodeOperationRequest(Bytes(10 + 3), request)) << "partial parameter";
    EXPECT_FALSE(DecodeOperationRequest(Bytes(10 + 24), request)) << "six parameters";
    Operation op;
    EXPECT_FALSE(DecodeOperationResponse(Bytes(5), op));
    StartData start;
    EXPECT_FALSE(DecodeStartData(Bytes(11), start));
    EXPECT_FALSE(DecodeStartData(Bytes(13), start));
    InitCommandRequest init;
    EXPECT_FALSE(DecodeInitCommandRequest(Bytes(16 + 3 + 4), init)) << "odd-sized name";
    EXPECT_FALSE(DecodeInitCommandRequest(Bytes(16 + 4), init)) << "no name at all";
    InitEventRequest eventRequest;
    EXPECT_FALSE(DecodeInitEventRequest(Bytes(3), eventRequest));
    DataChunk chunk;
    EXPECT_FALSE(DecodeDataChunk(Bytes(3), chunk));
}

TEST(PtpIpPackets, WholePacketLengthChecks) {
    Packet packet;
    Bytes good = {12, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0};
    EXPECT_TRUE(DecodePacket(good.data(), good.size(), packet));
    Bytes shortLength = {7, 0, 0, 0, 3, 0, 0, 0};
    EXPECT_FALSE(DecodePacket(shortLength.data(), shortLength.size(), packet));
    EXPECT_FALSE(DecodePacket(good.data(), good.size() - 1, packet));
    Bytes huge(8 + kMaxControlBody + 1);
    PutU32(huge.data(), static_cast<uint32_t>(huge.size()));
    PutU32(huge.data() + 4, PT_Event);
    EXPECT_FALSE(DecodePacket(huge.data(), huge.size(), packet)) << "control packet too large";
    PutU32(huge.data() + 4, PT_Data);
    EXPECT_TRUE(DecodePacket(huge.data(), huge.size(), packet)) << "data may be large";
}

TEST(PtpIpFraming, ReadPacketRefusesBadLengths) {
    auto [a, b] = MakePipePair();
    Bytes bad = {4, 0, 0, 0, 6, 0, 0, 0};
    ASSERT_EQ(a->Send(bad), Status::Ok);
    Packet packet;
    EXPECT_EQ(ReadPacket(*b, packet, Deadline(100)), Status::Malformed);
    Bytes big = {0xFF, 0xFF, 0xFF, 0xFF, 6, 0, 0, 0};
    ASSERT_EQ(a->Send(big), Status::Ok);
    EXPECT_EQ(ReadPacket(*b, packet, Deadline(100)), Status::Malformed) << "4 GiB control packet";
    bool idle = false;
    EXPECT_EQ(ReadPacket(*b, packet, Deadline(20), &idle), Status::Timeout);
    EXPECT_TRUE(idle);
}

TEST(PtpIpFraming, DataPhaseSplitsLikeLibgphoto2) {
    auto [a, b] = MakePipePair();
    Bytes payload(131072);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    size_t offset = 0;
    std::vector<size_t> requests;
    DataSource source = [&](uint8_t* buffer, size_t count) {
        requests.push_back(count);
        std::copy(payload.begin() + offset, payload.begin() + offset + count, buffer);
        offset += count;
        return true;
    };
    std::thread sender([&] {
        EXPECT_EQ(SendDataPhase(*a, 5, payload.size(), source, 65536, Deadline(1000)), Status::Ok);
    });
    std::vector<uint32_t> types;
    Packet packet;
    Bytes received;
    PacketHeader header;
    ASSERT_EQ(ReadHeader(*b, header, Deadline(1000)), Status::Ok);
    ASSERT_EQ(header.type, PT_StartData);
    ASSERT_EQ(ReadBody(*b, header, 64, packet.body, Deadline(1000)), Status::Ok);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ReadHeader(*b, header, Deadline(1000)), Status::Ok);
        types.push_back(header.type);
        ASSERT_EQ(ReadBody(*b, header, 1 << 20, packet.body, Deadline(1000)), Status::Ok);
        received.insert(received.end(), packet.body.begin() + 4, packet.body.end());
    }
    sender.join();
    EXPECT_EQ(types, (std::vector<uint32_t>{PT_Data, PT_EndData}));
    EXPECT_EQ(requests, (std::vector<size_t>{65536, 65536})) << "pulled in chunks";
    EXPECT_EQ(received, payload);
}

TEST(PtpIpFraming, EmptyDataPhaseIsStartAndEmptyEndData) {
    auto [a, b] = MakePipePair();
    ASSERT_EQ(SendDataPhase(*a, 1, 0, nullptr, 100, Deadline(100)), Status::Ok);
    Packet packet;
    ASSERT_EQ(ReadPacket(*b, packet, Deadline(100)), Status::Ok);
    EXPECT_EQ(packet.type, PT_StartData);
    ASSERT_EQ(ReadPacket(*b, packet, Deadline(100)), Status::Ok);
    EXPECT_EQ(packet.type, PT_EndData);
    EXPECT_EQ(packet.body.size(), 4u);
}

// A phase that fits one packet leaves in one write, behind the request held back for it.
TEST(PtpIpFraming, AShortPhaseLeavesInOneWriteWithItsRequest) {
    auto [a, b] = MakePipePair();
    CountedWrites counted(*a);
    OperationRequest request;
    request.dataPhase = DP_DataOut;
    request.op = {0x100D, 3, {}};
    Bytes head;
    ASSERT_TRUE(EncodeOperationRequest(request, head));
    const Bytes payload(100, 9);
    DataSource source = [&](uint8_t* buffer, size_t count) {
        std::copy(payload.begin(), payload.begin() + count, buffer);
        return true;
    };
    ASSERT_EQ(SendDataPhase(counted, 3, payload.size(), source, 65536, Deadline(1000), head),
              Status::Ok);
    EXPECT_EQ(counted.writes, 1);
    Packet packet;
    for (uint32_t type : {PT_OperationRequest, PT_StartData, PT_EndData}) {
        ASSERT_EQ(ReadPacket(*b, packet, Deadline(100)), Status::Ok);
        EXPECT_EQ(packet.type, type);
    }
    EXPECT_EQ(Bytes(packet.body.begin() + 4, packet.body.end()), payload);
}

TEST(PtpIpFraming, ReceiveDataPhaseStreamsAndChecks) {
    auto send = [](Connection& c, uint32_t type, uint32_t tid, size_t n) {
        Bytes payload(n, 0x5A), out;
        EncodeDataPacket(type, tid, payload.data(), n, out);
        c.Send(out);
    };
    uint64_t got = 0;
    DataSink sink = [&](const uint8_t*, size_t n) {
        got += n;
        return true;
    };
    {
        auto [a, b] = MakePipePair();
        send(*a, PT_Data, 3, 100000);
        send(*a, PT_EndData, 3, 5);
        DataPhaseResult r = ReceiveDataPhase(*b, 3, 100005, sink, Deadline(500));
        EXPECT_EQ(r.status, Status::Ok);
        EXPECT_EQ(got, 100005u);
    }
    {
        auto [a, b] = MakePipePair();
        send(*a, PT_Data, 4, 10);
        EXPECT_EQ(ReceiveDataPhase(*b, 3, 10, sink, Deadline(500)).status, Status::Malformed)
            << "wrong ID";
    }
    {
        auto [a, b] = MakePipePair();
        send(*a, PT_Data, 3, 11);
        EXPECT_EQ(ReceiveDataPhase(*b, 3, 10, sink, Deadline(500)).status, Status::Malformed)
            << "too much";
    }
    {
        auto [a, b] = MakePipePair();
        send(*a, PT_EndData, 3, 4);
        EXPECT_EQ(ReceiveDataPhase(*b, 3, 10, sink, Deadline(500)).status, Status::Malformed)
            << "ends early";
    }
    {
        auto [a, b] = MakePipePair();
        Bytes cancel;
        EncodeCancel(3, cancel);
        send(*a, PT_Data, 3, 4);
        a->Send(cancel);
        DataPhaseResult r = ReceiveDataPhase(*b, 3, 10, sink, Deadline(500));
        EXPECT_EQ(r.status, Status::Ok);
        EXPECT_TRUE(r.cancelled);
        EXPECT_EQ(r.received, 4u);
    }
    {
        auto [a, b] = MakePipePair();
        send(*a, PT_Data, 3, 4);
        a->Shutdown();
        EXPECT_EQ(ReceiveDataPhase(*b, 3, 10, sink, Deadline(500)).status, Status::Closed);
    }
    {
        auto [a, b] = MakePipePair();
        EXPECT_EQ(ReceiveDataPhase(*b, 3, 10, sink, Deadline(30)).status, Status::Timeout);
    }
}
