// The virtual camera's PTP responder: handshake, session loop, operations and faults.
#include "vcam/responder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ptp/codes.h"

namespace vcam {

using namespace ptp;

namespace {

const int kIdleSliceMs = 200;  // the session loop checks Stop() this often
const int kEventFlushMs = 200; // a power-down event gets this long before the drop
const size_t kMaxObjectInfo = 64 * 1024;
const size_t kSendChunk = 64 * 1024;

std::atomic<uint32_t> nextConnectionNumber{1};

const uint16_t kOperations[] = {
    OC_GetDeviceInfo,      OC_OpenSession,    OC_CloseSession,     OC_GetStorageIDs,
    OC_GetStorageInfo,     OC_GetNumObjects,  OC_GetObjectHandles, OC_GetObjectInfo,
    OC_GetObject,          OC_SendObjectInfo, OC_SendObject,       OC_GetDevicePropDesc,
    OC_GetDevicePropValue,
};

bool IsDataOut(uint16_t code) {
    return code == OC_SendObjectInfo || code == OC_SendObject || code == OC_SetDevicePropValue;
}

bool Supported(uint16_t code) {
    return std::find(std::begin(kOperations), std::end(kOperations), code) != std::end(kOperations);
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

} // namespace

struct Responder::Request {
    uint16_t code = 0;
    uint32_t tid = 0;
    std::vector<uint32_t> params;
    bool dataOut = false;      // a data-out phase follows the request
    bool dataConsumed = false; // ... and has been read
    bool cancelled = false;    // the initiator cancelled that phase

    uint32_t P(size_t i) const { return i < params.size() ? params[i] : 0; }
};

Responder::Responder(const Profile& profile, Card& card, const std::atomic<bool>* externalStop)
    : profile_(profile), card_(card), externalStop_(externalStop) {}

ptp::Status Responder::Serve(Connection& command, const EventAcceptor& acceptEvent) {
    ConnectionPtr owned;
    return Run(command, [&]() -> Connection* {
        owned = acceptEvent ? acceptEvent() : nullptr;
        return owned.get();
    });
}

ptp::Status Responder::Serve(Connection& command, Connection& event) {
    return Run(command, [&]() -> Connection* { return &event; });
}

void Responder::Trace(const std::string& line) {
    if (log_)
        log_(line);
}

ptp::Status Responder::Run(Connection& command, const std::function<Connection*()>& event) {
    command_ = &command;
    event_ = nullptr;
    struct ShutdownOnReturn {
        Responder& r;
        ~ShutdownOnReturn() {
            r.upload_.reset();
            r.command_->Shutdown();
            if (r.event_)
                r.event_->Shutdown();
        }
    } shutdownOnReturn{*this};

    sessionOpen_ = false;
    cardPresent_ = profile_.cardPresent;
    pending_ = Pending();
    occurrences_.clear();
    bytesReceived_ = 0;
    powerDownFired_ = storeRemovedFired_ = dropFired_ = responseFired_ = false;
    if (cardPresent_ && !card_.Scan()) {
        Trace("card folder " + card_.folder() + " cannot be read: no card");
        cardPresent_ = false;
    }

    std::vector<uint8_t> bytes;
    Packet packet;
    Status status = ReadPacket(command, packet, peerTimeoutMs_);
    if (status != Status::Ok)
        return status;
    InitCommandRequest request;
    if (packet.type != PT_InitCommandRequest || !DecodeInitCommandRequest(packet.body, request)) {
        EncodeInitFail({IFR_Unspecified}, bytes);
        SendPacket(command, bytes);
        return Status::Malformed;
    }
    InitCommandAck ack;
    ack.connectionNumber = nextConnectionNumber++;
    for (size_t i = 0; i < ack.guid.size(); ++i)
        ack.guid[i] = static_cast<uint8_t>(0x56 + i * 7 + profile_.serialNumber.size());
    ack.friendlyName = profile_.model;
    if (!EncodeInitCommandAck(ack, bytes)) {
        ack.friendlyName = "Virtual camera";
        EncodeInitCommandAck(ack, bytes);
    }
    if ((status = SendPacket(command, bytes)) != Status::Ok)
        return status;
    Trace("initiator \"" + request.friendlyName + "\" connected");

    event_ = event();
    if (!event_)
        return Status::Error;
    status = ReadPacket(*event_, packet, peerTimeoutMs_);
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
    if ((status = SendPacket(*event_, bytes)) != Status::Ok)
        return status;

    // Answers the initiator's probes on the event connection while the session runs.
    struct ProbeAnswerer {
        Responder& r;
        std::atomic<bool> done{false};
        std::thread thread;
        explicit ProbeAnswerer(Responder& responder) : r(responder) {
            thread = std::thread([this] {
                std::vector<uint8_t> reply;
                EncodeEmptyPacket(PT_ProbeResponse, reply);
                while (!done) {
                    Packet probe;
                    bool idle = false;
                    Status s = ReadPacket(*r.event_, probe, kIdleSliceMs, &idle);
                    if (s == Status::Timeout && idle)
                        continue;
                    if (s != Status::Ok)
                        return;
                    if (probe.type == PT_ProbeRequest) {
                        std::lock_guard<std::mutex> lock(r.eventMutex_);
                        SendPacket(*r.event_, reply);
                    }
                }
            });
        }
        ~ProbeAnswerer() {
            done = true;
            r.event_->Shutdown();
            thread.join();
        }
    } probeAnswerer(*this);

    while (!stopped()) {
        PacketHeader header;
        bool idle = false;
        status = ReadHeader(command, header, kIdleSliceMs, &idle);
        if (status == Status::Timeout && idle)
            continue;
        if (status == Status::Closed)
            return Status::Ok; // the initiator went away: the normal end of a session
        if (status != Status::Ok)
            return status;
        std::vector<uint8_t> body;
        status = ReadBody(command, header, kMaxControlBody, body, peerTimeoutMs_);
        if (status != Status::Ok)
            return status;
        if (header.type == PT_EndData || header.type == PT_Cancel ||
            header.type == PT_ProbeRequest || header.type == PT_ProbeResponse)
            continue; // stray End Data after a complete phase, a late Cancel, probes
        OperationRequest op;
        if (header.type != PT_OperationRequest || !DecodeOperationRequest(body, op)) {
            Trace("protocol error: packet type " + Hex(header.type));
            return Status::Malformed;
        }
        Next next = Handle(op);
        if (next == Next::Drop)
            return Status::Closed;
        if (next == Next::Fail)
            return Status::Malformed;
    }
    return Status::Closed;
}

bool Responder::Fires(const Trigger& trigger, uint16_t code, uint32_t occurrence) const {
    return trigger.operation != 0 && trigger.operation == code &&
           (trigger.occurrence == 0 || trigger.occurrence == occurrence);
}

void Responder::Pause(uint32_t milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stopped() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min<uint32_t>(milliseconds, 20)));
}

