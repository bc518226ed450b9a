// Device properties: asked for by their description, checked against what was asked, and
// derived without overflow where the camera lacks the vendor ones.
#include "properties.h"

#include <cstring>

#include "codecs.h"
#include "ptp/text.h"
#include "result_map.h"

namespace {

// BatteryLevel at or above this share of its range counts as sufficient.
const uint64_t kSufficientBatteryPercent = 20;

bool IsInteger(uint16_t dataType) {
    return dataType >= ptp::DTC_INT8 && dataType <= ptp::DTC_UINT64;
}

bool IsSigned(uint16_t dataType) {
    return dataType == ptp::DTC_INT8 || dataType == ptp::DTC_INT16 || dataType == ptp::DTC_INT32 ||
           dataType == ptp::DTC_INT64;
}

// Integers of either signedness in one unsigned order (signed ones are sign-extended).
uint64_t Ordered(const ptp::PropValue& value, bool isSigned) {
    return isSigned ? value.integer ^ (uint64_t(1) << 63) : value.integer;
}

// position * 100 >= span * percent, without overflow.
bool AtLeastShare(uint64_t position, uint64_t span, uint64_t percent) {
    const uint64_t rest = span % 100 * percent;
    return position >= span / 100 * percent + rest / 100 + (rest % 100 ? 1 : 0);
}

// 1 (sufficient) or 2 (low) from BatteryLevel: its place between the range's minimum and
// maximum (0..100 without a range; the smallest and largest listed value for an enumeration).
bool BatteryStateOfLevel(const ptp::DevicePropDesc& desc, uint32_t& state) {
    if (!IsInteger(desc.dataType))
        return false;
    const bool isSigned = IsSigned(desc.dataType);
    uint64_t low = Ordered(ptp::PropValue::Unsigned(desc.dataType, 0), isSigned);
    uint64_t high = Ordered(ptp::PropValue::Unsigned(desc.dataType, 100), isSigned);
    if (desc.formFlag == ptp::DPFF_Range) {
        low = Ordered(desc.rangeMin, isSigned);
        high = Ordered(desc.rangeMax, isSigned);
    } else if (desc.formFlag == ptp::DPFF_Enumeration && !desc.enumValues.empty()) {
        low = high = Ordered(desc.enumValues[0], isSigned);
        for (const ptp::PropValue& v : desc.enumValues) {
            const uint64_t o = Ordered(v, isSigned);
            low = o < low ? o : low;
            high = o > high ? o : high;
        }
    }
    const uint64_t level = Ordered(desc.current, isSigned);
    if (low > high)
        return false;
    const uint64_t position = level < low ? 0 : level > high ? high - low : level - low;
    state = AtLeastShare(position, high - low, kSufficientBatteryPercent) ? 1 : 2;
    return true;
}

// The description of `code`, refused when it describes another property or type.
DriverResult Describe(ptp::Initiator& camera, uint16_t code, uint16_t dataType,
                      ptp::DevicePropDesc& desc) {
    ptp::Result result = camera.GetDevicePropDesc(code, desc);
    if (!result.ok())
        return MapPtpResult(result);
    const bool fits = dataType ? desc.dataType == dataType : IsInteger(desc.dataType);
    return desc.propertyCode == code && fits ? kDriverOk : kDriverGeneralError;
}

} // namespace

DriverResult ReadDriverProperty(ptp::Initiator& camera, const ptp::DeviceInfo& info,
                                uint32_t propCode, void* value) {
    if (!value)
        return kStreamBadArgument;
    if (propCode > 0xFFFF)
        return kDriverNotSupported;
    const uint16_t code = static_cast<uint16_t>(propCode);
    const bool listed = info.SupportsProperty(code);
    ptp::DevicePropDesc desc;
    uint32_t word = 0;
    DriverResult r = kDriverOk;
    switch (code) {
    case ptp::DPC_Vandrel_BatteryState:
        if (listed) {
            r = Describe(camera, code, ptp::DTC_UINT32, desc);
            word = static_cast<uint32_t>(desc.current.integer);
        } else if (!info.SupportsProperty(ptp::DPC_BatteryLevel)) {
            return kDriverNotSupported;
        } else {
            r = Describe(camera, ptp::DPC_BatteryLevel, 0, desc);
            if (r == kDriverOk && !BatteryStateOfLevel(desc, word))
                r = kDriverGeneralError;
        }
        break;
    case ptp::DPC_Vandrel_FirmwareVersion:
        if (listed) {
            r = Describe(camera, code, ptp::DTC_UINT32, desc);
            word = static_cast<uint32_t>(desc.current.integer);
        } else {
            word = ptp::ReadDisplayedVersion(info.deviceVersion);
        }
        break;
    case ptp::DPC_Vandrel_ModelName:
        if (listed)
            r = Describe(camera, code, ptp::DTC_STR, desc);
        if (r == kDriverOk)
            FillModelName(listed ? desc.current.text : info.model, static_cast<uint8_t*>(value));
        return r;
    default:
        return kDriverNotSupported;
    }
    if (r == kDriverOk)
        memcpy(value, &word, 4);
    return r;
}
