// Fuzzes the u32 array decoder (GetStorageIDs, GetObjectHandles).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint32_t> values;
    if (ptp::UnpackU32Array(data, size, values) && 4 + 4 * values.size() > size)
        __builtin_trap();
    return 0;
}
