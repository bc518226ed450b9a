// PTP/IP packet encoders, decoders and the framing of packets and data phases on a connection.
#include "ptp/ptpip.h"

#include <algorithm>

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

bool IsDataType(uint32_t type) {
    return type == PT_Data || type == PT_EndData;
}

} // namespace

bool EncodeInitCommandRequest(const InitCommandRequest& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_InitCommandRequest);
    w.Bytes(p.guid.data(), p.guid.size());
    if (!WriteFriendlyName(w, p.friendlyName))
        return false;
    w.U32(p.protocolVersion);
    FinishPacket(out);
    return true;
}

bool EncodeInitCommandAck(const InitCommandAck& p, std::vector<uint8_t>& out) {
    ByteWriter w = BeginPacket(out, PT_InitCommandAck);
    w.U32(p.connectionNumber);
    w.Bytes(p.guid.data(), p.guid.size());
    if (!WriteFriendlyName(w, p.friendlyName))
        return false;
    w.U32(p.protocolVersion);
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
    if (body.size() < 16 + 2 + 4 || !r.Bytes(p.guid.data(), p.guid.size()))
        return false;
    if (!ReadFriendlyName(r, body.size() - 16 - 4, p.friendlyName))
        return false;
    return r.U32(p.protocolVersion) && r.remaining() == 0;
}

bool DecodeInitCommandAck(const std::vector<uint8_t>& body, InitCommandAck& p) {
    ByteReader r(body);
    if (body.size() < 4 + 16 + 2 + 4 || !r.U32(p.connectionNumber) ||
        !r.Bytes(p.guid.data(), p.guid.size()))
        return false;
    if (!ReadFriendlyName(r, body.size() - 4 - 16 - 4, p.friendlyName))
        return false;
    return r.U32(p.protocolVersion) && r.remaining() == 0;
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

Status SendPacket(Connection& connection, const std::vector<uint8_t>& packet) {
    return connection.Send(packet);
}

Status ReadHeader(Connection& connection, PacketHeader& header, int timeoutMs, bool* idle) {
    return ReadHeader(connection, header, Deadline(timeoutMs), idle);
}

Status ReadHeader(Connection& connection, PacketHeader& header, const Deadline& deadline,
                  bool* idle) {
    uint8_t bytes[kPacketHeaderSize];
    size_t received = 0;
    Status status = connection.Receive(bytes, sizeof bytes, deadline, &received);
    if (idle)
        *idle = received == 0;
    if (status != Status::Ok)
        return status;
    return DecodeHeader(bytes, header) ? Status::Ok : Status::Malformed;
}

Status AwaitHeader(Connection& connection, PacketHeader& header, int idleMs, int restMs,
                   bool* idle) {
    uint8_t bytes[kPacketHeaderSize];
    size_t received = 0;
    Status status = connection.ReceiveSome(bytes, sizeof bytes, received, idleMs);
    if (idle)
        *idle = received == 0;
    if (status == Status::Ok && received < sizeof bytes)
        status = connection.Receive(bytes + received, sizeof bytes - received,
                                    Deadline(restMs, restMs, 0));
    if (status != Status::Ok)
        return status;
    return DecodeHeader(bytes, header) ? Status::Ok : Status::Malformed;
}

Status ReadBody(Connection& connection, const PacketHeader& header, size_t maxBody,
                std::vector<uint8_t>& body, int timeoutMs) {
    return ReadBody(connection, header, maxBody, body, Deadline(timeoutMs));
}

Status ReadBody(Connection& connection, const PacketHeader& header, size_t maxBody,
                std::vector<uint8_t>& body, const Deadline& deadline) {
    if (header.bodySize() > maxBody)
        return Status::Malformed;
    body.resize(header.bodySize());
    if (body.empty())
        return Status::Ok;
    return connection.Receive(body.data(), body.size(), deadline);
}

Status ReadPacket(Connection& connection, Packet& packet, int timeoutMs, bool* idle) {
    return ReadPacket(connection, packet, Deadline(timeoutMs), idle);
}

Status ReadPacket(Connection& connection, Packet& packet, const Deadline& deadline, bool* idle) {
    PacketHeader header;
    Status status = ReadHeader(connection, header, deadline, idle);
    if (status != Status::Ok)
        return status;
    packet.type = header.type;
    return ReadBody(connection, header, kMaxControlBody, packet.body, deadline);
}

namespace {

// Sends Start Data and the Data packets; without a deadline each send waits as long as the
// connection's send timeout allows.
Status SendPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                 const DataSource& source, size_t chunk, const Deadline* deadline,
                 const std::vector<uint8_t>& prefix) {
    auto put = [&](const std::vector<uint8_t>& packet) {
        return deadline ? connection.Send(packet.data(), packet.size(), *deadline)
                        : connection.Send(packet);
    };
    std::vector<uint8_t> packet(prefix), start;
    EncodeStartData({transactionId, total}, start);
    packet.insert(packet.end(), start.begin(), start.end());
    chunk = std::max<size_t>(chunk, 1);
    // What goes before the first Data packet is held back in front of it when the whole phase
    // fits that packet: every write wakes the other side, and under Wine every send is a
    // request to its server.
    size_t head = packet.size();
    if (total > kShortPhase || total > chunk) {
        Status status = put(packet);
        if (status != Status::Ok)
            return status;
        head = 0;
    }
    uint64_t sent = 0;
    do {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(chunk, total - sent));
        bool last = sent + piece == total;
        packet.resize(head + kDataPacketPrefix + piece);
        uint8_t* data = packet.data() + head;
        if (piece && !source(data + kDataPacketPrefix, piece)) {
            packet.resize(head); // what was held back still goes
            Status status = head ? put(packet) : Status::Ok;
            return status == Status::Ok ? Status::SourceFailed : status;
        }
        PutU32(data, static_cast<uint32_t>(kDataPacketPrefix + piece));
        PutU32(data + 4, last ? PT_EndData : PT_Data);
        PutU32(data + 8, transactionId);
        Status status = put(packet);
        if (status != Status::Ok)
            return status;
        head = 0;
        sent += piece;
    } while (sent < total);
    return Status::Ok;
}

