// PTP/IP packets (CIPA DC-X005): layouts of every packet type, their encoders and hostile-input
// decoders. Moving them over a connection is ptpip_framing.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ptp/codes.h"

namespace ptp {

using Guid = std::array<uint8_t, 16>;

enum : size_t {
    kPacketHeaderSize = 8,       // u32 Length, u32 PacketType
    kMaxControlBody = 64 * 1024, // bound for every packet except Data/End Data
    kMaxFriendlyNameUnits = 255, // longest FriendlyName we send or keep, NUL excluded
    kDataPacketPrefix = 12,      // header + TransactionID in front of a data payload
    kMaxOperationParams = 5,
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

// Data and End Data carry a data phase's bytes; every other packet is a control packet.
inline bool IsDataType(uint32_t type) {
    return type == PT_Data || type == PT_EndData;
}

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

} // namespace ptp
