// Initiator session: handshake, transactions with streamed data phases, the event reader.
#include "ptp/initiator.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace ptp {
namespace {

const int kEventPollMs = 200; // the event reader checks for shutdown this often
const int kCloseWaitMs = 200; // CloseSession waits this long for a pending call to end

} // namespace

Initiator::Initiator(InitiatorConfig config) : config_(std::move(config)) {}

Initiator::~Initiator() {
    Shutdown();
    if (eventThread_.joinable())
        eventThread_.detach(); // only when destroyed on its own thread, which is not allowed
}

Result Initiator::Connect(ConnectionPtr command, const EventConnector& openEvent) {
    if (!command)
        return Result::Of(Status::NotConnected);
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        command_ = std::move(command);
        if (stopping_)
            command_->Shutdown();
    }
    auto fail = [this](Result result) {
        std::lock_guard<std::mutex> lock(linkMutex_);
        command_->Shutdown();
        if (event_)
            event_->Shutdown();
        return result;
    };
    auto refusal = [&](const std::vector<uint8_t>& body) {
        InitFail failure;
        if (!DecodeInitFail(body, failure))
            return fail(Result::Of(Status::Malformed));
        Result result = Result::Of(Status::Refused);
        result.params.push_back(failure.reason);
        return fail(result);
    };

    InitCommandRequest request;
    request.guid = config_.guid;
    request.friendlyName = config_.friendlyName;
    std::vector<uint8_t> bytes;
    if (!EncodeInitCommandRequest(request, bytes))
        return fail(Result::Of(Status::Error));
    Status status = SendPacket(*command_, bytes);
    Packet packet;
    if (status == Status::Ok)
        status = ReadPacket(*command_, packet, config_.timeoutMs);
    if (status != Status::Ok)
        return fail(Result::Of(status));
    if (packet.type == PT_InitFail)
        return refusal(packet.body);
    if (packet.type != PT_InitCommandAck || !DecodeInitCommandAck(packet.body, ack_))
        return fail(Result::Of(Status::Malformed));

    ConnectionPtr event = openEvent ? openEvent() : nullptr;
    if (!event)
        return fail(Result::Of(Status::Error));
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        event_ = std::move(event);
        if (stopping_)
            event_->Shutdown();
    }
    EncodeInitEventRequest({ack_.connectionNumber}, bytes);
    status = SendPacket(*event_, bytes);
    if (status == Status::Ok)
        status = ReadPacket(*event_, packet, config_.timeoutMs);
    if (status != Status::Ok)
        return fail(Result::Of(status));
    if (packet.type == PT_InitFail)
        return refusal(packet.body);
    if (packet.type != PT_InitEventAck)
        return fail(Result::Of(Status::Malformed));

    connected_ = true;
    broken_ = false;
    eventThread_ = std::thread([this] { EventLoop(); });
    Result result;
    result.code = RC_OK;
    return result;
}

Result Initiator::ConnectTcp(const std::string& host, uint16_t port, int connectTimeoutMs) {
    Status status;
    ConnectionPtr command = ptp::ConnectTcp(host, port, connectTimeoutMs, &status);
    if (!command)
        return Result::Of(status);
    return Connect(std::move(command), [&]() -> ConnectionPtr {
        Status ignored;
        return ptp::ConnectTcp(host, port, connectTimeoutMs, &ignored);
    });
}

void Initiator::Shutdown() {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        if (command_)
            command_->Shutdown();
        if (event_)
            event_->Shutdown();
    }
    if (eventThread_.joinable() && eventThread_.get_id() != std::this_thread::get_id())
        eventThread_.join();
    connected_ = false;
    sessionOpen_ = false;
}

uint32_t Initiator::NextTransactionId() {
    uint32_t tid = nextTid_;
    nextTid_ = nextTid_ >= 0xFFFFFFFEu ? 1 : nextTid_ + 1;
    return tid;
}

Result Initiator::Fail(Status status) {
    // Whatever the responder still sends for this call would be taken for the next one.
    broken_ = true;
    // A connection that broke under a call is lost now, not when the event reader next looks:
    // the caller may decide by it as soon as the call returns.
    if (status == Status::Closed || status == Status::Error)
        ReportLost(Link::Command, status);
    return Result::Of(status);
}

Result Initiator::Transact(uint16_t code, const std::vector<uint32_t>& params, const DataOut* out,
                           const DataIn* in) {
    std::lock_guard<std::mutex> lock(callMutex_);
    return TransactLocked(code, params, out, in);
}