void Responder::SendEvent(uint16_t code, uint32_t transactionId, std::vector<uint32_t> params) {
    Operation event;
    event.code = code;
    event.transactionId = transactionId;
    event.params = std::move(params);
    std::vector<uint8_t> bytes;
    EncodeEvent(event, bytes);
    std::lock_guard<std::mutex> lock(eventMutex_);
    SendPacket(*event_, bytes);
}

Responder::Next Responder::PowerDown(uint32_t transactionId) {
    Trace("fault: power-down event, reason " + std::to_string(profile_.powerDownReason) +
          ", data " + std::to_string(profile_.powerDownData));
    SendEvent(EC_Vandrel_PowerDown, transactionId,
              {profile_.powerDownReason, profile_.powerDownData});
    if (!profile_.powerDownDisconnect)
        return Next::Continue;
    Pause(kEventFlushMs);
    DropConnections();
    return Next::Drop;
}

void Responder::DropConnections() {
    upload_.reset(); // a partial file is gone before the initiator sees the connection drop
    command_->Shutdown();
    event_->Shutdown();
}

void Responder::RemoveCard(uint32_t transactionId) {
    Trace("fault: card removed");
    cardPresent_ = false;
    SendEvent(EC_StoreRemoved, transactionId, {kStorageId});
}

Responder::Next Responder::CountBytes(uint32_t transactionId, uint64_t bytes,
                                      uint16_t& overrideCode) {
    bytesReceived_ += bytes;
    auto crossed = [this](const Trigger& trigger, bool& fired) {
        if (fired || trigger.afterBytes == kNever || bytesReceived_ < trigger.afterBytes)
            return false;
        fired = true;
        return true;
    };
    if (crossed(profile_.drop, dropFired_)) {
        Trace("fault: connection dropped after " + std::to_string(bytesReceived_) + " bytes");
        DropConnections();
        return Next::Drop;
    }
    if (crossed(profile_.powerDown, powerDownFired_) && PowerDown(transactionId) == Next::Drop)
        return Next::Drop;
    if (crossed(profile_.storeRemoved, storeRemovedFired_)) {
        RemoveCard(transactionId);
        overrideCode = RC_StoreNotAvailable;
    }
    if (crossed(profile_.responseFault, responseFired_) && !overrideCode)
        overrideCode = profile_.responseCode;
    return Next::Continue;
}

