// The initiator's session state machine against a scripted responder over in-memory pipes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "ptp/initiator.h"
#include "ptp/ptpip.h"
#include "ptp/ptpip_framing.h"
#include "ptp/ptpip_transport.h"

using namespace ptp;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

// The camera's end of the two pipes, driven packet by packet by a test's script.
struct ScriptedCamera {
    ConnectionPtr command, event;

    Packet Read(Connection& c) {
        Packet p;
        EXPECT_EQ(ReadPacket(c, p, Deadline(2000)), Status::Ok);
        return p;
    }
    void Handshake() {
        Packet p = Read(*command);
        EXPECT_EQ(p.type, PT_InitCommandRequest);
        InitCommandAck ack;
        ack.connectionNumber = 7;
        ack.friendlyName = "Scripted";
        Bytes out;
        EncodeInitCommandAck(ack, out);
        command->Send(out);
        p = Read(*event);
        EXPECT_EQ(p.type, PT_InitEventRequest);
        InitEventRequest request;
        EXPECT_TRUE(DecodeInitEventRequest(p.body, request));
        EXPECT_EQ(request.connectionNumber, 7u);
        EncodeInitEventAck(out);
        event->Send(out);
    }
    OperationRequest Request() {
        Packet p = Read(*command);
        OperationRequest request;
        EXPECT_EQ(p.type, PT_OperationRequest);
        EXPECT_TRUE(DecodeOperationRequest(p.body, request));
        return request;
    }
    void Respond(uint16_t code, uint32_t tid, std::vector<uint32_t> params = {}) {
        Operation response;
        response.code = code;
        response.transactionId = tid;
        response.params = std::move(params);
        Bytes out;
        EncodeOperationResponse(response, out);
        command->Send(out);
    }
    void SendData(uint32_t tid, const Bytes& data) {
        size_t offset = 0;
        SendDataPhase(
            *command, tid, data.size(),
            [&](uint8_t* buffer, size_t count) {
                std::copy(data.begin() + offset, data.begin() + offset + count, buffer);
                offset += count;
                return true;
            },
            100, Deadline(10000));
    }
    void SendEvent(uint16_t code, std::vector<uint32_t> params) {
        Operation e;
        e.code = code;
        e.params = std::move(params);
        Bytes out;
        EncodeEvent(e, out);
        event->Send(out);
    }
    // Sends `bytes` in pieces of `piece` bytes every intervalMs, until the host closes.
    void Trickle(const Bytes& bytes, size_t piece, int intervalMs) {
        for (size_t at = 0; at < bytes.size(); at += piece) {
            if (command->Send(bytes.data() + at, std::min(piece, bytes.size() - at)) != Status::Ok)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        }
    }
    // Sends `packet` every intervalMs until the host closes.
    void Flood(const Bytes& packet, int intervalMs) {
        while (command->Send(packet) == Status::Ok)
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
};

class InitiatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto commandPair = MakePipePair();
        auto eventPair = MakePipePair();
        hostCommand = std::move(commandPair.first);
        camera.command = std::move(commandPair.second);
        hostEvent = std::move(eventPair.first);
        camera.event = std::move(eventPair.second);
        config.timeoutMs = 1000;
        ptpip.timeoutMs = 1000;
        ptpip.dataChunk = 65536;
    }
    void TearDown() override {
        if (initiator)
            initiator->Shutdown();
        if (script.joinable())
            script.join();
    }
    // Runs `steps` as the camera on its own thread, then connects the initiator.
    Result Start(std::function<void(ScriptedCamera&)> steps, bool handshake = true) {
        script = std::thread([this, steps, handshake] {
            if (handshake)
                camera.Handshake();
            steps(camera);
        });
        initiator.reset(new Initiator(config));
        initiator->SetEventHandler([this](const Event& e) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(e);
            changed.notify_all();
        });
        initiator->SetLostHandler([this](Link link, Status) {
            std::lock_guard<std::mutex> lock(mutex);
            lost.push_back(link);
            changed.notify_all();
        });
        return initiator->Attach(
            PtpIpOver(ptpip, std::move(hostCommand), [this] { return std::move(hostEvent); }));
    }
    bool WaitFor(std::function<bool()> condition) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(3), condition);
    }
    void OpenSession() { ASSERT_TRUE(initiator->OpenSession(1).ok()); }
    // Fresh pipes and no initiator, for one more scenario in the same test.
    void Restart() {
        TearDown();
        initiator.reset();
        events.clear();
        lost.clear();
        SetUp();
    }

    InitiatorConfig config;
    PtpIpConfig ptpip;
    ConnectionPtr hostCommand, hostEvent;
    ScriptedCamera camera;
    std::unique_ptr<Initiator> initiator;
    std::thread script;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    std::vector<Link> lost;
};

