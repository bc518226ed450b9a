// Moving PTP/IP packets and chunked data phases over a Connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/connection.h"
#include "ptp/phase.h"
#include "ptp/ptpip.h"
#include "ptp/status.h"

namespace ptp {

enum : size_t {
    kShortPhase = 64 * 1024, // a data-out phase up to this leaves in one write
};

Status SendPacket(Connection& connection, const std::vector<uint8_t>& packet);

// The readers wait at most the silence bound of `deadline` between two pieces and end by its
// end.
// Reads one header; on Timeout *idle (optional) tells whether no byte at all arrived.
Status ReadHeader(Connection& connection, PacketHeader& header, const Deadline& deadline,
                  bool* idle = nullptr);
// Waits within `wait` for a packet to begin; `rest`, started again at its first byte, then
// bounds the rest of the header, so a header that arrives in pieces is not taken for silence,
// and is left for the body to share.
Status AwaitHeader(Connection& connection, PacketHeader& header, const Deadline& wait,
                   Deadline& rest, bool* idle);
// Reads the body announced by `header`; Malformed when it exceeds maxBody.
Status ReadBody(Connection& connection, const PacketHeader& header, size_t maxBody,
                std::vector<uint8_t>& body, const Deadline& deadline);
// Header and body together (control packets, bounded by kMaxControlBody).
Status ReadPacket(Connection& connection, Packet& packet, const Deadline& deadline,
                  bool* idle = nullptr);

// Sends Start Data, then the payload in Data packets of at most `chunk` bytes, the last piece
// (possibly empty) as End Data, each write within `deadline`, with `prefix` (an operation
// request held back for it) in front of the first. SourceFailed when the source fails (nothing
// more is sent). A phase of up to kShortPhase bytes that fits one packet goes in a single write.
Status SendDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                     const DataSource& source, size_t chunk, const Deadline& deadline,
                     const std::vector<uint8_t>& prefix = {});

struct DataPhaseResult {
    Status status = Status::Ok;
    uint64_t received = 0; // payload bytes that arrived
    bool sinkRefused = false;
    bool cancelled = false; // a Cancel packet for this transaction ended the phase
};

// Receives the Data/End Data packets that follow a Start Data(total) until `total` bytes
// arrived, streaming them to `sink` in pieces of at most 64 KiB; what the sink refuses is
// drained. Malformed on a wrong transaction ID, more bytes than announced, an End Data that
// ends the phase early, or any other packet type (a Cancel for this transaction ends the phase
// with cancelled = true).
DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, const Deadline& deadline);
// The same in pieces of up to `piece` bytes read through `buffer`. A sink that refuses ends the
// phase at once (sinkRefused), leaving the connection inside it.
DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, const Deadline& deadline,
                                 std::vector<uint8_t>& buffer, size_t piece);

} // namespace ptp
