// PTP/IP packet encoders and decoders.
#include "ptp/ptpip.h"

#include "ptp/bytes.h"

namespace ptp {
namespace {

// Starts a packet: a length placeholder and the type. FinishPacket fills in the length.
ByteWriter BeginPacket(std::vector<uint8_t>& out, uint32_t type) {
    out.clear();
    ByteWriter w(out);
    w.U32(0);
    w.U32(type);
    return w;
}

void FinishPacket(std::vector<uint8_t>& out) {
    PutU32(out.data(), static_cast<uint32_t>(out.size()));
}

// FriendlyName: UCS-2LE with a terminating NUL and no count.
bool WriteFriendlyName(ByteWriter& w, const std::string& name) {
    std::u16string units;
    if (!Utf8ToUcs2(name, units) || units.size() > kMaxFriendlyNameUnits)
        return false;
    for (char16_t unit : units)
        w.U16(static_cast<uint16_t>(unit));
    w.U16(0);
    return true;
}

// Reads a FriendlyName that fills `size` bytes; stops at the first NUL.
bool ReadFriendlyName(ByteReader& r, size_t size, std::string& name) {
    if (size % 2 != 0)
        return false;
    std::u16string units;
    for (size_t i = 0; i < size / 2; ++i) {
        uint16_t unit;
        if (!r.U16(unit))
            return false;
        if (unit == 0) {
            r.Skip(size - 2 * (i + 1));
            break;
        }
        if (units.size() < kMaxFriendlyNameUnits)
            units.push_back(static_cast<char16_t>(unit));
    }
    name = Ucs2ToUtf8(units);
    return r.ok();
}

bool EncodeOperationLike(uint32_t type, uint32_t dataPhase, const Operation& op,
                         std::vector<uint8_t>& out) {
    if (op.params.size() > kMaxOperationParams)
        return false;
    ByteWriter w = BeginPacket(out, type);
    if (type == PT_OperationRequest)
        w.U32(dataPhase);
    w.U16(op.code);
    w.U32(op.transactionId);
    for (uint32_t p : op.params)
        w.U32(p);
    FinishPacket(out);
    return true;
}

bool DecodeOperationLike(ByteReader& r, Operation& op) {
    op = Operation();
    if (!r.U16(op.code) || !r.U32(op.transactionId))
        return false;
    if (r.remaining() % 4 != 0 || r.remaining() / 4 > kMaxOperationParams)
        return false;
    op.params.resize(r.remaining() / 4);
    for (uint32_t& p : op.params)
        r.U32(p);
    return r.ok();
}

// What Init Command Request and Ack share: the GUID, the friendly name, the protocol version.
bool WriteIntroduction(ByteWriter& w, const Guid& guid, const std::string& name, uint32_t version) {
    w.Bytes(guid.data(), guid.size());
    if (!WriteFriendlyName(w, name))
        return false;
    w.U32(version);
    return true;
}

// Reads those fields, which must fill what is left in `r`.
bool ReadIntroduction(ByteReader& r, Guid& guid, std::string& name, uint32_t& version) {
    const size_t size = r.remaining();
    return size >= 16 + 2 + 4 && r.Bytes(guid.data(), guid.size()) &&
           ReadFriendlyName(r, size - 16 - 4, name) && r.U32(version) && r.remaining() == 0;
}

} // namespace

bool EncodeInitCommandRequest(const InitCommandRequest& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_InitCommandRequest);
    if (!WriteIntroduction(w, p.guid, p.friendlyName, p.protocolVersion))
        return false;
    FinishPacket(out);
    return true;
}

bool EncodeInitCommandAck(const InitCommandAck& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_InitCommandAck);
    w.U32(p.connectionNumber);
    if (!WriteIntroduction(w, p.guid, p.friendlyName, p.protocolVersion))
        return false;
    FinishPacket(out);
    return true;
}

void EncodeInitEventRequest(const InitEventRequest& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_InitEventRequest);
    w.U32(p.connectionNumber);
    FinishPacket(out);
}

void EncodeInitEventAck(std::vector<uint8_t>& out) {
    EncodeEmptyPacket(PT_InitEventAck, out);
}