// The camera's side of OpenSession.
void AnswerOpenSession(ScriptedCamera& c) {
    OperationRequest r = c.Request();
    EXPECT_EQ(r.op.code, OC_OpenSession);
    EXPECT_EQ(r.op.transactionId, 0u);
    c.Respond(RC_OK, 0);
}

} // namespace

TEST_F(InitiatorTest, HandshakeSessionAndTransactionIds) {
    DeviceInfo sent;
    sent.model = "Scripted X";
    sent.operationsSupported = {OC_GetDeviceInfo, OC_SendObject};
    Result connect = Start([&](ScriptedCamera& c) {
        AnswerOpenSession(c);
        OperationRequest r = c.Request();
        EXPECT_EQ(r.op.code, OC_GetDeviceInfo);
        EXPECT_EQ(r.op.transactionId, 1u);
        EXPECT_EQ(r.dataPhase, DP_NoDataOrDataIn);
        Bytes data;
        PackDeviceInfo(sent, data);
        c.SendData(r.op.transactionId, data);
        c.Respond(RC_OK, r.op.transactionId);
        r = c.Request();
        EXPECT_EQ(r.op.transactionId, 2u);
        EXPECT_EQ(r.op.params, (std::vector<uint32_t>{0xFFFFFFFF, 0, 0}));
        c.Respond(RC_OK, r.op.transactionId, {3});
        r = c.Request();
        EXPECT_EQ(r.op.code, OC_DeleteObject);
        EXPECT_EQ(r.op.params, (std::vector<uint32_t>{7, 0}));
        c.Respond(RC_OK, r.op.transactionId);
        r = c.Request();
        EXPECT_EQ(r.op.code, OC_CloseSession);
        c.Respond(RC_OK, r.op.transactionId);
    });
    ASSERT_TRUE(connect.ok()) << StatusName(connect.status);
    EXPECT_EQ(initiator->responder().friendlyName, "Scripted");
    OpenSession();
    DeviceInfo info;
    ASSERT_TRUE(initiator->GetDeviceInfo(info).ok());
    EXPECT_EQ(info.model, "Scripted X");
    uint32_t count = 0;
    ASSERT_TRUE(initiator->GetNumObjects(0xFFFFFFFF, 0, 0, count).ok());
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(initiator->DeleteObject(7).ok());
    EXPECT_TRUE(initiator->CloseSession().ok());
    EXPECT_FALSE(initiator->sessionOpen());
}

TEST_F(InitiatorTest, InitFailIsRefusedWithItsReason) {
    Result connect = Start(
        [](ScriptedCamera& c) {
            c.Read(*c.command);
            Bytes out;
            EncodeInitFail({IFR_Busy}, out);
            c.command->Send(out);
        },
        false);
    EXPECT_EQ(connect.status, Status::Refused);
    ASSERT_EQ(connect.params.size(), 1u);
    EXPECT_EQ(connect.params[0], IFR_Busy);
    EXPECT_FALSE(initiator->connected());
}