Responder::Next Responder::Handle(const OperationRequest& op) {
    Request r;
    r.code = op.op.code;
    r.tid = op.op.transactionId;
    r.params = op.op.params;
    r.dataOut = IsDataOut(r.code) || (!Supported(r.code) && op.dataPhase == DP_DataOut);
    uint32_t occurrence = ++occurrences_[r.code];
    const char* name = OperationName(r.code);
    Trace(std::string(*name ? name : "operation") + " " + Hex(r.code));

    if (profile_.delayMs && (profile_.delayOperation == 0 || profile_.delayOperation == r.code))
        Pause(profile_.delayMs);
    if (Fires(profile_.drop, r.code, occurrence)) {
        Trace("fault: connection dropped");
        return Next::Drop;
    }
    if (Fires(profile_.powerDown, r.code, occurrence) && PowerDown(r.tid) == Next::Drop)
        return Next::Drop;
    if (Fires(profile_.storeRemoved, r.code, occurrence))
        RemoveCard(r.tid);
    if (Fires(profile_.responseFault, r.code, occurrence)) {
        Trace("fault: response " + Hex(profile_.responseCode));
        return Respond(r, profile_.responseCode);
    }
    return Dispatch(r);
}

Responder::Next Responder::Dispatch(Request& r) {
    if (!sessionOpen_ && r.code != OC_GetDeviceInfo && r.code != OC_OpenSession)
        return Respond(r, RC_SessionNotOpen);
    switch (r.code) {
    case OC_GetDeviceInfo:
        return GetDeviceInfo(r);
    case OC_OpenSession:
        return OpenSession(r);
    case OC_CloseSession:
        sessionOpen_ = false;
        pending_ = Pending();
        return Respond(r, RC_OK);
    case OC_GetStorageIDs:
        return GetStorageIDs(r);
    case OC_GetStorageInfo:
        return GetStorageInfo(r);
    case OC_GetNumObjects:
        return GetNumObjects(r);
    case OC_GetObjectHandles:
        return GetObjectHandles(r);
    case OC_GetObjectInfo:
        return GetObjectInfo(r);
    case OC_GetObject:
        return GetObject(r);
    case OC_SendObjectInfo:
        return SendObjectInfo(r);
    case OC_SendObject:
        return SendObject(r);
    case OC_GetDevicePropDesc:
        return GetDevicePropDesc(r);
    case OC_GetDevicePropValue:
        return GetDevicePropValue(r);
    default:
        return Respond(r, RC_OperationNotSupported);
    }
}

Responder::Next Responder::Respond(Request& r, uint16_t code, std::vector<uint32_t> params) {
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
    if (code != RC_OK)
        Trace("  -> " + std::string(ResponseName(code)) + " " + Hex(code));
    return SendPacket(*command_, bytes) == Status::Ok ? Next::Continue : Next::Fail;
}

Responder::Next Responder::SendData(Request& r, const std::vector<uint8_t>& data) {
    size_t offset = 0;
    DataSource source = [&](uint8_t* buffer, size_t count) {
        std::copy(data.begin() + offset, data.begin() + offset + count, buffer);
        offset += count;
        return true;
    };
    if (SendDataPhase(*command_, r.tid, data.size(), source, kSendChunk) != Status::Ok)
        return Next::Fail;
    return Respond(r, RC_OK);
}

Responder::Next Responder::ReadStartData(Request& r, StartData& start) {
    r.dataConsumed = true;
    Packet packet;
    if (ReadPacket(*command_, packet, peerTimeoutMs_) != Status::Ok)
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
    return Next::Continue;
}

Responder::Next Responder::ReceiveData(Request& r, std::vector<uint8_t>* data, size_t maxSize,
                                       bool& tooBig) {
    tooBig = false;
    StartData start;
    Next next = ReadStartData(r, start);
    if (next != Next::Continue || r.cancelled)
        return next;
    tooBig = data && start.totalLength > maxSize;
    DataSink sink = [&](const uint8_t* bytes, size_t count) {
        if (data && !tooBig)
            data->insert(data->end(), bytes, bytes + count);
        return true;
    };
    DataPhaseResult result =
        ReceiveDataPhase(*command_, r.tid, start.totalLength, sink, peerTimeoutMs_);
    if (result.status != Status::Ok)
        return Next::Fail;
    r.cancelled = result.cancelled;
    return Next::Continue;
}

