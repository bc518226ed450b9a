// Framing of PTP/IP packets and data phases on a connection.
#include "ptp/ptpip_framing.h"

#include <algorithm>

#include "ptp/bytes.h"

namespace ptp {

Status SendPacket(Connection& connection, const std::vector<uint8_t>& packet) {
    return connection.Send(packet);
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

Status AwaitHeader(Connection& connection, PacketHeader& header, const Deadline& wait,
                   Deadline& rest, bool* idle) {
    uint8_t bytes[kPacketHeaderSize];
    size_t received = 0;
    Status status = connection.ReceiveSome(bytes, sizeof bytes, received, wait.WaitMs());
    if (idle)
        *idle = received == 0;
    if (status != Status::Ok)
        return status;
    rest.Restart();
    if (received < sizeof bytes)
        status = connection.Receive(bytes + received, sizeof bytes - received, rest);
    if (status != Status::Ok)
        return status;
    return DecodeHeader(bytes, header) ? Status::Ok : Status::Malformed;
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

Status ReadPacket(Connection& connection, Packet& packet, const Deadline& deadline, bool* idle) {
    PacketHeader header;
    Status status = ReadHeader(connection, header, deadline, idle);
    if (status != Status::Ok)
        return status;
    packet.type = header.type;
    return ReadBody(connection, header, kMaxControlBody, packet.body, deadline);
}

Status SendDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                     const DataSource& source, size_t chunk, const Deadline& deadline,
                     const std::vector<uint8_t>& prefix) {
    auto put = [&](const std::vector<uint8_t>& packet) {
        return connection.Send(packet.data(), packet.size(), deadline);
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

namespace {

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

DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, const Deadline& deadline) {
    std::vector<uint8_t> buffer;
    return ReceivePhase(connection, transactionId, total, sink, deadline, buffer, 64 * 1024, true);
}

DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, const Deadline& deadline,
                                 std::vector<uint8_t>& buffer, size_t piece) {
    return ReceivePhase(connection, transactionId, total, sink, deadline, buffer, piece, false);
}

} // namespace ptp