TEST_F(InitiatorTest, WrongTransactionIdIsMalformedAndEndsTheSession) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    c.Respond(RC_OK, r.op.transactionId + 5);
                }).ok());
    OpenSession();
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::Malformed);
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::NotConnected);
}

// An answer already waiting when a request is about to go (a camera that answered twice)
// answers nothing asked: the session is out of step, and says why. A late reply to an
// earlier call is dropped instead.
TEST_F(InitiatorTest, AnAnswerBeforeItsRequestIsOutOfStep) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    c.Respond(RC_OK, r.op.transactionId);
                    c.Respond(RC_OK, r.op.transactionId - 1); // late: dropped
                    c.Respond(RC_OK, r.op.transactionId);     // a second answer
                    c.Respond(RC_OK, r.op.transactionId + 1); // ahead of its request
                }).ok());
    OpenSession();
    ASSERT_TRUE(initiator->Transact(OC_GetStorageIDs, {}).ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // all three have arrived
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::Malformed);
    EXPECT_TRUE(initiator->outOfStep());
    EXPECT_NE(initiator->LastFailure().find("an answer came before its request went out"),
              std::string::npos)
        << initiator->LastFailure();
}

// The record of a call whose dataset could not be read keeps its first bytes; one read as far
// as it went says so.
TEST_F(InitiatorTest, TheCallRecordKeepsWhatADatasetReadingFound) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    c.SendData(r.op.transactionId, Bytes{0x01, 0x50, 0x02, 0x00, 0x00, 0x64});
                    c.Respond(RC_OK, r.op.transactionId);
                    r = c.Request();
                    c.SendData(r.op.transactionId, Bytes{0x01, 0x50, 0x02, 0x00, 0x00, 0x64, 0x50});
                    c.Respond(RC_OK, r.op.transactionId);
                }).ok());
    std::vector<CallRecord> records;
    initiator->SetCallObserver([&](const CallRecord& record) { records.push_back(record); });
    OpenSession();
    DevicePropDesc desc;
    EXPECT_EQ(initiator->GetDevicePropDesc(DPC_BatteryLevel, desc).status, Status::Malformed);
    EXPECT_TRUE(initiator->GetDevicePropDesc(DPC_BatteryLevel, desc).ok());
    EXPECT_EQ(desc.current.integer, 0x50u);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].rejected, (Bytes{0x01, 0x50, 0x02, 0x00, 0x00, 0x64}));
    EXPECT_TRUE(records[2].rejected.empty());
    EXPECT_EQ(records[2].note, "no form flag: read as no form");
}

TEST_F(InitiatorTest, SilentResponderTimesOut) {
    config.timeoutMs = 100;
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    c.Request();
                }).ok());
    OpenSession();
    auto start = Clock::now();
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::Timeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST_F(InitiatorTest, UnexpectedPacketOnTheCommandConnectionIsMalformed) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    Bytes out;
                    EncodeInitEventAck(out);
                    c.command->Send(out);
                }).ok());
    OpenSession();
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::Malformed);
}

TEST_F(InitiatorTest, ErrorResponseWithoutDataPhase) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    c.Respond(RC_StoreNotAvailable, r.op.transactionId);
                }).ok());
    OpenSession();
    StorageInfo info;
    Result result = initiator->GetStorageInfo(0x00010001, info);
    EXPECT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.code, RC_StoreNotAvailable);
    EXPECT_FALSE(result.ok());
}

TEST_F(InitiatorTest, DataInBeyondTheBoundIsDrainedAndRefused) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    c.SendData(r.op.transactionId, Bytes(1000, 1));
                    c.Respond(RC_OK, r.op.transactionId);
                    r = c.Request();
                    c.Respond(RC_OK, r.op.transactionId, {0});
                }).ok());
    OpenSession();
    Bytes data;
    Result result = initiator->TransactIn(OC_GetObject, {5}, data, 999);
    EXPECT_EQ(result.status, Status::SinkFailed);
    EXPECT_EQ(result.code, RC_OK);
    EXPECT_TRUE(data.empty()) << "nothing is kept of an oversized phase";
    uint32_t count = 9;
    EXPECT_TRUE(initiator->GetNumObjects(0xFFFFFFFF, 0, 0, count).ok()) << "still in step";
    EXPECT_EQ(count, 0u);
}