Result Initiator::TransactLocked(uint16_t code, const std::vector<uint32_t>& params,
                                 const DataOut* out, const DataIn* in) {
    if (!connected_ || broken_ || stopping_)
        return Result::Of(stopping_ ? Status::Closed : Status::NotConnected);
    if ((out && in) || params.size() > kMaxOperationParams)
        return Result::Of(Status::Error);
    struct BusyFlag {
        std::atomic<bool>& flag;
        explicit BusyFlag(std::atomic<bool>& f) : flag(f) { flag = true; }
        ~BusyFlag() { flag = false; }
    } busy(busy_);

    OperationRequest request;
    request.dataPhase = out ? DP_DataOut : DP_NoDataOrDataIn;
    request.op.code = code;
    request.op.transactionId = (code == OC_OpenSession || !sessionOpen_) ? 0 : NextTransactionId();
    request.op.params = params;
    uint32_t tid = request.op.transactionId;
    std::vector<uint8_t> bytes;
    EncodeOperationRequest(request, bytes);
    Status status = SendPacket(*command_, bytes);
    if (status != Status::Ok)
        return Fail(status);

    if (out) {
        status = SendDataPhase(*command_, tid, out->size, out->read, config_.dataChunk);
        if (status == Status::SourceFailed) {
            // Abandon the phase; a responder that honours Cancel still answers.
            EncodeCancel(tid, bytes);
            SendPacket(*command_, bytes);
            Result result = ReadResponse(tid, nullptr);
            if (result.status != Status::Ok)
                return Fail(Status::SourceFailed);
            result.status = Status::SourceFailed;
            return result;
        }
        if (status != Status::Ok)
            return Fail(status);
    }
    return ReadResponse(tid, in);
}

Result Initiator::ReadResponse(uint32_t tid, const DataIn* in) {
    bool dataDone = false;
    bool sinkFailed = false;
    for (;;) {
        PacketHeader header;
        Status status = ReadHeader(*command_, header, config_.timeoutMs);
        if (status != Status::Ok)
            return Fail(status);
        if (header.type == PT_StartData) {
            std::vector<uint8_t> body;
            StartData start;
            status = ReadBody(*command_, header, kMaxControlBody, body, config_.timeoutMs);
            if (status != Status::Ok)
                return Fail(status);
            if (!in || dataDone || !DecodeStartData(body, start) || start.transactionId != tid)
                return Fail(Status::Malformed);
            bool fits = start.totalLength <= in->maxSize;
            sinkFailed = !fits;
            DataSink sink = [&](const uint8_t* data, size_t size) {
                return fits && in->write(data, size);
            };
            DataPhaseResult phase =
                ReceiveDataPhase(*command_, tid, start.totalLength, sink, config_.timeoutMs);
            if (phase.status != Status::Ok)
                return Fail(phase.status);
            if (phase.cancelled)
                return Fail(Status::Malformed);
            sinkFailed = sinkFailed || phase.sinkRefused;
            dataDone = true;
            continue;
        }
        std::vector<uint8_t> body;
        status = ReadBody(*command_, header, kMaxControlBody, body, config_.timeoutMs);
        if (status != Status::Ok)
            return Fail(status);
        if (header.type == PT_EndData || header.type == PT_ProbeRequest ||
            header.type == PT_ProbeResponse)
            continue; // a stray empty End Data after a complete phase; probes belong elsewhere
        if (header.type != PT_OperationResponse)
            return Fail(Status::Malformed);
        Operation response;
        if (!DecodeOperationResponse(body, response) || response.transactionId != tid)
            return Fail(Status::Malformed);
        Result result;
        result.status = sinkFailed ? Status::SinkFailed : Status::Ok;
        result.code = response.code;
        result.params = std::move(response.params);
        return result;
    }
}

Result Initiator::TransactIn(uint16_t code, const std::vector<uint32_t>& params,
                             std::vector<uint8_t>& data, uint64_t maxSize) {
    data.clear();
    DataIn in;
    in.maxSize = maxSize;
    in.write = [&data](const uint8_t* bytes, size_t size) {
        data.insert(data.end(), bytes, bytes + size);
        return true;
    };
    return Transact(code, params, nullptr, &in);
}

Result Initiator::OpenSession(uint32_t sessionId) {
    std::lock_guard<std::mutex> lock(callMutex_);
    Result result = TransactLocked(OC_OpenSession, {sessionId}, nullptr, nullptr);
    if (result.status == Status::Ok &&
        (result.code == RC_OK || result.code == RC_SessionAlreadyOpen)) {
        sessionOpen_ = true;
        closing_ = false;
        nextTid_ = 1;
    }
    return result;
}

Result Initiator::CloseSession() {
    std::unique_lock<std::mutex> lock(callMutex_, std::defer_lock);
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    while (!lock.try_lock() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!lock.owns_lock()) {
        // Another thread's call is still running: end it by closing the transport.
        stopping_ = true;
        std::lock_guard<std::mutex> links(linkMutex_);
        if (command_)
            command_->Shutdown();
        if (event_)
            event_->Shutdown();
        return Result::Of(Status::Closed);
    }
    closing_ = true; // a camera may close its connections once the session ends
    Result result = TransactLocked(OC_CloseSession, {}, nullptr, nullptr);
    sessionOpen_ = false;
    return result;
}

void Initiator::ReportLost(Link link, Status status) {
    if (stopping_ || closing_ || lostReported_.exchange(true))
        return;
    if (onLost_)
        onLost_(link, status);
}

