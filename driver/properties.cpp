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

// A camera that cannot describe a property: it does not have it as asked for. A description
// that could not be read says so too, unless the session fell out of step on the way.
bool CannotDescribe(const ptp::Initiator& camera, const ptp::Result& result) {
    if (result.status == ptp::Status::Malformed)
        return !camera.outOfStep();
    return result.status == ptp::Status::Ok && (result.code == ptp::RC_DevicePropNotSupported ||
                                                result.code == ptp::RC_OperationNotSupported ||
                                                result.code == ptp::RC_ParameterNotSupported ||
                                                result.code == ptp::RC_InvalidDevicePropFormat);
}

// The description of `code`, refused when it describes another property or type. `unknown`
// tells a camera that has no such property (it says so, or describes another) from one that
// failed to answer.
DriverResult Describe(ptp::Initiator& camera, uint16_t code, uint16_t dataType,
                      ptp::DevicePropDesc& desc, bool& unknown) {
    ptp::Result result = camera.GetDevicePropDesc(code, desc);
    unknown = CannotDescribe(camera, result);
    if (!result.ok())
        return MapPtpResult(result);
    const bool fits = dataType ? desc.dataType == dataType : IsInteger(desc.dataType);
    unknown = !(desc.propertyCode == code && fits);
    return unknown ? kDriverGeneralError : kDriverOk;
}

uint16_t VendorType(uint16_t code) {
    return code == ptp::DPC_Vandrel_ModelName ? uint16_t(ptp::DTC_STR) : uint16_t(ptp::DTC_UINT32);
}

} // namespace

DriverResult ReadDriverProperty(ptp::Initiator& camera, const ptp::DeviceInfo& info,
                                uint32_t propCode, void* value) {
    if (!value)
        return kStreamBadArgument;
    if (propCode != ptp::DPC_Vandrel_BatteryState && propCode != ptp::DPC_Vandrel_FirmwareVersion &&
        propCode != ptp::DPC_Vandrel_ModelName)
        return kDriverNotSupported;
    const uint16_t code = static_cast<uint16_t>(propCode);
    ptp::DevicePropDesc desc;
    bool unknown = false;
    // Another maker's camera may list the same codes with meanings of its own.
    if (info.NamesExtension(ptp::kTarvoExtension) && info.SupportsProperty(code)) {
        const DriverResult r = Describe(camera, code, VendorType(code), desc, unknown);
        if (r == kDriverOk && code == ptp::DPC_Vandrel_ModelName) {
            FillModelName(desc.current.text, static_cast<uint8_t*>(value));
            return r;
        }
        if (r == kDriverOk) {
            const uint32_t word = static_cast<uint32_t>(desc.current.integer);
            memcpy(value, &word, 4);
            return r;
        }
        if (!unknown)
            return r;
        // Not there as ours after all: the standard facts stand in.
    }
    uint32_t word = 0;
    switch (code) {
    case ptp::DPC_Vandrel_BatteryState: {
        if (!info.SupportsProperty(ptp::DPC_BatteryLevel))
            return kDriverNotSupported;
        DriverResult r = Describe(camera, ptp::DPC_BatteryLevel, 0, desc, unknown);
        // A description with bytes beyond its form was not laid out as the standard lays it
        // out (uMTP-Responder puts an object property's group code in it): its value is asked
        // for on its own.
        if (r == kDriverOk && desc.trailing && info.SupportsOperation(ptp::OC_GetDevicePropValue)) {
            ptp::Result result =
                camera.GetDevicePropValue(ptp::DPC_BatteryLevel, desc.dataType, desc.current);
            r = MapPtpResult(result);
        }
        if (r != kDriverOk)
            return r;
        if (!BatteryStateOfLevel(desc, word))
            return kDriverGeneralError;
        break;
    }
    case ptp::DPC_Vandrel_FirmwareVersion:
        word = ptp::ReadDisplayedVersion(info.deviceVersion);
        break;
    default:
        FillModelName(info.model, static_cast<uint8_t*>(value));
        return kDriverOk;
    }
    memcpy(value, &word, 4);
    return kDriverOk;
}