TEST_F(InitiatorTest, DataOutIsPulledInChunks) {
    const size_t total = 3 * 1024 * 1024 + 17;
    Bytes received;
    ASSERT_TRUE(Start([&](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    EXPECT_EQ(r.dataPhase, DP_DataOut);
                    Packet p = c.Read(*c.command);
                    StartData start;
                    ASSERT_TRUE(DecodeStartData(p.body, start));
                    EXPECT_EQ(start.totalLength, total);
                    DataPhaseResult phase = ReceiveDataPhase(
                        *c.command, r.op.transactionId, start.totalLength,
                        [&](const uint8_t* d, size_t n) {
                            received.insert(received.end(), d, d + n);
                            return true;
                        },
                        Deadline(2000));
                    EXPECT_EQ(phase.status, Status::Ok);
                    c.Respond(RC_OK, r.op.transactionId);
                }).ok());
    OpenSession();
    size_t offset = 0, largest = 0, calls = 0;
    DataOut out;
    out.size = total;
    out.read = [&](uint8_t* buffer, size_t count) {
        for (size_t i = 0; i < count; ++i)
            buffer[i] = static_cast<uint8_t>((offset + i) % 253);
        offset += count;
        largest = std::max(largest, count);
        ++calls;
        return true;
    };
    EXPECT_TRUE(initiator->SendObject(out).ok());
    EXPECT_EQ(largest, 65536u) << "never more than one chunk at a time";
    EXPECT_EQ(calls, (total + 65535) / 65536);
    ASSERT_EQ(received.size(), total);
    for (size_t i = 0; i < total; i += 4093)
        ASSERT_EQ(received[i], i % 253) << "at " << i;
}

TEST_F(InitiatorTest, FailingSourceCancelsTheTransaction) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    Packet p = c.Read(*c.command);
                    EXPECT_EQ(p.type, PT_StartData);
                    DataPhaseResult phase = ReceiveDataPhase(
                        *c.command, r.op.transactionId, 1 << 20,
                        [](const uint8_t*, size_t) { return true; }, Deadline(2000));
                    EXPECT_TRUE(phase.cancelled);
                    EXPECT_EQ(phase.received, 65536u);
                    c.Respond(RC_TransactionCancelled, r.op.transactionId);
                }).ok());
    OpenSession();
    int calls = 0;
    DataOut out;
    out.size = 1 << 20;
    out.read = [&](uint8_t*, size_t) { return ++calls == 1; };
    Result result = initiator->SendObject(out);
    EXPECT_EQ(result.status, Status::SourceFailed);
    EXPECT_EQ(result.code, RC_TransactionCancelled);
}

TEST_F(InitiatorTest, EventsReachTheHandlerAndProbesAreAnswered) {
    std::atomic<bool> probeAnswered{false};
    ASSERT_TRUE(Start([&](ScriptedCamera& c) {
                    c.SendEvent(EC_Vandrel_PowerDown, {1, 0xBEEF});
                    Bytes probe;
                    EncodeEmptyPacket(PT_ProbeRequest, probe);
                    c.event->Send(probe);
                    Packet p = c.Read(*c.event);
                    probeAnswered = p.type == PT_ProbeResponse;
                }).ok());
    ASSERT_TRUE(WaitFor([&] { return !events.empty(); }));
    EXPECT_EQ(events[0].code, EC_Vandrel_PowerDown);
    EXPECT_EQ(events[0].params, (std::vector<uint32_t>{1, 0xBEEF}));
    script.join();
    EXPECT_TRUE(probeAnswered);
}

