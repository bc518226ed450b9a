// Fuzzes the generic container decoder; a decoded container must encode back to the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ptp::Container container;
    if (!ptp::DecodeContainer(data, size, container))
        return 0;
    std::vector<uint8_t> again;
    if (!ptp::EncodeContainer(container, again) || again != std::vector<uint8_t>(data, data + size))
        __builtin_trap();
    return 0;
}
