// The virtual camera's PTP responder: the handshake, the session loop and the data phases.
// The operations are in operations.cpp, the faults in faults.cpp.
#include "vcam/responder.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "packet_reader.h"
#include "ptp/codes.h"
#include "ptp/ptpip_framing.h"
#include "session.h"

namespace vcam {

using namespace ptp;

namespace {

const int kIdleSliceMs = 200; // the session loop checks Stop() this often
const size_t kSendChunk = 64 * 1024;
// A refused data phase is read to its end before the answer, unless it is announced larger
// than this: then the answer goes at once and the session ends, so that no initiator holds
// the camera with a phase that never ends.
const uint64_t kMaxDrain = uint64_t(4) << 30;

std::atomic<uint32_t> nextConnectionNumber{1};

bool IsDataOut(uint16_t code) {
    return code == OC_SendObjectInfo || code == OC_SendObject || code == OC_SetDevicePropValue ||
           code == OC_MTP_SetObjectPropValue;
}

// Nothing thrown inside a session leaves Serve: the session ends as broken, its connections
// shut down by the session's destructor.
template <typename Body> Status Guarded(Body body) {
    try {
        return body();
    } catch (...) {
        return Status::Error;
    }
}

} // namespace

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

Responder::Responder(const Profile& profile, Card& card, const std::atomic<bool>* externalStop)
    : profile_(profile), card_(card), externalStop_(externalStop) {}

ptp::Status Responder::Serve(Connection& command, const EventAcceptor& acceptEvent) {
    ConnectionPtr owned;
    return Guarded([&] {
        Session session(*this, command);
        return session.Run([&]() -> Connection* {
            owned = acceptEvent ? acceptEvent() : nullptr;
            return owned.get();
        });
    });
}

ptp::Status Responder::Serve(Connection& command, Connection& event) {
    return Guarded([&] {
        Session session(*this, command);
        return session.Run([&]() -> Connection* { return &event; });
    });
}

Session::Session(Responder& owner, Connection& command)
    : owner_(owner), profile_(owner.profile_), card_(owner.card_), command_(command),
      faults_(owner.profile_) {}

Session::~Session() {
    EndUpload();
    command_.Shutdown();
    if (event_)
        event_->Shutdown();
}

ptp::Status Session::Run(const std::function<Connection*()>& acceptEvent) {
    cardPresent_ = profile_.cardPresent;
    if (profile_.splitWrites)
        command_.SetNoDelay(false); // small writes wait for the initiator's acknowledgement
    card_.SetClusterSize(profile_.clusterSize);
    if (cardPresent_ && !card_.Scan()) {
        Trace("card folder " + card_.folder() + " cannot be read: no card");
        cardPresent_ = false;
    }
    Status status = Handshake(acceptEvent);
    return status == Status::Ok ? Loop() : status;
}

ptp::Status Session::Handshake(const std::function<Connection*()>& acceptEvent) {
    const int ms = owner_.handshakeTimeoutMs_;
    Deadline deadline(ms, ms, 0);
    std::vector<uint8_t> bytes;
    Packet packet;
    Status status =
        ReadPacketBefore(command_, packet, deadline, [this] { return owner_.stopped(); });
    if (status != Status::Ok)
        return status;
    InitCommandRequest request;
    if (packet.type != PT_InitCommandRequest || !DecodeInitCommandRequest(packet.body, request)) {
        EncodeInitFail({IFR_Unspecified}, bytes);
        SendPacket(command_, bytes);
        return Status::Malformed;
    }
    InitCommandAck ack;
    ack.connectionNumber = nextConnectionNumber++;
    if (ack.connectionNumber == 0) // never 0: that means "none yet" to a server
        ack.connectionNumber = nextConnectionNumber++;
    for (size_t i = 0; i < ack.guid.size(); ++i)
        ack.guid[i] = static_cast<uint8_t>(0x56 + i * 7 + profile_.serialNumber.size());
    ack.friendlyName = profile_.model;
    if (!EncodeInitCommandAck(ack, bytes)) {
        ack.friendlyName = "Virtual camera";
        EncodeInitCommandAck(ack, bytes);
    }
    owner_.connectionNumber_ = ack.connectionNumber;
    if ((status = SendPacket(command_, bytes)) != Status::Ok)
        return status;
    std::string guid;
    for (uint8_t byte : request.guid)
        guid += Hex(byte).substr(4);
    Trace("initiator \"" + request.friendlyName + "\" (GUID " + guid + ") connected");

    deadline = Deadline(ms, ms, 0);
    event_ = acceptEvent();
    if (!event_) {
        Trace("no event connection: handshake abandoned");
        return Status::Timeout;
    }
    status = ReadPacketBefore(*event_, packet, deadline, [this] { return owner_.stopped(); });
    if (status != Status::Ok)
        return status;
    InitEventRequest eventRequest;
    if (packet.type != PT_InitEventRequest || !DecodeInitEventRequest(packet.body, eventRequest) ||
        eventRequest.connectionNumber != ack.connectionNumber) {
        EncodeInitFail({IFR_RejectedInitiator}, bytes);
        SendPacket(*event_, bytes);
        return Status::Malformed;
    }
    EncodeInitEventAck(bytes);
    status = SendPacket(*event_, bytes);
    if (profile_.closeEvents) {
        Trace("fault: event connection closed");
        event_->Shutdown();
    }
    return status;
}

ptp::Status Session::Loop() {
    // Answers the initiator's probes on the event connection while the session runs.
    struct ProbeAnswerer {
        Session& s;
        std::atomic<bool> done{false};
        std::thread thread;
        explicit ProbeAnswerer(Session& session) : s(session) {
            thread = std::thread([this] { Guarded([this] { return Answer(); }); });
        }
        ~ProbeAnswerer() {
            done = true;
            s.event_->Shutdown();
            thread.join();
        }
        Status Answer() {
            std::vector<uint8_t> reply;
            EncodeEmptyPacket(PT_ProbeResponse, reply);
            while (!done) {
                Packet probe;
                bool idle = false;
                Status status = ReadNextPacket(*s.event_, probe, Deadline(kIdleSliceMs),
                                               s.WholePacket(), &idle);
                if (status == Status::Timeout && idle)
                    continue;
                if (status != Status::Ok)
                    return status;
                if (probe.type == PT_ProbeRequest) {
                    std::lock_guard<common::Lock> hold(s.eventLock_);
                    SendPacket(*s.event_, reply);
                }
            }
            return Status::Ok;
        }
    } probeAnswerer(*this);

    // Between operations, Stop() is looked at each slice, and the idle timeout ends the session.
    const int idleMs = owner_.idleTimeoutMs_;
    Deadline between = idleMs > 0 ? Deadline(kIdleSliceMs, idleMs, 0) : Deadline(kIdleSliceMs);
    while (!owner_.stopped()) {
        if (between.Passed()) {
            Trace("idle for " + std::to_string(idleMs) + " ms: session ended");
            return Status::Timeout;
        }
        Packet packet;
        bool idle = false;
        Status status = ReadNextPacket(command_, packet, between, WholePacket(), &idle);
        if (status == Status::Timeout && idle)
            continue;
        if (status == Status::Closed)
            return Status::Ok; // the initiator went away: the normal end of a session
        if (status != Status::Ok)
            return status;
        if (packet.type == PT_EndData || packet.type == PT_Cancel ||
            packet.type == PT_ProbeRequest || packet.type == PT_ProbeResponse)
            continue; // stray End Data after a complete phase, a late Cancel, probes
        OperationRequest op;
        if (packet.type != PT_OperationRequest || !DecodeOperationRequest(packet.body, op)) {
            Trace("protocol error: packet type " + Hex(packet.type));
            return Status::Malformed;
        }
        Next next = Handle(op);
        if (next == Next::Drop)
            return Status::Closed;
        if (next == Next::Fail)
            return Status::Malformed;
        between.Restart();
    }
    return Status::Closed;
}

Session::Next Session::Handle(const OperationRequest& op) {
    Request r;
    r.code = op.op.code;
    r.tid = op.op.transactionId;
    r.params = op.op.params;
    r.dataOut = IsDataOut(r.code) || (!Supports(r.code) && op.dataPhase == DP_DataOut);
    const char* name = OperationName(r.code);
    Trace(std::string(*name ? name : "operation") + " " + Hex(r.code));

    if (uint32_t delay = faults_.DelayFor(r.code))
        Pause(delay);
    uint16_t overrideCode = 0;
    const FaultActions actions = faults_.AtOperation(r.code);
    Next next = Inject(actions, r.tid, overrideCode);
    if (next != Next::Continue)
        return next;
    if (actions.staleReply && r.tid > 1) {
        Trace("fault: a late reply to transaction " + std::to_string(r.tid - 1));
        std::vector<uint8_t> bytes;
        EncodeOperationResponse({RC_OK, r.tid - 1, {}}, bytes);
        if (SendPacket(command_, bytes) != Status::Ok)
            return Next::Fail;
    }
    r.earlyReply = actions.earlyReply;
    if (overrideCode) {
        Trace("fault: response " + Hex(overrideCode));
        return Respond(r, overrideCode);
    }
    return Dispatch(r);
}

void Session::AppendEarlyReply(const Request& r, std::vector<uint8_t>& bytes) {
    if (!r.earlyReply)
        return;
    Trace("fault: an answer to transaction " + std::to_string(r.tid + 1) + " before its request");
    std::vector<uint8_t> packet;
    EncodeOperationResponse({RC_OK, r.tid + 1, {}}, packet);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
}

Session::Next Session::Respond(Request& r, uint16_t code, std::vector<uint32_t> params) {
    if (r.dataOut && !r.dataConsumed) {
        Next next = Drain(r); // the whole phase is read before any answer
        if (next != Next::Continue)
            return next;
    }
    Operation response;
    response.code = code;
    response.transactionId = r.tid;
    response.params = std::move(params);
    std::vector<uint8_t> bytes;
    EncodeOperationResponse(response, bytes);
    AppendEarlyReply(r, bytes);
    if (code != RC_OK)
        Trace("  -> " + std::string(ResponseName(code)) + " " + Hex(code));
    if (SendPacket(command_, bytes) != Status::Ok)
        return Next::Fail;
    if (r.abandoned) {
        Trace("a data phase of " + std::to_string(r.announced) +
              " bytes is not drained: " + "session ended");
        return Next::Fail;
    }
    return Next::Continue;
}

Session::Next Session::SendData(Request& r, const std::vector<uint8_t>& data) {
    if (data.size() <= kSendChunk && !profile_.splitWrites) {
        // A dataset that fits one packet leaves with its response in one write, so the
        // initiator is woken once per operation rather than once per packet.
        std::vector<uint8_t> bytes, packet;
        EncodeStartData({r.tid, data.size()}, bytes);
        EncodeDataPacket(PT_EndData, r.tid, data.data(), data.size(), packet);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        Operation response;
        response.code = RC_OK;
        response.transactionId = r.tid;
        EncodeOperationResponse(response, packet);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        AppendEarlyReply(r, bytes);
        return SendPacket(command_, bytes) == Status::Ok ? Next::Continue : Next::Fail;
    }
    size_t offset = 0;
    DataSource source = [&](uint8_t* buffer, size_t count) {
        std::copy(data.begin() + offset, data.begin() + offset + count, buffer);
        offset += count;
        return true;
    };
    if (SendDataPhase(command_, r.tid, data.size(), source, kSendChunk, Silence()) != Status::Ok)
        return Next::Fail;
    return Respond(r, RC_OK);
}

Session::Next Session::ReadStartData(Request& r, StartData& start) {
    r.dataConsumed = true;
    Packet packet;
    if (ReadPacketBefore(command_, packet, WholePacket()) != Status::Ok)
        return Next::Fail;
    if (packet.type == PT_Cancel) {
        r.cancelled = true;
        return Next::Continue;
    }
    if (packet.type != PT_StartData || !DecodeStartData(packet.body, start) ||
        start.transactionId != r.tid) {
        Trace("protocol error: expected Start Data");
        return Next::Fail;
    }
    r.announced = start.totalLength;
    return Next::Continue;
}

Session::Next Session::ReceiveData(Request& r, std::vector<uint8_t>* data, size_t maxSize,
                                   bool& tooBig) {
    tooBig = false;
    StartData start;
    Next next = ReadStartData(r, start);
    if (next != Next::Continue || r.cancelled)
        return next;
    tooBig = data && start.totalLength > maxSize;
    if ((!data || tooBig) && Abandon(r))
        return Next::Continue;
    DataSink sink = [&](const uint8_t* bytes, size_t count) {
        if (data && !tooBig)
            data->insert(data->end(), bytes, bytes + count);
        return true;
    };
    DataPhaseResult result = ReceiveDataPhase(command_, r.tid, start.totalLength, sink, Silence());
    if (result.status != Status::Ok)
        return Next::Fail;
    r.cancelled = result.cancelled;
    return Next::Continue;
}

bool Session::Abandon(Request& r) {
    r.abandoned = r.announced > kMaxDrain;
    return r.abandoned;
}

Session::Next Session::Drain(Request& r) {
    bool tooBig;
    return ReceiveData(r, nullptr, 0, tooBig);
}

} // namespace vcam