TEST_F(InitiatorTest, LossOfTheEventConnectionIsReported) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) { c.event->Shutdown(); }).ok());
    ASSERT_TRUE(WaitFor([&] { return !lost.empty(); }));
    EXPECT_EQ(lost[0], Link::Event);
}

TEST_F(InitiatorTest, LossOfTheIdleCommandConnectionIsReported) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) { c.command->Shutdown(); }).ok());
    ASSERT_TRUE(WaitFor([&] { return !lost.empty(); }));
    EXPECT_EQ(lost[0], Link::Command);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(lost.size(), 1u) << "reported once";
}

TEST_F(InitiatorTest, APeerClosingAfterCloseSessionIsNoLoss) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    c.Respond(RC_OK, r.op.transactionId);
                    c.command->Shutdown();
                    c.event->Shutdown();
                }).ok());
    OpenSession();
    EXPECT_TRUE(initiator->CloseSession().ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(lost.empty());
}

TEST_F(InitiatorTest, ShutdownFromAnotherThreadUnblocksAPendingCall) {
    config.timeoutMs = 10000;
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    c.Request(); // never answered
                }).ok());
    OpenSession();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        initiator->Shutdown();
    });
    auto start = Clock::now();
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::Closed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    closer.join();
    EXPECT_TRUE(lost.empty()) << "a deliberate shutdown is no loss";
}

TEST_F(InitiatorTest, CloseSessionFromAnotherThreadUnblocksAPendingCall) {
    config.timeoutMs = 10000;
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    c.Request();
                }).ok());
    OpenSession();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(initiator->CloseSession().status, Status::Closed);
    });
    auto start = Clock::now();
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::Closed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    closer.join();
}

// Responders that would hold a call without end: each call ends within its deadline, failed.
TEST_F(InitiatorTest, MisbehavingRespondersMeetTheirDeadlines) {
    struct Row {
        const char* what;
        uint64_t floorBytesPerSecond;
        bool handshake; // false: the camera misbehaves in the handshake, and the call is Connect
        std::function<void(ScriptedCamera&)> camera;
        std::function<Result(Initiator&)> call;
        Status expected;
    };
    auto response = [](uint32_t tid) {
        Operation ok;
        ok.code = RC_OK;
        ok.transactionId = tid;
        Bytes out;
        EncodeOperationResponse(ok, out);
        return out;
    };
    auto startData = [](uint32_t tid, uint64_t total) {
        Bytes out;
        EncodeStartData({tid, total}, out);
        return out;
    };
    auto data = [](uint32_t tid, size_t size) {
        Bytes payload(size, 0x33), out;
        EncodeDataPacket(PT_Data, tid, payload.data(), size, out);
        return out;
    };
    auto storageInfo = [](Initiator& host) {
        StorageInfo info;
        return host.GetStorageInfo(0x00010001, info);
    };
    auto getObject = [](Initiator& host) {
        DataIn in;
        in.maxSize = 1 << 20;
        in.write = [](const uint8_t*, size_t) { return true; };
        return host.GetObject(5, in);
    };
    const Row rows[] = {
        {"a response one byte per 100 ms", 65536, true,
         [&](ScriptedCamera& c) { c.Trickle(response(c.Request().op.transactionId), 1, 100); },
         storageInfo, Status::Timeout},
        {"Data without end under a Start Data of 2^64-1", 65536, true,
         [&](ScriptedCamera& c) {
             uint32_t tid = c.Request().op.transactionId;
             c.command->Send(startData(tid, ~0ull));
             c.Flood(data(tid, 65536), 0);
         },
         storageInfo, Status::SinkFailed},
        {"Data slower than the floor throughput", 10000, true,
         [&](ScriptedCamera& c) {
             uint32_t tid = c.Request().op.transactionId;
             c.command->Send(startData(tid, 10000));
             c.Flood(data(tid, 100), 50);
         },
         getObject, Status::Timeout},
        {"probes instead of a response", 65536, true,
         [](ScriptedCamera& c) {
             c.Request();
             Bytes probe;
             EncodeEmptyPacket(PT_ProbeRequest, probe);
             c.Flood(probe, 5);
         },
         storageInfo, Status::Timeout},
        {"empty End Data instead of a response", 65536, true,
         [](ScriptedCamera& c) {
             Bytes end;
             EncodeDataPacket(PT_EndData, c.Request().op.transactionId, nullptr, 0, end);
             c.Flood(end, 5);
         },
         storageInfo, Status::Timeout},
        {"an Init Command Ack one byte per 100 ms", 65536, false,
         [](ScriptedCamera& c) {
             c.Read(*c.command);
             InitCommandAck ack;
             ack.friendlyName = "Slow";
             Bytes out;
             EncodeInitCommandAck(ack, out);
             c.Trickle(out, 1, 100);
         },
         nullptr, Status::Timeout},
        {"a camera that reads nothing of a data-out phase", 65536, true, [](ScriptedCamera&) {},
         [](Initiator& host) {
             DataOut out;
             out.size = 8 << 20;
             out.read = [](uint8_t*, size_t) { return true; };
             return host.SendObject(out);
         },
         Status::Timeout},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Restart();
        config.timeoutMs = 300;
        config.handshakeTimeoutMs = 500;
        config.floorBytesPerSecond = row.floorBytesPerSecond;
        auto start = Clock::now();
        Result result = Start(
            [&](ScriptedCamera& c) {
                if (row.handshake)
                    AnswerOpenSession(c);
                row.camera(c);
            },
            row.handshake);
        if (row.handshake) {
            ASSERT_TRUE(result.ok());
            OpenSession();
            start = Clock::now();
            result = row.call(*initiator);
        }
        EXPECT_EQ(result.status, row.expected) << StatusName(result.status);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
    }
}