Responder::Next Responder::Drain(Request& r) {
    bool tooBig;
    return ReceiveData(r, nullptr, 0, tooBig);
}

Responder::Next Responder::OpenSession(Request& r) {
    if (sessionOpen_)
        return Respond(r, RC_SessionAlreadyOpen);
    if (r.P(0) == 0)
        return Respond(r, RC_InvalidParameter);
    sessionOpen_ = true;
    pending_ = Pending();
    if (cardPresent_)
        card_.Scan();
    return Respond(r, RC_OK);
}

Responder::Next Responder::GetDeviceInfo(Request& r) {
    DeviceInfo info;
    info.standardVersion = 100;
    info.operationsSupported.assign(std::begin(kOperations), std::end(kOperations));
    info.eventsSupported = {EC_StoreRemoved, EC_Vandrel_PowerDown};
    info.devicePropertiesSupported = {DPC_BatteryLevel};
    if (profile_.vendorProperties) {
        info.devicePropertiesSupported.insert(
            info.devicePropertiesSupported.end(),
            {DPC_Vandrel_BatteryState, DPC_Vandrel_FirmwareVersion, DPC_Vandrel_ModelName});
    }
    info.imageFormats = {OFC_Undefined, OFC_Association, OFC_Text, OFC_EXIF_JPEG};
    info.manufacturer = profile_.manufacturer;
    info.model = profile_.model;
    info.deviceVersion = profile_.firmware;
    info.serialNumber = profile_.serialNumber;
    std::vector<uint8_t> data;
    if (!PackDeviceInfo(info, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

uint16_t Responder::CheckStorage(uint32_t storageId, bool allowAll) const {
    if (!cardPresent_)
        return RC_StoreNotAvailable;
    if (storageId == kStorageId || (allowAll && storageId == kAllStorages))
        return RC_OK;
    return RC_InvalidStorageID;
}

Responder::Next Responder::GetStorageIDs(Request& r) {
    std::vector<uint32_t> ids;
    if (cardPresent_)
        ids.push_back(kStorageId);
    std::vector<uint8_t> data;
    PackU32Array(ids, data);
    return SendData(r, data);
}

Responder::Next Responder::GetStorageInfo(Request& r) {
    uint16_t check = CheckStorage(r.P(0), false);
    if (check != RC_OK)
        return Respond(r, check);
    StorageInfo info;
    info.storageType = ST_RemovableRAM;
    info.filesystemType = FST_GenericHierarchical;
    info.accessCapability = profile_.writeProtected ? AC_ReadOnly : AC_ReadWrite;
    info.maxCapacity = card_.capacity();
    info.freeSpaceInBytes = card_.freeSpace();
    info.freeSpaceInImages = 0xFFFFFFFF;
    info.storageDescription = "Memory card";
    info.volumeLabel = profile_.volumeLabel;
    std::vector<uint8_t> data;
    if (!PackStorageInfo(info, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

uint16_t Responder::Select(const Request& r, std::vector<uint32_t>& handles) const {
    uint16_t check = CheckStorage(r.P(0), true);
    if (check != RC_OK)
        return check;
    uint32_t parent = r.P(2);
    if (parent != 0 && parent != kRootParent) {
        const CardObject* folder = card_.Find(parent);
        if (!folder || !folder->folder)
            return RC_InvalidParentObject;
    }
    for (const CardObject* object : card_.Objects()) {
        bool inParent = parent == 0 || object->parent == (parent == kRootParent ? 0 : parent);
        if (inParent && (r.P(1) == 0 || object->format == r.P(1)))
            handles.push_back(object->handle);
    }
    return RC_OK;
}

Responder::Next Responder::GetNumObjects(Request& r) {
    std::vector<uint32_t> handles;
    uint16_t code = Select(r, handles);
    if (code != RC_OK)
        return Respond(r, code);
    return Respond(r, RC_OK, {static_cast<uint32_t>(handles.size())});
}

Responder::Next Responder::GetObjectHandles(Request& r) {
    std::vector<uint32_t> handles;
    uint16_t code = Select(r, handles);
    if (code != RC_OK)
        return Respond(r, code);
    std::vector<uint8_t> data;
    PackU32Array(handles, data);
    return SendData(r, data);
}

ObjectInfo Responder::InfoOf(const CardObject& object) const {
    ObjectInfo info;
    info.storageId = kStorageId;
    info.objectFormat = object.format;
    info.objectCompressedSize =
        object.size >= 0xFFFFFFFFull ? kSizeUnknown32 : static_cast<uint32_t>(object.size);
    info.parentObject = object.parent;
    info.associationType = object.folder ? AT_GenericFolder : AT_Undefined;
    info.filename = object.name;
    return info;
}

Responder::Next Responder::GetObjectInfo(Request& r) {
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    const CardObject* object = card_.Find(r.P(0));
    if (!object)
        return Respond(r, RC_InvalidObjectHandle);
    std::vector<uint8_t> data;
    if (!PackObjectInfo(InfoOf(*object), data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

Responder::Next Responder::GetObject(Request& r) {
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    const CardObject* object = card_.Find(r.P(0));
    if (!object || object->folder)
        return Respond(r, RC_InvalidObjectHandle);
    uint64_t offset = 0;
    DataSource source = [&](uint8_t* buffer, size_t count) {
        bool ok = card_.Read(*object, offset, buffer, count);
        offset += count;
        return ok;
    };
    Status status = SendDataPhase(*command_, r.tid, object->size, source, kSendChunk);
    if (status != Status::Ok) {
        // A file that shrank while being sent cannot be finished: the phase is broken.
        Trace("GetObject: reading " + object->path + " failed");
        return Next::Fail;
    }
    return Respond(r, RC_OK);
}

Responder::Next Responder::SendObjectInfo(Request& r) {
    std::vector<uint8_t> data;
    bool tooBig = false;
    Next next = ReceiveData(r, &data, kMaxObjectInfo, tooBig);
    if (next != Next::Continue)
        return next;
    pending_ = Pending(); // a new ObjectInfo replaces any earlier one
    if (r.cancelled)
        return Respond(r, RC_TransactionCancelled);
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    uint32_t storage = r.P(0);
    if (storage != 0 && storage != kAllStorages && storage != kStorageId)
        return Respond(r, RC_InvalidStorageID);
    if (profile_.writeProtected)
        return Respond(r, RC_StoreReadOnly);
    ObjectInfo info;
    if (tooBig || !UnpackObjectInfo(data.data(), data.size(), info))
        return Respond(r, RC_InvalidDataset);
    uint32_t parent = r.P(1) == kRootParent ? 0 : r.P(1);
    if (parent != 0) {
        const CardObject* folder = card_.Find(parent);
        if (!folder || !folder->folder)
            return Respond(r, RC_InvalidParentObject);
    }
    if (!IsSafeObjectName(info.filename)) {
        Trace("refused name \"" + info.filename + "\"");
        return Respond(r, RC_InvalidParameter);
    }
    if (card_.NameTaken(parent, info.filename)) {
        Trace("refused existing name \"" + info.filename + "\"");
        return Respond(r, RC_ObjectWriteProtected);
    }
    uint32_t parentOut = parent == 0 ? kRootParent : parent;
    if (info.objectFormat == OFC_Association) {
        uint32_t handle = card_.ReserveHandle();
        if (!card_.CreateFolder(handle, parent, info.filename))
            return Respond(r, RC_GeneralError);
        pending_.valid = true;
        pending_.folder = true;
        pending_.handle = handle;
        return Respond(r, RC_OK, {kStorageId, parentOut, handle});
    }
    uint64_t needed =
        info.objectCompressedSize == kSizeUnknown32 ? 0x100000000ull : info.objectCompressedSize;
    if (needed > card_.freeSpace())
        return Respond(r, RC_StoreFull);
    pending_.valid = true;
    pending_.handle = card_.ReserveHandle();
    pending_.parent = parent;
    pending_.name = info.filename;
    pending_.format = info.objectFormat;
    pending_.size = info.objectCompressedSize;
    return Respond(r, RC_OK, {kStorageId, parentOut, pending_.handle});
}

Responder::Next Responder::SendObject(Request& r) {
    Pending pending = pending_;
    pending_ = Pending();
    if (!pending.valid)
        return Respond(r, RC_NoValidObjectInfo);
    if (pending.folder || !cardPresent_)
        return Respond(r, cardPresent_ ? RC_OK : RC_StoreNotAvailable);

    StartData start;
    Next next = ReadStartData(r, start);
    if (next != Next::Continue)
        return next;
    if (r.cancelled)
        return Respond(r, RC_TransactionCancelled);
    uint64_t total = start.totalLength;
    uint16_t refusal = RC_OK;
    if (pending.size != kSizeUnknown32 ? total != pending.size : total < kSizeUnknown32)
        refusal = RC_IncompleteTransfer;
    else if (total > card_.freeSpace())
        refusal = RC_StoreFull;
    std::unique_ptr<Upload>& upload = upload_;
    upload.reset();
    if (refusal == RC_OK) {
        upload = card_.BeginUpload(pending.handle, pending.parent, pending.name, pending.format);
        if (!upload)
            refusal = RC_GeneralError;
    }

    uint16_t overrideCode = 0;
    bool writeFailed = false;
    DataSink sink = [&](const uint8_t* bytes, size_t count) {
        if (upload && !overrideCode && !writeFailed && !upload->Write(bytes, count))
            writeFailed = true;
        next = CountBytes(r.tid, count, overrideCode);
        return next == Next::Continue;
    };
    DataPhaseResult result = ReceiveDataPhase(*command_, r.tid, total, sink, peerTimeoutMs_);
    if (next == Next::Drop)
        return Next::Drop; // the upload's temporary file goes with it
    if (result.status != Status::Ok)
        return Next::Fail;
    uint16_t code = RC_OK;
    if (result.cancelled)
        code = RC_TransactionCancelled;
    else if (overrideCode)
        code = overrideCode;
    else if (refusal != RC_OK)
        code = refusal;
    else if (writeFailed)
        code = RC_GeneralError;
    if (code == RC_OK && !upload->Commit())
        code = RC_GeneralError;
    upload.reset(); // an uncommitted file is gone before the initiator hears of it
    if (code == RC_OK)
        Trace("stored " + pending.name + " (" + std::to_string(total) + " bytes)");
    return Respond(r, code);
}

bool Responder::PropertyListed(uint16_t code) const {
    if (code == DPC_BatteryLevel)
        return true;
    return profile_.vendorProperties &&
           (code == DPC_Vandrel_BatteryState || code == DPC_Vandrel_FirmwareVersion ||
            code == DPC_Vandrel_ModelName);
}

bool Responder::BuildPropDesc(uint16_t code, DevicePropDesc& desc) const {
    if (!PropertyListed(code))
        return false;
    desc = DevicePropDesc();
    desc.propertyCode = code;
    desc.getSet = 0;
    switch (code) {
    case DPC_BatteryLevel:
        desc.dataType = DTC_UINT8;
        desc.factoryDefault = PropValue::Unsigned(DTC_UINT8, 100);
        desc.current = PropValue::Unsigned(DTC_UINT8, profile_.batteryLevel);
        desc.formFlag = DPFF_Range;
        desc.rangeMin = PropValue::Unsigned(DTC_UINT8, 0);
        desc.rangeMax = PropValue::Unsigned(DTC_UINT8, 100);
        desc.rangeStep = PropValue::Unsigned(DTC_UINT8, 1);
        return true;
    case DPC_Vandrel_BatteryState:
        desc.dataType = DTC_UINT32;
        desc.factoryDefault = PropValue::Unsigned(DTC_UINT32, 1);
        desc.current = PropValue::Unsigned(DTC_UINT32, profile_.batteryState);
        return true;
    case DPC_Vandrel_FirmwareVersion:
        desc.dataType = DTC_UINT32;
        desc.factoryDefault = PropValue::Unsigned(DTC_UINT32, profile_.firmwareVersion);
        desc.current = desc.factoryDefault;
        return true;
    default: // DPC_Vandrel_ModelName
        desc.dataType = DTC_STR;
        desc.factoryDefault = PropValue::String(profile_.model);
        desc.current = desc.factoryDefault;
        return true;
    }
}

Responder::Next Responder::GetDevicePropDesc(Request& r) {
    DevicePropDesc desc;
    std::vector<uint8_t> data;
    if (!BuildPropDesc(static_cast<uint16_t>(r.P(0)), desc) || r.P(0) > 0xFFFF)
        return Respond(r, RC_DevicePropNotSupported);
    if (!PackDevicePropDesc(desc, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

Responder::Next Responder::GetDevicePropValue(Request& r) {
    DevicePropDesc desc;
    std::vector<uint8_t> data;
    if (!BuildPropDesc(static_cast<uint16_t>(r.P(0)), desc) || r.P(0) > 0xFFFF)
        return Respond(r, RC_DevicePropNotSupported);
    if (!PackPropValue(desc.current, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

} // namespace vcam