// Receives a data phase. A refusing sink ends it at once unless `drainRefused`, which reads
// and drops the rest instead.
DataPhaseResult ReceivePhase(Connection& connection, uint32_t transactionId, uint64_t total,
                             const DataSink& sink, const Deadline& deadline,
                             std::vector<uint8_t>& buffer, size_t piece, bool drainRefused) {
    DataPhaseResult result;
    piece = std::max<size_t>(piece, 1);
    while (result.received < total) {
        PacketHeader header;
        result.status = ReadHeader(connection, header, deadline);
        if (result.status != Status::Ok)
            return result;
        if (header.type == PT_Cancel) {
            std::vector<uint8_t> body;
            uint32_t cancelled = 0;
            result.status = ReadBody(connection, header, kMaxControlBody, body, deadline);
            if (result.status == Status::Ok && DecodeCancel(body, cancelled) &&
                cancelled == transactionId) {
                result.cancelled = true;
                return result;
            }
            result.status = result.status == Status::Ok ? Status::Malformed : result.status;
            return result;
        }
        if (!IsDataType(header.type) || header.bodySize() < 4) {
            result.status = Status::Malformed;
            return result;
        }
        uint8_t tid[4];
        result.status = connection.Receive(tid, 4, deadline);
        if (result.status != Status::Ok)
            return result;
        uint64_t payload = header.bodySize() - 4;
        if (GetU32(tid) != transactionId || payload > total - result.received ||
            (header.type == PT_EndData && payload != total - result.received)) {
            result.status = Status::Malformed;
            return result;
        }
        while (payload > 0) {
            size_t size = static_cast<size_t>(std::min<uint64_t>(payload, piece));
            if (buffer.size() < size)
                buffer.resize(size);
            result.status = connection.Receive(buffer.data(), size, deadline);
            if (result.status != Status::Ok)
                return result;
            payload -= size;
            result.received += size;
            if (!result.sinkRefused && !sink(buffer.data(), size)) {
                result.sinkRefused = true;
                if (!drainRefused)
                    return result;
            }
        }
    }
    result.status = Status::Ok;
    return result;
}

} // namespace

Status SendDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                     const DataSource& source, size_t chunk) {
    return SendPhase(connection, transactionId, total, source, chunk, nullptr, {});
}

Status SendDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                     const DataSource& source, size_t chunk, const Deadline& deadline,
                     const std::vector<uint8_t>& prefix) {
    return SendPhase(connection, transactionId, total, source, chunk, &deadline, prefix);
}

DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, int timeoutMs) {
    std::vector<uint8_t> buffer;
    return ReceivePhase(connection, transactionId, total, sink, Deadline(timeoutMs), buffer,
                        64 * 1024, true);
}

DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, const Deadline& deadline,
                                 std::vector<uint8_t>& buffer, size_t piece) {
    return ReceivePhase(connection, transactionId, total, sink, deadline, buffer, piece, false);
}

} // namespace ptp