TEST_F(InitiatorTest, DataInBeyondTheDrainLimitIsCancelled) {
    std::atomic<bool> cancelled{false};
    ASSERT_TRUE(Start([&](ScriptedCamera& c) {
                    AnswerOpenSession(c);
                    OperationRequest r = c.Request();
                    Bytes start;
                    EncodeStartData({r.op.transactionId, 5 << 20}, start);
                    c.command->Send(start);
                    Packet p = c.Read(*c.command);
                    uint32_t tid = 0;
                    cancelled = p.type == PT_Cancel && DecodeCancel(p.body, tid) &&
                                tid == r.op.transactionId;
                }).ok());
    OpenSession();
    Bytes data;
    EXPECT_EQ(initiator->TransactIn(OC_GetObject, {5}, data, 1000).status, Status::SinkFailed);
    script.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(initiator->Transact(OC_GetStorageIDs, {}).status, Status::NotConnected)
        << "out of step";
}

TEST_F(InitiatorTest, AnEventHeaderInPiecesIsReadWhole) {
    ASSERT_TRUE(Start([](ScriptedCamera& c) {
                    Operation e;
                    e.code = EC_StoreRemoved;
                    e.params = {0x00010001};
                    Bytes out;
                    EncodeEvent(e, out);
                    c.event->Send(out.data(), 3);
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                    c.event->Send(out.data() + 3, out.size() - 3);
                }).ok());
    ASSERT_TRUE(WaitFor([&] { return !events.empty(); }));
    EXPECT_EQ(events[0].code, EC_StoreRemoved);
    EXPECT_TRUE(lost.empty());
}

// A transport whose device stack owns the session, as Windows Portable Devices does: it
// answers OpenSession and CloseSession itself and never puts those on the wire, and the
// session works over it as over any other.
// What a transport of a test's own needs beside the steps it plays: it opens at once, keeps
// its listener and shuts down at once.
class StubTransport : public Transport {
  public:
    TransportListener* listener = nullptr;

