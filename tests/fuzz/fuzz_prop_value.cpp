// Fuzzes the property value decoder: the first two bytes choose the data type.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    uint16_t type = static_cast<uint16_t>(data[0] | (data[1] << 8));
    ptp::PropValue value;
    if (!ptp::UnpackPropValue(data + 2, size - 2, type, value))
        return 0;
    std::vector<uint8_t> packed;
    if (ptp::PackPropValue(value, packed)) {
        ptp::PropValue again;
        if (!ptp::UnpackPropValue(packed.data(), packed.size(), type, again) || !(again == value))
            __builtin_trap();
    }
    return 0;
}
