// The virtual camera's properties: those of its objects (MTP property lists and the renaming of
// an object) and its own device properties.
#include <algorithm>
#include <iterator>

#include "ptp/codes.h"
#include "ptp/bytes.h"
#include "session.h"

namespace vcam {

using namespace ptp;

namespace {
const size_t kMaxPropertyValue = 64 * 1024; // a new name, as its PTP string
} // namespace

// The properties that say what an ObjectInfo says, for every object, one object, or a
// folder's (0: the root's) children; narrowed to one format and to one property.
Session::Next Session::GetObjectPropList(Request& r) {
    if (!profile_.objectPropList)
        return Respond(r, RC_OperationNotSupported);
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    const uint32_t handle = r.P(0), format = r.P(1), property = r.P(2), depth = r.P(4);
    if (r.P(3) != 0)
        return Respond(r, RC_MTP_SpecificationByGroupUnsupported);
    const auto& properties = kObjectInfoProperties;
    if (property != kAllProperties &&
        std::none_of(std::begin(properties), std::end(properties),
                     [&](const ObjectInfoProperty& p) { return p.code == property; }))
        return Respond(r, RC_MTP_InvalidObjectPropCode);
    if (handle != kAllObjects && handle != 0 && !card_.Find(handle))
        return Respond(r, RC_InvalidObjectHandle);
    if (handle != kAllObjects && depth > 1)
        return Respond(r, RC_MTP_SpecificationByDepthUnsupported);
    std::vector<ObjectProp> props;
    for (const CardObject* object : card_.Objects()) {
        const bool chosen = handle == kAllObjects ||
                            (depth == 0 ? object->handle == handle : object->parent == handle);
        if (!chosen || (format != 0 && object->format != format))
            continue;
        const ObjectInfo info = InfoOf(*object);
        const uint64_t size = object->incomplete ? object->announced : object->size;
        // In the table's order; the name, the one text, stands in its own place.
        const uint64_t numbers[] = {info.storageId,        info.objectFormat,
                                    info.protectionStatus, size,
                                    info.associationType,  0,
                                    info.parentObject};
        for (size_t i = 0; i < std::size(properties); ++i) {
            if (property != kAllProperties && property != properties[i].code)
                continue;
            const uint16_t type = properties[i].dataType;
            props.push_back(ObjectProp{object->handle, properties[i].code,
                                       type == DTC_STR ? PropValue::String(info.filename)
                                                       : PropValue::Unsigned(type, numbers[i])});
        }
    }
    std::vector<uint8_t> data;
    if (!PackObjectPropList(props, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

// A new name for an object, as MTP cameras take it: checked as a new object's name is, never
// one its folder already holds.
Session::Next Session::SetObjectPropValue(Request& r) {
    if (!profile_.rename)
        return Respond(r, RC_OperationNotSupported);
    std::vector<uint8_t> data;
    bool tooBig = false;
    Next next = ReceiveData(r, &data, kMaxPropertyValue, tooBig);
    if (next != Next::Continue)
        return next;
    if (r.cancelled)
        return Respond(r, RC_TransactionCancelled);
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    const CardObject* object = card_.Find(r.P(0));
    if (!object)
        return Respond(r, RC_InvalidObjectHandle);
    if (r.P(1) != OPC_ObjectFileName)
        return Respond(r, RC_MTP_InvalidObjectPropCode);
    PropValue value;
    if (tooBig || !UnpackPropValue(data.data(), data.size(), DTC_STR, value))
        return Respond(r, RC_InvalidDataset);
    if (profile_.writeProtected)
        return Respond(r, RC_StoreReadOnly);
    if (object->readOnly)
        return Respond(r, RC_ObjectWriteProtected);
    const std::string& name = value.text;
    if (!IsSafeObjectName(name) || !card_.NameFits(object->parent, name)) {
        Trace("refused new name \"" + name + "\"");
        return Respond(r, RC_InvalidParameter);
    }
    const std::string old = object->path;
    const uint32_t handle = object->handle;
    switch (card_.Rename(handle, name)) {
    case Card::Renaming::Renamed:
        Trace("renamed " + old + " to " + name);
        if (profile_.renameNewHandle) {
            const uint32_t renewed = card_.Renumber(handle);
            Trace("object " + std::to_string(handle) + " is now " + std::to_string(renewed));
            const Next next = Respond(r, RC_OK);
            SendEvent(EC_ObjectRemoved, 0, {handle});
            SendEvent(EC_ObjectAdded, 0, {renewed});
            return next;
        }
        return Respond(r, RC_OK);
    case Card::Renaming::NameTaken:
        Trace("refused existing name \"" + name + "\"");
        return Respond(r, RC_ObjectWriteProtected);
    default:
        return Respond(r, RC_GeneralError);
    }
}

std::vector<uint16_t> Session::ListedProperties() const {
    std::vector<uint16_t> codes = {DPC_BatteryLevel};
    if (profile_.vendorProperties)
        codes.insert(codes.end(), {DPC_Vandrel_BatteryState, DPC_Vandrel_FirmwareVersion,
                                   DPC_Vandrel_ModelName});
    for (const auto& described : profile_.properties) {
        codes.erase(std::remove(codes.begin(), codes.end(), described.first), codes.end());
        if (described.second.dataType != 0)
            codes.push_back(described.first);
    }
    const DevicePropDesc& every = profile_.everyProperty;
    if (every.dataType != 0 && std::count(codes.begin(), codes.end(), every.propertyCode) == 0)
        codes.push_back(every.propertyCode);
    return codes;
}

bool Session::BuildPropDesc(uint16_t code, DevicePropDesc& desc) const {
    // A description the profile gives answers in place of the camera's own.
    const auto described = profile_.properties.find(code);
    if (profile_.everyProperty.dataType != 0 || described != profile_.properties.end()) {
        desc = profile_.everyProperty.dataType != 0 ? profile_.everyProperty : described->second;
        return desc.dataType != 0;
    }
    const std::vector<uint16_t> listed = ListedProperties();
    if (std::count(listed.begin(), listed.end(), code) == 0 ||
        (code != DPC_BatteryLevel && profile_.vendorPropertiesForeign))
        return false;
    desc = DevicePropDesc();
    desc.propertyCode = code;
    desc.getSet = 0;
    switch (code) {
    case DPC_BatteryLevel:
        desc.dataType = DTC_UINT8;
        desc.factoryDefault = PropValue::Unsigned(DTC_UINT8, 100);
        desc.current = PropValue::Unsigned(DTC_UINT8, profile_.batteryLevel);
        desc.formFlag = DPFF_Range;
        desc.rangeMin = PropValue::Unsigned(DTC_UINT8, 0);
        desc.rangeMax = PropValue::Unsigned(DTC_UINT8, 100);
        desc.rangeStep = PropValue::Unsigned(DTC_UINT8, 1);
        return true;
    case DPC_Vandrel_BatteryState:
        desc.dataType = DTC_UINT32;
        desc.factoryDefault = PropValue::Unsigned(DTC_UINT32, 1);
        desc.current = PropValue::Unsigned(DTC_UINT32, profile_.batteryState);
        return true;
    case DPC_Vandrel_FirmwareVersion:
        desc.dataType = DTC_UINT32;
        desc.factoryDefault = PropValue::Unsigned(DTC_UINT32, profile_.firmwareVersion);
        desc.current = desc.factoryDefault;
        return true;
    default: // DPC_Vandrel_ModelName
        desc.dataType = DTC_STR;
        desc.factoryDefault = PropValue::String(profile_.model);
        desc.current = desc.factoryDefault;
        return true;
    }
}

Session::Next Session::GetDevicePropDesc(Request& r) {
    DevicePropDesc desc;
    std::vector<uint8_t> data;
    if (!BuildPropDesc(static_cast<uint16_t>(r.P(0)), desc) || r.P(0) > 0xFFFF)
        return Respond(r, RC_DevicePropNotSupported);
    if (!PackDevicePropDesc(desc, data))
        return Respond(r, RC_GeneralError);
    // Odd shapes of the profile's: no form flag at all, or a count beyond the values sent.
    const auto missing = profile_.missingValues.find(desc.propertyCode);
    if (desc.cutShort && desc.formFlag == DPFF_None) {
        data.pop_back();
    } else if (missing != profile_.missingValues.end() && missing->second &&
               desc.formFlag == DPFF_Enumeration) {
        DevicePropDesc head = desc;
        head.enumValues.clear();
        std::vector<uint8_t> bytes;
        PackDevicePropDesc(head, bytes);
        PutU16(&data[bytes.size() - 2],
               static_cast<uint16_t>(desc.enumValues.size() + missing->second));
    }
    return SendData(r, data);
}

Session::Next Session::GetDevicePropValue(Request& r) {
    DevicePropDesc desc;
    std::vector<uint8_t> data;
    if (!BuildPropDesc(static_cast<uint16_t>(r.P(0)), desc) || r.P(0) > 0xFFFF)
        return Respond(r, RC_DevicePropNotSupported);
    if (!PackPropValue(desc.current, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

} // namespace vcam
