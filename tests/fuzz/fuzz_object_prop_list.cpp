// Fuzzes the MTP object property list decoder: what it accepts packs and decodes back alike.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/datasets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ptp::ObjectProp> props;
    auto keep = [&](const ptp::ObjectProp& prop) {
        props.push_back(prop);
        return true;
    };
    if (!ptp::UnpackObjectPropList(data, size, keep))
        return 0;
    std::vector<uint8_t> packed;
    if (!ptp::PackObjectPropList(props, packed))
        return 0;
    size_t i = 0;
    auto same = [&](const ptp::ObjectProp& prop) {
        return i < props.size() && prop.handle == props[i].handle && prop.code == props[i].code &&
               prop.value == props[i++].value;
    };
    if (!ptp::UnpackObjectPropList(packed.data(), packed.size(), same) || i != props.size())
        __builtin_trap();
    return 0;
}
