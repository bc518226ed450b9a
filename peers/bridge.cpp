#include "bridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ptp/bytes.h"
#include "ptp/codes.h"
#include "ptp/ptpip.h"
#include "ptp/ptpip_framing.h"

namespace peers {

using namespace ptp;

namespace {

const int kHandshakeMs = 5000;    // each step of an initiator's handshake
const int kAcceptSliceMs = 200;   // a stop is noticed this often between sessions
const int kIdleSliceMs = 50;      // and this often within one, where onIdle runs
const int kSilenceMs = 30000;     // the longest pause within a packet or a data phase
const size_t kContainerHead = 12; // u32 length, u16 type, u16 code, u32 transaction ID
const size_t kMaxShortContainer = kContainerHead + 4 * kMaxOperationParams;
enum : uint16_t { kCommand = 1, kData = 2, kResponse = 3, kEvent = 4 };
const Guid kResponderGuid = {0x75, 0x4d, 0x54, 0x50, 0x62, 0x72, 0x69, 0x64,
                             0x67, 0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

std::atomic<bool> stopping{false};

extern "C" void OnStopSignal(int) {
    stopping = true;
}

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

// A container's parameters: what follows its head, in whole 32-bit words.
std::vector<uint32_t> Params(const uint8_t* container, size_t length) {
    std::vector<uint32_t> params;
    for (size_t at = kContainerHead; at + 4 <= length && params.size() < kMaxOperationParams;
         at += 4)
        params.push_back(GetU32(container + at));
    return params;
}

std::string Describe(const char* name, uint16_t code, uint32_t tid,
                     const std::vector<uint32_t>& params) {
    char text[64];
    std::snprintf(text, sizeof text, "%s (0x%04X) tid %u [", name, code, tid);
    std::string line = text;
    for (size_t i = 0; i < params.size(); ++i) {
        std::snprintf(text, sizeof text, "%s0x%08X", i ? ", " : "", params[i]);
        line += text;
    }
    return line + "]";
}

} // namespace

bool ParseOptions(int argc, char** argv, const char* program, bool takesConf, Options& options) {
    bool ok = true;
    for (int i = 1; ok && i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--card" && hasValue)
            options.card = argv[++i];
        else if (arg == "--log" && hasValue)
            options.log = argv[++i];
        else if (arg == "--conf" && hasValue && takesConf)
            options.conf = argv[++i];
        else if (arg == "--port" && hasValue)
            ok = ParseNumber(argv[++i], 0, 65535, options.port);
        else if (arg == "--idle-timeout" && hasValue)
            ok = ParseNumber(argv[++i], 0, 86400, options.idleSeconds);
        else if (arg == "--quiet")
            options.quiet = true;
        else
            ok = false;
    }
    if (ok && !options.card.empty())
        return true;
    std::fprintf(stderr,
                 "usage: %s --card DIR [--port N] [--quiet | --log FILE] [--idle-timeout S]%s\n",
                 program, takesConf ? " [--conf FILE]" : "");
    return false;
}

bool Bridge::Start(const Options& options) {
    idleSeconds_ = options.idleSeconds;
    Status status;
    listener_ = TcpListener::Listen("127.0.0.1", static_cast<uint16_t>(options.port), &status);
    if (!listener_) {
        std::fprintf(stderr, "%s: cannot listen on 127.0.0.1:%ld\n", name_.c_str(), options.port);
        return false;
    }
    int out = -1;
    if (options.quiet)
        out = open("/dev/null", O_WRONLY);
    else if (!options.log.empty())
        out = open(options.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if ((options.quiet || !options.log.empty()) && out < 0) {
        std::fprintf(stderr, "%s: cannot open the log %s\n", name_.c_str(), options.log.c_str());
        return false;
    }
    std::printf("%s listening on 127.0.0.1:%u\n", name_.c_str(), listener_->Port());
    std::fflush(stdout);
    // The responder prints to standard output and error; neither may reach whoever read the
    // first line.
    if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close(out);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void Bridge::Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex_);
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    std::printf("%02d:%02d:%02d.%03ld bridge: %s\n", local.tm_hour, local.tm_min, local.tm_sec, ms,
                line.c_str());
    std::fflush(stdout);
}

bool Bridge::SendControl(const std::vector<uint8_t>& packet) {
    if (SendPacket(*command_, packet) == Status::Ok)
        return true;
    failed_ = true;
    return false;
}

bool Bridge::Accept() {
    const auto idleEnd = common::MsFromNow(idleSeconds_ * 1000);
    while (!stopping) {
        if (idleSeconds_ > 0 && common::MsUntil(idleEnd) == 0) {
            Log("no initiator for " + std::to_string(idleSeconds_) + " s: stopped");
            return false;
        }
        Status status;
        ConnectionPtr command = listener_->Accept(kAcceptSliceMs, &status);
        if (!command)
            continue;
        const Deadline handshake(kHandshakeMs, kHandshakeMs, 0);
        Packet packet;
        InitCommandRequest request;
        std::vector<uint8_t> bytes;
        if (ReadPacket(*command, packet, handshake) != Status::Ok ||
            packet.type != PT_InitCommandRequest ||
            !DecodeInitCommandRequest(packet.body, request)) {
            Log("a connection that does not begin with Init Command Request: refused");
            EncodeInitFail({IFR_Unspecified}, bytes);
            SendPacket(*command, bytes);
            continue;
        }
        InitCommandAck ack;
        ack.connectionNumber = ++connections_;
        ack.guid = kResponderGuid;
        ack.friendlyName = name_;
        if (!EncodeInitCommandAck(ack, bytes) || SendPacket(*command, bytes) != Status::Ok)
            continue;
        ConnectionPtr event = listener_->Accept(kHandshakeMs, &status);
        InitEventRequest eventRequest;
        if (!event ||
            ReadPacket(*event, packet, Deadline(kHandshakeMs, kHandshakeMs, 0)) != Status::Ok ||
            packet.type != PT_InitEventRequest ||
            !DecodeInitEventRequest(packet.body, eventRequest) ||
            eventRequest.connectionNumber != ack.connectionNumber) {
            Log("no event connection for connection " + std::to_string(ack.connectionNumber));
            continue;
        }
        EncodeInitEventAck(bytes);
        if (SendPacket(*event, bytes) != Status::Ok)
            continue;
        Log("initiator \"" + request.friendlyName + "\" connected");
        failed_ = zeroLengthDue_ = dataOutDue_ = outPhaseOpen_ = inData_ = false;
        outHead_.clear();
        outHeadAt_ = 0;
        outPayloadLeft_ = outPacketLeft_ = 0;
        inHead_.clear();
        inSkip_ = 0;
        command_ = std::move(command);
        std::lock_guard<std::mutex> lock(eventMutex_);
        event_ = std::move(event);
        return true;
    }
    return false;
}

void Bridge::Hangup() {
    if (command_)
        command_->Shutdown();
    command_.reset();
    std::lock_guard<std::mutex> lock(eventMutex_);
    if (event_)
        event_->Shutdown();
    event_.reset();
    Log("session ended");
}

bool Bridge::NextContainer() {
    for (;;) {
        PacketHeader header;
        bool idle = false;
        Deadline rest(kSilenceMs);
        const Status status = AwaitHeader(*command_, header, Deadline(kIdleSliceMs), rest, &idle);
        if (status == Status::Timeout && idle) {
            if (stopping)
                return false;
            if (onIdle)
                onIdle();
            continue;
        }
        std::vector<uint8_t> body;
        if (status != Status::Ok ||
            ReadBody(*command_, header, kMaxControlBody, body, rest) != Status::Ok) {
            Log(status == Status::Closed ? "the initiator has gone"
                                         : std::string("packet unreadable: ") + StatusName(status));
            return false;
        }
        std::vector<uint8_t> bytes;
        switch (header.type) {
        case PT_OperationRequest: {
            OperationRequest request;
            if (!DecodeOperationRequest(body, request)) {
                Log("an Operation Request that does not decode");
                return false;
            }
            const Operation& op = request.op;
            outHead_.assign(kContainerHead + 4 * op.params.size(), 0);
            PutU32(outHead_.data(), static_cast<uint32_t>(outHead_.size()));
            PutU16(outHead_.data() + 4, kCommand);
            PutU16(outHead_.data() + 6, op.code);
            PutU32(outHead_.data() + 8, op.transactionId);
            for (size_t i = 0; i < op.params.size(); ++i)
                PutU32(outHead_.data() + kContainerHead + 4 * i, op.params[i]);
            outHeadAt_ = 0;
            dataOutDue_ = request.dataPhase == DP_DataOut;
            dataOutTid_ = op.transactionId;
            dataOutCode_ = op.code;
            Log("> " + Describe(OperationName(op.code), op.code, op.transactionId, op.params) +
                (dataOutDue_ ? " with data" : ""));
            return true;
        }
        case PT_StartData: {
            StartData start;
            if (!DecodeStartData(body, start) || !dataOutDue_ ||
                start.transactionId != dataOutTid_) {
                Log("a Start Data that no Operation Request announced");
                return false;
            }
            dataOutDue_ = false;
            outHead_.assign(kContainerHead, 0);
            PutU32(outHead_.data(), static_cast<uint32_t>(std::min<uint64_t>(
                                        kContainerHead + start.totalLength, 0xFFFFFFFFu)));
            PutU16(outHead_.data() + 4, kData);
            PutU16(outHead_.data() + 6, dataOutCode_);
            PutU32(outHead_.data() + 8, dataOutTid_);
            outHeadAt_ = 0;
            outPayloadLeft_ = start.totalLength;
            outPacketLeft_ = 0;
            outPacketIsEnd_ = false;
            outPhaseOpen_ = true;
            Log("> data, " + std::to_string(start.totalLength) + " B");
            return true;
        }
        case PT_ProbeRequest:
            EncodeEmptyPacket(PT_ProbeResponse, bytes);
            if (!SendControl(bytes))
                return false;
            continue;
        case PT_Cancel:
            Log("> Cancel outside a data phase");
            if (onCancel)
                onCancel();
            continue;
        default:
            Log("> packet type " + std::to_string(header.type) + " where an operation was due");
            return false;
        }
    }
}

bool Bridge::NextDataPacket() {
    PacketHeader header;
    if (ReadHeader(*command_, header, Deadline(kSilenceMs)) != Status::Ok) {
        failed_ = true;
        return false;
    }
    if (header.type == PT_Cancel) {
        std::vector<uint8_t> body;
        ReadBody(*command_, header, kMaxControlBody, body, Deadline(kSilenceMs));
        Log("> Cancel within the data phase, " + std::to_string(outPayloadLeft_) + " B short");
        outPayloadLeft_ = 0;
        outPhaseOpen_ = false;
        if (onCancel)
            onCancel();
        return false;
    }
    uint8_t tid[4];
    const uint64_t payload = header.bodySize() >= 4 ? header.bodySize() - 4 : 0;
    const bool end = header.type == PT_EndData;
    if (!IsDataType(header.type) || header.bodySize() < 4 ||
        command_->Receive(tid, sizeof tid, Deadline(kSilenceMs)) != Status::Ok ||
        GetU32(tid) != dataOutTid_ || payload > outPayloadLeft_ ||
        (end && payload != outPayloadLeft_)) {
        Log("> packet type " + std::to_string(header.type) + " of " +
            std::to_string(header.length) + " B where the data phase's were due");
        failed_ = true;
        return false;
    }
    outPacketLeft_ = static_cast<size_t>(payload);
    outPacketIsEnd_ = end;
    return true;
}

int Bridge::ReadOut(uint8_t* buffer, int max) {
    if (!command_ || failed_ || max <= 0)
        return -1;
    if (zeroLengthDue_) {
        zeroLengthDue_ = false;
        return 0;
    }
    if (outHeadAt_ == outHead_.size() && outPayloadLeft_ == 0 && !NextContainer()) {
        failed_ = true;
        return -1;
    }
    const size_t room = static_cast<size_t>(max);
    size_t n = 0;
    while (n < room) {
        if (outHeadAt_ < outHead_.size()) {
            const size_t k = std::min(room - n, outHead_.size() - outHeadAt_);
            std::memcpy(buffer + n, outHead_.data() + outHeadAt_, k);
            n += k;
            outHeadAt_ += k;
            continue;
        }
        if (outPayloadLeft_ == 0)
            break;
        if (outPacketLeft_ == 0) {
            if (!NextDataPacket()) {
                if (failed_)
                    return -1;
                break; // cancelled: the transfer ends short
            }
            continue;
        }
        const size_t k = std::min(room - n, outPacketLeft_);
        if (command_->Receive(buffer + n, k, Deadline(kSilenceMs)) != Status::Ok) {
            failed_ = true;
            return -1;
        }
        n += k;
        outPacketLeft_ -= k;
        outPayloadLeft_ -= k;
    }
    // The phase is over at its End Data, which may follow the last bytes empty.
    while (outPhaseOpen_ && outPayloadLeft_ == 0 && outPacketLeft_ == 0) {
        if (outPacketIsEnd_)
            outPhaseOpen_ = false;
        else if (!NextDataPacket() && failed_)
            return -1;
    }
    // A transfer that fills the buffer exactly is followed by a zero-length one, as on USB.
    if (n == room && outHeadAt_ == outHead_.size() && outPayloadLeft_ == 0)
        zeroLengthDue_ = true;
    return static_cast<int>(n);
}

void Bridge::FinishInContainer() {
    const uint8_t* head = inHead_.data();
    const uint32_t length = GetU32(head);
    const uint16_t type = GetU16(head + 4), code = GetU16(head + 6);
    const uint32_t tid = GetU32(head + 8);
    std::vector<uint8_t> bytes;
    if (type == kResponse) {
        Operation op;
        op.code = code;
        op.transactionId = tid;
        op.params = Params(head, std::min<size_t>(length, inHead_.size()));
        Log("< " + Describe(ResponseName(code), code, tid, op.params));
        if (EncodeOperationResponse(op, bytes))
            SendControl(bytes);
    } else if (type == kData) {
        const uint64_t total = length >= kContainerHead ? length - kContainerHead : 0;
        Log("< data, " + std::to_string(total) + " B");
        EncodeStartData({tid, total}, bytes);
        SendControl(bytes);
        inData_ = total > 0;
        inDataLeft_ = total;
        inTid_ = tid;
        if (total == 0) {
            EncodeDataPacket(PT_EndData, tid, nullptr, 0, bytes);
            SendControl(bytes);
        }
    } else {
        Log("< container type " + std::to_string(type) + " on the bulk-in pipe: dropped");
    }
    // What PTP/IP has no room for: parameters past the fifth, another container's body.
    if (type != kData && length > inHead_.size())
        inSkip_ = length - inHead_.size();
    inHead_.clear();
}

int Bridge::WriteIn(const uint8_t* data, int size) {
    if (!command_ || failed_)
        return -1;
    size_t at = 0;
    const size_t total = size > 0 ? static_cast<size_t>(size) : 0;
    std::vector<uint8_t> bytes;
    while (at < total && !failed_) {
        const size_t left = total - at;
        if (inData_) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(left, inDataLeft_));
            inDataLeft_ -= k;
            inData_ = inDataLeft_ > 0;
            EncodeDataPacket(inData_ ? PT_Data : PT_EndData, inTid_, data + at, k, bytes);
            SendControl(bytes);
            at += k;
        } else if (inSkip_ > 0) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(left, inSkip_));
            inSkip_ -= k;
            at += k;
        } else {
            // The head first; a response then waits for its parameters.
            const bool head = inHead_.size() >= kContainerHead;
            const bool response = head && GetU16(inHead_.data() + 4) == kResponse;
            const size_t want =
                response ? std::min(std::max<size_t>(GetU32(inHead_.data()), kContainerHead),
                                    kMaxShortContainer)
                         : kContainerHead;
            const size_t k = std::min(left, want - inHead_.size());
            inHead_.insert(inHead_.end(), data + at, data + at + k);
            at += k;
            const bool whole = inHead_.size() == want;
            if (whole && (response || GetU16(inHead_.data() + 4) != kResponse ||
                          GetU32(inHead_.data()) <= kContainerHead))
                FinishInContainer();
        }
    }
    return failed_ ? -1 : size;
}

int Bridge::WriteInterrupt(const uint8_t* data, int size) {
    if (size < static_cast<int>(kContainerHead))
        return -1;
    const size_t length = std::min<size_t>(GetU32(data), static_cast<size_t>(size));
    Operation event;
    event.code = GetU16(data + 6);
    event.transactionId = GetU32(data + 8);
    event.params = Params(data, length);
    std::vector<uint8_t> bytes;
    if (GetU16(data + 4) != kEvent || !EncodeEvent(event, bytes))
        return -1;
    Log("< event " +
        Describe(EventName(event.code), event.code, event.transactionId, event.params));
    std::lock_guard<std::mutex> lock(eventMutex_);
    if (event_ && SendPacket(*event_, bytes) != Status::Ok)
        return -1;
    return size;
}

} // namespace peers
