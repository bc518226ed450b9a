// Fuzzes the DevicePropDesc decoder; whatever decodes and packs again must decode again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ptp::DevicePropDesc value;
    if (!ptp::UnpackDevicePropDesc(data, size, value))
        return 0;
    std::vector<uint8_t> packed;
    if (ptp::PackDevicePropDesc(value, packed)) {
        ptp::DevicePropDesc again;
        if (!ptp::UnpackDevicePropDesc(packed.data(), packed.size(), again))
            __builtin_trap();
    }
    return 0;
}
