// PTP/IP transport: the handshake, operation phases as packets, and the event reader. Also the
// initiator's PTP/IP entry points, which pick this transport.
#include "ptp/ptpip_transport.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "ptp/bytes.h"
#include "ptp/ptpip_framing.h"

namespace ptp {
namespace {

const int kEventPollMs = 200;         // the event reader checks for shutdown this often
const size_t kDataInPiece = 1u << 20; // data-in bytes handed to the target at a time

bool IsProbeOrEndData(uint32_t type) {
    return type == PT_EndData || type == PT_ProbeRequest || type == PT_ProbeResponse;
}

// A reply to an earlier transaction, late.
bool IsStale(const PacketHeader& header, const std::vector<uint8_t>& body, uint32_t current) {
    if (header.type != PT_OperationResponse && header.type != PT_StartData &&
        header.type != PT_Data && header.type != PT_Cancel)
        return false;
    // A response begins with its code, the other packets with the transaction ID.
    const size_t at = header.type == PT_OperationResponse ? 2 : 0;
    if (body.size() < at + 4)
        return false;
    const uint32_t tid = GetU32(body.data() + at);
    const uint32_t behind = current - tid;
    return current != 0 && behind != 0 && behind < 0x80000000u;
}

void CopyParams(const std::vector<uint32_t>& from, Params& to) {
    to.clear();
    for (uint32_t p : from)
        to.push_back(p);
}

} // namespace

PtpIpTransport::PtpIpTransport(PtpIpConfig config, Connector openCommand, Connector openEvent)
    : config_(std::move(config)), openCommand_(std::move(openCommand)),
      openEvent_(std::move(openEvent)) {}

PtpIpTransport::~PtpIpTransport() {
    Shutdown();
    if (eventThread_.joinable())
        eventThread_.detach(); // only when destroyed on its own thread, which is not allowed
}

void PtpIpTransport::Hold(ConnectionPtr& slot, ConnectionPtr connection) {
    connection->SetSendTimeout(config_.timeoutMs);
    std::lock_guard<common::Lock> hold(linkLock_);
    slot = std::move(connection);
    if (stopping_)
        slot->Shutdown();
}

// Sends packet_ on `connection` and reads the answer, which must be of `expectedType`.
Status PtpIpTransport::Exchange(Connection& connection, const Deadline& deadline,
                                uint32_t expectedType, Packet& answer, Response& refusal) {
    Status status = connection.Send(packet_.data(), packet_.size(), deadline);
    if (status == Status::Ok)
        status = ReadPacket(connection, answer, deadline);
    if (status != Status::Ok)
        return status;
    if (answer.type == PT_InitFail) {
        InitFail failure;
        if (!DecodeInitFail(answer.body, failure))
            return Status::Malformed;
        refusal.params = {failure.reason};
        return Status::Refused;
    }
    return answer.type == expectedType ? Status::Ok : Status::Malformed;
}

Status PtpIpTransport::Open(const Deadline& deadline, Response& refusal) {
    Status status = Status::NotConnected;
    std::string why;
    ConnectionPtr command = openCommand_ ? openCommand_(status, why) : nullptr;
    openCommand_ = nullptr;
    if (!command) {
        Failed(why);
        return status == Status::Ok ? Status::NotConnected : status;
    }
    Hold(command_, std::move(command));

    InitCommandRequest request;
    request.guid = config_.guid;
    request.friendlyName = config_.friendlyName;
    if (!EncodeInitCommandRequest(request, packet_))
        return Status::Error;
    Packet answer;
    InitCommandAck ack;
    status = Exchange(*command_, deadline, PT_InitCommandAck, answer, refusal);
    if (status == Status::Ok && !DecodeInitCommandAck(answer.body, ack))
        status = Status::Malformed;
    if (status != Status::Ok)
        return Handshake("Init Command Request", status, refusal);
    responder_.friendlyName = ack.friendlyName;

    ConnectionPtr event = openEvent_ ? openEvent_(status, why) : nullptr;
    openEvent_ = nullptr;
    if (!event) {
        Failed(why.empty() ? "no event connection" : why);
        return Status::Error;
    }
    Hold(event_, std::move(event));
    EncodeInitEventRequest({ack.connectionNumber}, packet_);
    status = Exchange(*event_, deadline, PT_InitEventAck, answer, refusal);
    return status == Status::Ok ? status : Handshake("Init Event Request", status, refusal);
}

Status PtpIpTransport::Handshake(const char* step, Status status, const Response& refusal) {
    std::string why = std::string(step) + ": " + StatusName(status);
    if (status == Status::Refused && !refusal.params.empty())
        why += ", reason " + std::to_string(refusal.params[0]);
    if (LastFailure().empty())
        Failed(why);
    return status;
}

void PtpIpTransport::Start(TransportListener& listener) {
    listener_ = &listener;
    eventBytesHandled_ = event_ ? event_->delivered() : 0; // the handshake's Init Event Ack
    eventThread_ = std::thread([this] {
        // Nothing thrown leaves the thread: it ends the event link like any other failure.
        try {
            EventLoop();
            return;
        } catch (...) {
        }
        try {
            if (!stopping_)
                listener_->OnLost(Link::Event, Status::Error);
        } catch (...) {
        }
    });
}

void PtpIpTransport::Shutdown() {
    stopping_ = true;
    {
        std::lock_guard<common::Lock> hold(linkLock_);
        if (command_)
            command_->Shutdown();
        if (event_)
            event_->Shutdown();
    }
    std::lock_guard<common::Lock> hold(joinLock_);
    if (eventThread_.joinable() && eventThread_.get_id() != std::this_thread::get_id())
        eventThread_.join();
}

Status PtpIpTransport::Step(Status status) {
    if (status != Status::Ok && status != Status::SourceFailed)
        inCall_ = false;
    return status;
}

Status PtpIpTransport::DropWaiting(const Request& request, const Deadline& deadline) {
    while (command_->Unread()) {
        PacketHeader header;
        Status status = ReadHeader(*command_, header, deadline);
        if (status == Status::Ok)
            status = ReadBody(*command_, header, kMaxControlBody, body_, deadline);
        if (status != Status::Ok)
            return status;
        if (IsProbeOrEndData(header.type) || IsStale(header, body_, request.transactionId))
            continue; // a late reply to a call that has already ended
        Failed("an answer came before its request went out (transaction " +
               std::to_string(request.transactionId) + ")");
        return Status::Malformed;
    }
    return Status::Ok;
}

void PtpIpTransport::Failed(const std::string& why) {
    std::lock_guard<common::Lock> hold(linkLock_);
    failure_ = why;
}

Status PtpIpTransport::SendRequest(const Request& request, const Deadline& deadline) {
    inCall_ = true;
    haveResponse_ = false;
    // What the responder sent before it was asked answers nothing of this request: the
    // session is out of step when it is not a late reply.
    if (Status status = DropWaiting(request, deadline); status != Status::Ok)
        return Step(status);
    request_.dataPhase = request.data == DataDirection::Out ? DP_DataOut : DP_NoDataOrDataIn;
    request_.op.code = request.code;
    request_.op.transactionId = request.transactionId;
    request_.op.params.assign(request.params.begin(), request.params.end());
    if (!EncodeOperationRequest(request_, packet_))
        return Step(Status::Error);
    if (request.data == DataDirection::Out)
        return Step(Status::Ok); // leaves with the data phase's first write
    return Step(command_->Send(packet_.data(), packet_.size(), deadline));
}

Status PtpIpTransport::Cancel(uint32_t transactionId, const Deadline& deadline, Status result) {
    EncodeCancel(transactionId, packet_);
    command_->Send(packet_.data(), packet_.size(), deadline);
    return result;
}

Status PtpIpTransport::SendData(const Request& request, const DataSource& source,
                                const Deadline& deadline) {
    Status status = SendDataPhase(*command_, request.transactionId, request.outSize, source,
                                  config_.dataChunk, deadline, packet_);
    if (status ==
        Status::SourceFailed) // abandon the phase; a responder that honours Cancel answers
        return Cancel(request.transactionId, deadline, status);
    return Step(status);
}

Status PtpIpTransport::ReadAnswer(const Request& request, const Deadline& deadline,
                                  Response& response, StartData* start, bool& isStart) {
    for (;;) {
        PacketHeader header;
        bool idle = false;
        Status status = ReadHeader(*command_, header, deadline, &idle);
        quietTimeout_ = status == Status::Timeout && idle;
        if (status == Status::Ok)
            status = ReadBody(*command_, header, kMaxControlBody, body_, deadline);
        if (status != Status::Ok)
            return status;
        if (IsProbeOrEndData(header.type))
            continue; // a stray empty End Data after a complete phase; probes belong elsewhere
        if (IsStale(header, body_, request.transactionId))
            continue; // a late answer to a call that has already ended
        isStart = header.type == PT_StartData;
        if (isStart) {
            bool fits = start && DecodeStartData(body_, *start) &&
                        start->transactionId == request.transactionId;
            return fits ? Status::Ok : Status::Malformed;
        }
        Operation answer;
        if (header.type != PT_OperationResponse || !DecodeOperationResponse(body_, answer) ||
            answer.transactionId != request.transactionId)
            return Status::Malformed;
        response.code = answer.code;
        CopyParams(answer.params, response.params);
        return Status::Ok;
    }
}

Status PtpIpTransport::ReceiveData(const Request& request, DataInTarget& target,
                                   Deadline& deadline) {
    StartData start;
    bool isStart = false;
    Status status = ReadAnswer(request, deadline, early_, &start, isStart);
    if (status != Status::Ok)
        return Step(status);
    if (!isStart) {
        haveResponse_ = true; // answered without data
        return Status::Ok;
    }
    return Step(ReceivePhase(request, start.totalLength, target, deadline));
}

Status PtpIpTransport::ReceivePhase(const Request& request, uint64_t total, DataInTarget& target,
                                    Deadline& deadline) {
    const uint32_t tid = request.transactionId;
    bool refused = !target.Begin(total);
    bool drain = refused && target.Drain(total);
    if (refused && !drain)
        return Cancel(tid, deadline, Status::SinkFailed);
    deadline.Allow(total);
    DataSink sink = [&](const uint8_t* data, size_t size) {
        if (!refused && target.Write(data, size))
            return true;
        if (!refused) {
            refused = true;
            drain = target.Drain(total);
        }
        return drain;
    };
    DataPhaseResult phase =
        ReceiveDataPhase(*command_, tid, total, sink, deadline, scratch_, kDataInPiece);
    if (phase.status != Status::Ok)
        return phase.status;
    if (phase.cancelled)
        return Status::Malformed; // the responder abandoned its own phase
    if (phase.sinkRefused)
        return Cancel(tid, deadline, Status::SinkFailed);
    return Status::Ok;
}

Status PtpIpTransport::ReadResponse(const Request& request, Response& response,
                                    const Deadline& deadline) {
    Status status = Status::Ok;
    bool isStart = false;
    if (haveResponse_)
        response = early_;
    else
        status = ReadAnswer(request, deadline, response, nullptr, isStart);
    haveResponse_ = false;
    inCall_ = false;
    return status;
}

void PtpIpTransport::DeliverWaitingEvents(const Deadline& deadline) {
    Connection* events = nullptr;
    {
        std::lock_guard<common::Lock> hold(linkLock_);
        events = event_.get();
    }
    if (!events || !listener_)
        return;
    // Settled once nothing is waiting on the event connection and every byte read from it
    // has reached the listener, twice in a row: a packet may be between the two.
    int settled = 0;
    while (settled < 2 && !stopping_ && !eventsEnded_ && !deadline.Passed()) {
        const uint64_t handled = eventBytesHandled_;
        const bool waiting = events->Unread() || events->delivered() != handled;
        settled = waiting ? 0 : settled + 1;
        if (settled < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string PtpIpTransport::LastFailure() const {
    std::lock_guard<common::Lock> hold(linkLock_);
    if (!failure_.empty())
        return failure_;
    for (const ConnectionPtr* link : {&command_, &event_}) {
        if (*link && (*link)->LastError())
            return "socket error " + std::to_string((*link)->LastError());
    }
    return std::string();
}

Status PtpIpTransport::CatchUp(uint32_t transactionId, Deadline& deadline) {
    if (!quietTimeout_)
        return Status::NotConnected; // a packet was cut: the stream cannot be followed
    quietTimeout_ = false;
    inCall_ = true;
    Request late;
    late.transactionId = transactionId;
    const DataSink drop = [](const uint8_t*, size_t) { return true; };
    for (;;) {
        StartData start;
        bool isStart = false;
        Response response;
        Status status = ReadAnswer(late, deadline, response, &start, isStart);
        if (status != Status::Ok)
            return Step(status);
        if (!isStart) {
            inCall_ = false;
            return Status::Ok;
        }
        deadline.Allow(start.totalLength);
        const DataPhaseResult phase = ReceiveDataPhase(*command_, transactionId, start.totalLength,
                                                       drop, deadline, scratch_, kDataInPiece);
        if (phase.status != Status::Ok)
            return Step(phase.status);
    }
}

void PtpIpTransport::EventLoop() {
    struct Ended {
        std::atomic<bool>& flag;
        ~Ended() { flag = true; }
    } ended{eventsEnded_};
    std::vector<uint8_t> body, reply;
    Connection& events = *event_;
    while (!stopping_) {
        PacketHeader header;
        bool idle = false;
        Deadline rest(config_.timeoutMs, config_.timeoutMs, 0);
        Status status = AwaitHeader(events, header, Deadline(kEventPollMs), rest, &idle);
        if (status == Status::Timeout && idle) {
            if (!inCall_ && command_->PeerClosed()) {
                if (!stopping_)
                    listener_->OnLost(Link::Command, Status::Closed);
                return;
            }
            continue;
        }
        if (status == Status::Ok) {
            Deadline deadline(config_.timeoutMs, config_.timeoutMs, config_.floorBytesPerSecond);
            deadline.Allow(header.length);
            status = ReadBody(events, header, kMaxControlBody, body, deadline);
        }
        if (status != Status::Ok) {
            if (!stopping_)
                listener_->OnLost(Link::Event, status);
            return;
        }
        if (header.type == PT_Event) {
            Operation op;
            if (DecodeEvent(body, op)) {
                Event event;
                event.code = op.code;
                event.transactionId = op.transactionId;
                CopyParams(op.params, event.params);
                listener_->OnEvent(event);
            }
        } else if (header.type == PT_ProbeRequest) {
            EncodeEmptyPacket(PT_ProbeResponse, reply);
            events.Send(reply);
        }
        // Anything else on the event connection is skipped.
        eventBytesHandled_ += header.length;
    }
}

std::unique_ptr<Transport> PtpIpOver(const PtpIpConfig& config, ConnectionPtr command,
                                     std::function<ConnectionPtr()> openEvent) {
    auto given = std::make_shared<ConnectionPtr>(std::move(command));
    auto openCommand = [given](Status& status, std::string&) {
        status = *given ? Status::Ok : Status::NotConnected;
        return std::move(*given);
    };
    auto openEventConnection = [openEvent = std::move(openEvent)](Status& status, std::string&) {
        ConnectionPtr event = openEvent ? openEvent() : nullptr;
        status = event ? Status::Ok : Status::Error;
        return event;
    };
    return std::make_unique<PtpIpTransport>(config, openCommand, openEventConnection);
}

std::unique_ptr<Transport> PtpIpOverTcp(const PtpIpConfig& config, const std::string& host,
                                        uint16_t port, int connectTimeoutMs) {
    auto connect = [host, port, connectTimeoutMs](Status& status, std::string& why) {
        return ConnectTcp(host, port, connectTimeoutMs, &status, &why);
    };
    return std::make_unique<PtpIpTransport>(config, connect, connect);
}

} // namespace ptp