void EncodeInitFail(const InitFail& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_InitFail);
    w.U32(p.reason);
    FinishPacket(out);
}

bool EncodeOperationRequest(const OperationRequest& p, std::vector<uint8_t>& out) {
    return EncodeOperationLike(PT_OperationRequest, p.dataPhase, p.op, out);
}

bool EncodeOperationResponse(const Operation& p, std::vector<uint8_t>& out) {
    return EncodeOperationLike(PT_OperationResponse, 0, p, out);
}

bool EncodeEvent(const Operation& p, std::vector<uint8_t>& out) {
    return EncodeOperationLike(PT_Event, 0, p, out);
}

void EncodeStartData(const StartData& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_StartData);
    w.U32(p.transactionId);
    w.U64(p.totalLength);
    FinishPacket(out);
}

void EncodeDataPacket(uint32_t type, uint32_t transactionId, const uint8_t* payload, size_t size,
                      std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, type);
    w.U32(transactionId);
    w.Bytes(payload, size);
    FinishPacket(out);
}

void EncodeCancel(uint32_t transactionId, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_Cancel);
    w.U32(transactionId);
    FinishPacket(out);
}

void EncodeEmptyPacket(uint32_t type, std::vector<uint8_t>& out) {
    BeginPacket(out, type);
    FinishPacket(out);
}

bool DecodeHeader(const uint8_t* data, PacketHeader& header) {
    header.length = GetU32(data);
    header.type = GetU32(data + 4);
    return header.length >= kPacketHeaderSize;
}

bool DecodePacket(const uint8_t* data, size_t size, Packet& packet) {
    PacketHeader header;
    if (size < kPacketHeaderSize || !DecodeHeader(data, header) || header.length != size)
        return false;
    if (!IsDataType(header.type) && header.bodySize() > kMaxControlBody)
        return false;
    packet.type = header.type;
    packet.body.assign(data + kPacketHeaderSize, data + size);
    return true;
}

bool DecodeInitCommandRequest(const std::vector<uint8_t>& body, InitCommandRequest& p) {
    ByteReader r(body);
    return ReadIntroduction(r, p.guid, p.friendlyName, p.protocolVersion);
}

bool DecodeInitCommandAck(const std::vector<uint8_t>& body, InitCommandAck& p) {
    ByteReader r(body);
    return r.U32(p.connectionNumber) &&
           ReadIntroduction(r, p.guid, p.friendlyName, p.protocolVersion);
}

bool DecodeInitEventRequest(const std::vector<uint8_t>& body, InitEventRequest& p) {
    ByteReader r(body);
    return r.U32(p.connectionNumber) && r.remaining() == 0;
}

bool DecodeInitFail(const std::vector<uint8_t>& body, InitFail& p) {
    ByteReader r(body);
    // Some responders send Init Fail without a reason.
    if (body.empty()) {
        p.reason = IFR_Unspecified;
        return true;
    }
    return r.U32(p.reason) && r.remaining() == 0;
}

bool DecodeOperationRequest(const std::vector<uint8_t>& body, OperationRequest& p) {
    ByteReader r(body);
    return r.U32(p.dataPhase) && DecodeOperationLike(r, p.op);
}

bool DecodeOperationResponse(const std::vector<uint8_t>& body, Operation& p) {
    ByteReader r(body);
    return DecodeOperationLike(r, p);
}

bool DecodeEvent(const std::vector<uint8_t>& body, Operation& p) {
    ByteReader r(body);
    return DecodeOperationLike(r, p);
}

bool DecodeStartData(const std::vector<uint8_t>& body, StartData& p) {
    ByteReader r(body);
    return r.U32(p.transactionId) && r.U64(p.totalLength) && r.remaining() == 0;
}

bool DecodeDataChunk(const std::vector<uint8_t>& body, DataChunk& p) {
    ByteReader r(body);
    if (!r.U32(p.transactionId))
        return false;
    p.payloadOffset = r.offset();
    p.payloadSize = r.remaining();
    return true;
}

bool DecodeCancel(const std::vector<uint8_t>& body, uint32_t& transactionId) {
    ByteReader r(body);
    return r.U32(transactionId) && r.remaining() == 0;
}

} // namespace ptp
