// Test helper: the generic container that carries PTP phases on USB-style links, to check the
// library's field codes against that layout. No transport of the library uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/ptpip.h"

namespace ptp {

enum ContainerType : uint16_t {
    CT_Undefined = 0,
    CT_Command = 1,
    CT_Data = 2,
    CT_Response = 3,
    CT_Event = 4,
};

enum : size_t { kContainerHeaderSize = 12, kMaxEventParams = 3 };

// A whole generic container. Command, response and event containers carry `params`;
// a data container carries `payload`.
struct Container {
    uint16_t type = CT_Undefined;
    uint16_t code = 0;
    uint32_t transactionId = 0;
    std::vector<uint32_t> params;
    std::vector<uint8_t> payload;
};

// False when the container does not fit in 32 bits or has too many parameters.
bool EncodeContainer(const Container& container, std::vector<uint8_t>& out);
// Checks the length field against the bytes given, the type, and the parameter count.
bool DecodeContainer(const uint8_t* data, size_t size, Container& container);

} // namespace ptp
