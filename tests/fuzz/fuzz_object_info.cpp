// Fuzzes the ObjectInfo decoder; whatever decodes and packs again must decode again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ptp::ObjectInfo value;
    if (!ptp::UnpackObjectInfo(data, size, value))
        return 0;
    std::vector<uint8_t> packed;
    if (ptp::PackObjectInfo(value, packed)) {
        ptp::ObjectInfo again;
        if (!ptp::UnpackObjectInfo(packed.data(), packed.size(), again))
            __builtin_trap();
    }
    return 0;
}
