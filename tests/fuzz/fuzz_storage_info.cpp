// Fuzzes the StorageInfo decoder; whatever decodes and packs again must decode again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ptp::StorageInfo value;
    if (!ptp::UnpackStorageInfo(data, size, value))
        return 0;
    std::vector<uint8_t> packed;
    if (ptp::PackStorageInfo(value, packed)) {
        ptp::StorageInfo again;
        if (!ptp::UnpackStorageInfo(packed.data(), packed.size(), again))
            __builtin_trap();
    }
    return 0;
}
