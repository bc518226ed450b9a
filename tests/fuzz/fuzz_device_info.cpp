// Fuzzes the DeviceInfo decoder; whatever decodes and packs again must decode again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ptp::DeviceInfo value;
    if (!ptp::UnpackDeviceInfo(data, size, value))
        return 0;
    std::vector<uint8_t> packed;
    if (ptp::PackDeviceInfo(value, packed)) {
        ptp::DeviceInfo again;
        if (!ptp::UnpackDeviceInfo(packed.data(), packed.size(), again))
            __builtin_trap();
    }
    return 0;
}