void Initiator::EventLoop() {
    std::vector<uint8_t> bytes;
    while (!stopping_) {
        PacketHeader header;
        bool idle = false;
        Status status = ReadHeader(*event_, header, kEventPollMs, &idle);
        if (status == Status::Timeout && idle) {
            if (!busy_ && command_->PeerClosed()) {
                ReportLost(Link::Command, Status::Closed);
                return;
            }
            continue;
        }
        std::vector<uint8_t> body;
        if (status == Status::Ok)
            status = ReadBody(*event_, header, kMaxControlBody, body, config_.timeoutMs);
        if (status != Status::Ok) {
            ReportLost(Link::Event, status);
            return;
        }
        if (header.type == PT_Event) {
            Operation op;
            if (DecodeEvent(body, op) && onEvent_) {
                Event event;
                event.code = op.code;
                event.transactionId = op.transactionId;
                event.params = std::move(op.params);
                onEvent_(event);
            }
        } else if (header.type == PT_ProbeRequest) {
            EncodeEmptyPacket(PT_ProbeResponse, bytes);
            SendPacket(*event_, bytes);
        }
        // Anything else on the event connection is skipped.
    }
}

Result Initiator::TransactDataset(uint16_t code, const std::vector<uint32_t>& params,
                                  const std::function<bool(const uint8_t*, size_t)>& unpack) {
    std::vector<uint8_t> data;
    Result result = TransactIn(code, params, data, config_.maxDatasetSize);
    if (result.ok() && !unpack(data.data(), data.size()))
        result.status = Status::Malformed;
    return result;
}

Result Initiator::GetDeviceInfo(DeviceInfo& info) {
    return TransactDataset(OC_GetDeviceInfo, {}, [&](const uint8_t* data, size_t size) {
        return UnpackDeviceInfo(data, size, info);
    });
}

Result Initiator::GetStorageIDs(std::vector<uint32_t>& ids) {
    return TransactDataset(OC_GetStorageIDs, {}, [&](const uint8_t* data, size_t size) {
        return UnpackU32Array(data, size, ids);
    });
}

Result Initiator::GetStorageInfo(uint32_t storageId, StorageInfo& info) {
    return TransactDataset(OC_GetStorageInfo, {storageId}, [&](const uint8_t* data, size_t size) {
        return UnpackStorageInfo(data, size, info);
    });
}

Result Initiator::GetNumObjects(uint32_t storageId, uint32_t format, uint32_t parent,
                                uint32_t& count) {
    Result result = Transact(OC_GetNumObjects, {storageId, format, parent});
    if (result.ok()) {
        if (result.params.empty())
            result.status = Status::Malformed;
        else
            count = result.params[0];
    }
    return result;
}

Result Initiator::GetObjectHandles(uint32_t storageId, uint32_t format, uint32_t parent,
                                   std::vector<uint32_t>& handles) {
    return TransactDataset(
        OC_GetObjectHandles, {storageId, format, parent},
        [&](const uint8_t* data, size_t size) { return UnpackU32Array(data, size, handles); });
}

Result Initiator::GetObjectInfo(uint32_t handle, ObjectInfo& info) {
    return TransactDataset(OC_GetObjectInfo, {handle}, [&](const uint8_t* data, size_t size) {
        return UnpackObjectInfo(data, size, info);
    });
}

Result Initiator::GetObject(uint32_t handle, const DataIn& in) {
    return Transact(OC_GetObject, {handle}, nullptr, &in);
}

Result Initiator::SendObjectInfo(uint32_t storageId, uint32_t parent, const ObjectInfo& info) {
    auto data = std::make_shared<std::vector<uint8_t>>();
    if (!PackObjectInfo(info, *data))
        return Result::Of(Status::Error);
    DataOut out;
    out.size = data->size();
    size_t offset = 0;
    out.read = [data, &offset](uint8_t* buffer, size_t count) {
        std::copy(data->begin() + offset, data->begin() + offset + count, buffer);
        offset += count;
        return true;
    };
    Result result = Transact(OC_SendObjectInfo, {storageId, parent}, &out);
    if (result.ok() && result.params.size() < 3)
        result.status = Status::Malformed;
    return result;
}

Result Initiator::SendObject(const DataOut& out) {
    return Transact(OC_SendObject, {}, &out);
}

Result Initiator::GetDevicePropDesc(uint16_t property, DevicePropDesc& desc) {
    std::vector<uint8_t> data;
    Result result = TransactIn(OC_GetDevicePropDesc, {property}, data, config_.maxDatasetSize);
    if (result.ok() && !UnpackDevicePropDesc(data.data(), data.size(), desc))
        result.status = Status::Malformed;
    return result;
}

Result Initiator::GetDevicePropValue(uint16_t property, uint16_t dataType, PropValue& value) {
    std::vector<uint8_t> data;
    Result result = TransactIn(OC_GetDevicePropValue, {property}, data, config_.maxDatasetSize);
    if (result.ok() && !UnpackPropValue(data.data(), data.size(), dataType, value))
        result.status = Status::Malformed;
    return result;
}

} // namespace ptp
