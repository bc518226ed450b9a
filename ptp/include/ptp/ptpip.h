// PTP/IP packets (CIPA DC-X005): layouts of every packet type, their encoders and hostile-input
// decoders, and the framing helpers that move packets and chunked data phases over a
// Connection.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ptp/codes.h"
#include "ptp/connection.h"
#include "ptp/phase.h"
#include "ptp/status.h"

namespace ptp {

using Guid = std::array<uint8_t, 16>;

enum : size_t {
    kPacketHeaderSize = 8,       // u32 Length, u32 PacketType
    kMaxControlBody = 64 * 1024, // bound for every packet except Data/End Data
    kMaxFriendlyNameUnits = 255, // longest FriendlyName we send or keep, NUL excluded
    kDataPacketPrefix = 12,      // header + TransactionID in front of a data payload
    kMaxOperationParams = 5,
    kShortPhase = 64 * 1024, // a data-out phase up to this leaves in one write
};

// Operation request, response or event: a code, the transaction ID, up to 5 parameters.
struct Operation {
    uint16_t code = 0;
    uint32_t transactionId = 0;
    std::vector<uint32_t> params;
};

struct PacketHeader {
    uint32_t length = 0; // whole packet, header included
    uint32_t type = 0;
    size_t bodySize() const { return length - kPacketHeaderSize; }
};

// A whole packet after its header was split off.
struct Packet {
    uint32_t type = 0;
    std::vector<uint8_t> body;
};

struct InitCommandRequest {
    Guid guid{};
    std::string friendlyName;
    uint32_t protocolVersion = kPtpIpVersion;
};

struct InitCommandAck {
    uint32_t connectionNumber = 0;
    Guid guid{};
    std::string friendlyName;
    uint32_t protocolVersion = kPtpIpVersion;
};

struct InitEventRequest {
    uint32_t connectionNumber = 0;
};

struct InitFail {
    uint32_t reason = IFR_Unspecified;
};

struct OperationRequest {
    uint32_t dataPhase = DP_NoDataOrDataIn;
    Operation op;
};

struct StartData {
    uint32_t transactionId = 0;
    uint64_t totalLength = 0;
};

// Data and End Data: the payload stays in the packet body, from payloadOffset on.
struct DataChunk {
    uint32_t transactionId = 0;
    size_t payloadOffset = 0;
    size_t payloadSize = 0;
};

// Encoders build a whole packet, header included. Those with text fail on a name that
// UCS-2 cannot carry; those with parameters fail beyond 5 of them.
bool EncodeInitCommandRequest(const InitCommandRequest& p, std::vector<uint8_t>& out);
bool EncodeInitCommandAck(const InitCommandAck& p, std::vector<uint8_t>& out);
void EncodeInitEventRequest(const InitEventRequest& p, std::vector<uint8_t>& out);
void EncodeInitEventAck(std::vector<uint8_t>& out);
void EncodeInitFail(const InitFail& p, std::vector<uint8_t>& out);
bool EncodeOperationRequest(const OperationRequest& p, std::vector<uint8_t>& out);
bool EncodeOperationResponse(const Operation& p, std::vector<uint8_t>& out);
bool EncodeEvent(const Operation& p, std::vector<uint8_t>& out);
void EncodeStartData(const StartData& p, std::vector<uint8_t>& out);
void EncodeDataPacket(uint32_t type, uint32_t transactionId, const uint8_t* payload, size_t size,
                      std::vector<uint8_t>& out); // PT_Data or PT_EndData
void EncodeCancel(uint32_t transactionId, std::vector<uint8_t>& out);
void EncodeEmptyPacket(uint32_t type, std::vector<uint8_t>& out); // Probe Request/Response

// Splits a whole packet: the length must equal `size`, be at least 8 and the body at most
// kMaxControlBody unless the type is Data or End Data.
bool DecodePacket(const uint8_t* data, size_t size, Packet& packet);
bool DecodeHeader(const uint8_t* data, PacketHeader& header); // 8 bytes; checks length >= 8

// Body decoders: `body` is what follows the 8-byte header.
bool DecodeInitCommandRequest(const std::vector<uint8_t>& body, InitCommandRequest& p);
bool DecodeInitCommandAck(const std::vector<uint8_t>& body, InitCommandAck& p);
bool DecodeInitEventRequest(const std::vector<uint8_t>& body, InitEventRequest& p);
bool DecodeInitFail(const std::vector<uint8_t>& body, InitFail& p);
bool DecodeOperationRequest(const std::vector<uint8_t>& body, OperationRequest& p);
bool DecodeOperationResponse(const std::vector<uint8_t>& body, Operation& p);
bool DecodeEvent(const std::vector<uint8_t>& body, Operation& p);
bool DecodeStartData(const std::vector<uint8_t>& body, StartData& p);
bool DecodeDataChunk(const std::vector<uint8_t>& body, DataChunk& p);
bool DecodeCancel(const std::vector<uint8_t>& body, uint32_t& transactionId);

// Framing over a connection.
Status SendPacket(Connection& connection, const std::vector<uint8_t>& packet);
// Each reader below waits at most timeoutMs of silence between two pieces; its overload with a
// Deadline also ends by the deadline's end.
// Reads one header; on Timeout *idle (optional) tells whether no byte at all arrived.
Status ReadHeader(Connection& connection, PacketHeader& header, int timeoutMs,
                  bool* idle = nullptr);
Status ReadHeader(Connection& connection, PacketHeader& header, const Deadline& deadline,
                  bool* idle = nullptr);
// Waits up to idleMs for a packet to begin; once its first byte came, the rest of the header
// may take restMs, so a header that arrives in pieces is not taken for silence.
Status AwaitHeader(Connection& connection, PacketHeader& header, int idleMs, int restMs,
                   bool* idle);
// Reads the body announced by `header`; Malformed when it exceeds maxBody.
Status ReadBody(Connection& connection, const PacketHeader& header, size_t maxBody,
                std::vector<uint8_t>& body, int timeoutMs);
Status ReadBody(Connection& connection, const PacketHeader& header, size_t maxBody,
                std::vector<uint8_t>& body, const Deadline& deadline);
// Header and body together (control packets, bounded by kMaxControlBody).
Status ReadPacket(Connection& connection, Packet& packet, int timeoutMs, bool* idle = nullptr);
Status ReadPacket(Connection& connection, Packet& packet, const Deadline& deadline,
                  bool* idle = nullptr);

// Sends Start Data, then the payload in Data packets of at most `chunk` bytes, the last piece
// (possibly empty) as End Data. SourceFailed when the source fails (nothing more is sent).
// A phase of up to kShortPhase bytes that fits one packet goes in a single write.
Status SendDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                     const DataSource& source, size_t chunk);
// The same, each write within `deadline`, with `prefix` (an operation request held back for
// it) in front of the first.
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
                                 const DataSink& sink, int timeoutMs);
// The same within `deadline`, in pieces of up to `piece` bytes read through `buffer`. A sink
// that refuses ends the phase at once (sinkRefused), leaving the connection inside it.
DataPhaseResult ReceiveDataPhase(Connection& connection, uint32_t transactionId, uint64_t total,
                                 const DataSink& sink, const Deadline& deadline,
                                 std::vector<uint8_t>& buffer, size_t piece);

} // namespace ptp
