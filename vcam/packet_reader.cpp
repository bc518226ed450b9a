// Deadline-bounded packet reads for the responder and the server.
#include "packet_reader.h"

#include <algorithm>

namespace vcam {

using namespace ptp;

namespace {

const int kStopSliceMs = 200; // a reader with a stop flag looks at it this often

// Reads bytes [have, size) of `buffer` before `deadline`.
Status ReadRest(Connection& connection, uint8_t* buffer, size_t size, size_t have,
                Clock::time_point deadline, const StopCheck& stopped) {
    while (have < size) {
        if (stopped && stopped())
            return Status::Closed;
        int left = MsUntil(deadline);
        if (left == 0)
            return Status::Timeout;
        size_t got = 0;
        Status status = connection.ReceiveSome(buffer + have, size - have, got,
                                               stopped ? std::min(left, kStopSliceMs) : left);
        if (status == Status::Timeout)
            continue;
        if (status != Status::Ok)
            return status;
        have += got;
    }
    return Status::Ok;
}

// Completes a packet whose first `have` header bytes are in `header`.
Status Complete(Connection& connection, uint8_t* header, size_t have, Packet& packet,
                Clock::time_point deadline, const StopCheck& stopped) {
    Status status = ReadRest(connection, header, kPacketHeaderSize, have, deadline, stopped);
    if (status != Status::Ok)
        return status;
    PacketHeader decoded;
    if (!DecodeHeader(header, decoded) || decoded.bodySize() > kMaxControlBody)
        return Status::Malformed;
    packet.type = decoded.type;
    packet.body.resize(decoded.bodySize());
    return ReadRest(connection, packet.body.data(), packet.body.size(), 0, deadline, stopped);
}

} // namespace

Status ReadPacketBefore(Connection& connection, Packet& packet, Clock::time_point deadline,
                        const StopCheck& stopped) {
    uint8_t header[kPacketHeaderSize];
    return Complete(connection, header, 0, packet, deadline, stopped);
}

Status ReadNextPacket(Connection& connection, Packet& packet, int waitMs, int completeMs,
                      bool* idle) {
    uint8_t header[kPacketHeaderSize];
    size_t got = 0;
    Status status = connection.ReceiveSome(header, sizeof header, got, waitMs);
    if (idle)
        *idle = status == Status::Timeout;
    if (status != Status::Ok)
        return status;
    auto deadline = Clock::now() + std::chrono::milliseconds(completeMs);
    return Complete(connection, header, got, packet, deadline, nullptr);
}

} // namespace vcam