    Status Open(const Deadline&, Response&) override { return Status::Ok; }
    void Start(TransportListener& l) override { listener = &l; }
    const ResponderInfo& Responder() const override { return info_; }
    void Shutdown() override {}

  private:
    ResponderInfo info_;
};

class OwningTransport : public StubTransport {
  public:
    std::vector<uint16_t> onWire;
    std::vector<uint32_t> sessionCalls;
    Status SendRequest(const Request& request, const Deadline&) override {
        if (request.code == OC_OpenSession || request.code == OC_CloseSession)
            sessionCalls.push_back(request.params.empty() ? 0 : request.params[0]);
        else
            onWire.push_back(request.code);
        return Status::Ok;
    }
    Status SendData(const Request&, const DataSource&, const Deadline&) override {
        return Status::Error;
    }
    Status ReceiveData(const Request&, DataInTarget& target, Deadline&) override {
        Bytes ids;
        PackU32Array({0x00010001, 0x00020001}, ids);
        return target.Begin(ids.size()) && target.Write(ids.data(), ids.size()) ? Status::Ok
                                                                                : Status::Error;
    }
    Status ReadResponse(const Request&, Response& response, const Deadline&) override {
        response.code = RC_OK;
        return Status::Ok;
    }
};

TEST(InitiatorSeamTest, ATransportThatOwnsTheSession) {
    auto owned = std::make_unique<OwningTransport>();
    OwningTransport& transport = *owned;
    Initiator session;
    std::vector<uint16_t> seen;
    session.SetEventHandler([&](const Event& e) { seen.push_back(e.code); });
    ASSERT_TRUE(session.Attach(std::move(owned)).ok());
    ASSERT_TRUE(session.OpenSession(3).ok());
    std::vector<uint32_t> ids;
    ASSERT_TRUE(session.GetStorageIDs(ids).ok());
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x00010001, 0x00020001}));
    transport.listener->OnEvent(Event{EC_StoreRemoved, 0, {0x00020001}});
    EXPECT_TRUE(session.CloseSession().ok());
    EXPECT_EQ(transport.sessionCalls, (std::vector<uint32_t>{3, 0}));
    EXPECT_EQ(transport.onWire, std::vector<uint16_t>{OC_GetStorageIDs}) << "nothing else sent";
    EXPECT_EQ(seen, std::vector<uint16_t>{EC_StoreRemoved});
}

// A transport that loses its link on every request, and whose waiting events reach the
// listener only once it is shut down.
class LateEventsTransport : public StubTransport {
  public:
    Status SendRequest(const Request&, const Deadline&) override { return Status::Closed; }
    Status SendData(const Request&, const DataSource&, const Deadline&) override {
        return Status::Closed;
    }
    Status ReceiveData(const Request&, DataInTarget&, Deadline&) override { return Status::Closed; }
    Status ReadResponse(const Request&, Response&, const Deadline&) override {
        return Status::Closed;
    }
    void DeliverWaitingEvents(const Deadline&) override {
        delivering = true;
        for (int i = 0; i < 1000 && !shut; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void Shutdown() override { shut = true; }
    std::atomic<bool> delivering{false}, shut{false};
};

// A close from another thread while a failed call hands on its waiting events is not held up
// by that wait: the session holds no lock across it.
TEST(InitiatorSeamTest, AShutdownDoesNotWaitForWaitingEvents) {
    auto owned = std::make_unique<LateEventsTransport>();
    LateEventsTransport& transport = *owned;
    Initiator session;
    ASSERT_TRUE(session.Attach(std::move(owned)).ok());
    std::thread call(
        [&] { EXPECT_EQ(session.Transact(OC_GetStorageIDs, {}).status, Status::Closed); });
    while (!transport.delivering)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Clock::time_point start = Clock::now();
    session.Shutdown();
    // Held by the wait, it would take the transport's whole 10 s.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    call.join();
}
