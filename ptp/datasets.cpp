// Pack/unpack of DeviceInfo, StorageInfo, ObjectInfo, DevicePropDesc and property values.
#include "ptp/datasets.h"

#include <algorithm>

#include "ptp/bytes.h"
#include "ptp/codes.h"
#include "ptp/text.h"

namespace ptp {
namespace {

// Size of one integer of a data type, 0 for strings and unknown types.
size_t IntegerSize(uint16_t type) {
    switch (type & ~DTC_ArrayMask) {
    case DTC_INT8:
    case DTC_UINT8:
        return 1;
    case DTC_INT16:
    case DTC_UINT16:
        return 2;
    case DTC_INT32:
    case DTC_UINT32:
        return 4;
    case DTC_INT64:
    case DTC_UINT64:
        return 8;
    case DTC_INT128:
    case DTC_UINT128:
        return 16;
    default:
        return 0;
    }
}

bool IsSigned(uint16_t type) {
    switch (type & ~DTC_ArrayMask) {
    case DTC_INT8:
    case DTC_INT16:
    case DTC_INT32:
    case DTC_INT64:
    case DTC_INT128:
        return true;
    default:
        return false;
    }
}

bool ReadInteger(ByteReader& reader, uint16_t type, uint64_t& value, uint64_t& high) {
    size_t size = IntegerSize(type);
    high = 0;
    uint8_t b[16];
    if (size == 0 || !reader.Bytes(b, size))
        return false;
    value = 0;
    for (size_t i = std::min<size_t>(size, 8); i-- > 0;)
        value = (value << 8) | b[i];
    if (size == 16) {
        for (size_t i = 16; i-- > 8;)
            high = (high << 8) | b[i];
    } else if (IsSigned(type) && size < 8 && (b[size - 1] & 0x80)) {
        value |= ~uint64_t(0) << (8 * size);
    }
    return true;
}

void WriteInteger(ByteWriter& writer, uint16_t type, uint64_t value, uint64_t high) {
    size_t size = IntegerSize(type);
    for (size_t i = 0; i < std::min<size_t>(size, 8); ++i)
        writer.U8(static_cast<uint8_t>(value >> (8 * i)));
    if (size == 16) {
        for (size_t i = 0; i < 8; ++i)
            writer.U8(static_cast<uint8_t>(high >> (8 * i)));
    }
}

} // namespace

bool DeviceInfo::SupportsOperation(uint16_t code) const {
    return std::find(operationsSupported.begin(), operationsSupported.end(), code) !=
           operationsSupported.end();
}

bool DeviceInfo::SpeaksMtp() const {
    return vendorExtensionId == kMtpVendorExtensionId ||
           vendorExtensionDesc.find("microsoft.com") != std::string::npos;
}

bool DeviceInfo::NamesExtension(const std::string& name) const {
    // "microsoft.com: 1.0; tarvo.com: 1.0": sets of vendor codes, each a name and a version.
    const std::string wanted = Lower(name);
    size_t start = 0;
    while (start < vendorExtensionDesc.size()) {
        size_t end = vendorExtensionDesc.find(';', start);
        if (end == std::string::npos)
            end = vendorExtensionDesc.size();
        const std::string set = vendorExtensionDesc.substr(start, end - start);
        if (Lower(Trim(set.substr(0, set.find(':')))) == wanted)
            return true;
        start = end + 1;
    }
    return false;
}

bool DeviceInfo::SupportsProperty(uint16_t code) const {
    return std::find(devicePropertiesSupported.begin(), devicePropertiesSupported.end(), code) !=
           devicePropertiesSupported.end();
}

bool PackDeviceInfo(const DeviceInfo& info, std::vector<uint8_t>& out) {
    ByteWriter w(out);
    w.U16(info.standardVersion);
    w.U32(info.vendorExtensionId);
    w.U16(info.vendorExtensionVersion);
    w.String(info.vendorExtensionDesc);
    w.U16(info.functionalMode);
    w.U16Array(info.operationsSupported);
    w.U16Array(info.eventsSupported);
    w.U16Array(info.devicePropertiesSupported);
    w.U16Array(info.captureFormats);
    w.U16Array(info.imageFormats);
    w.String(info.manufacturer);
    w.String(info.model);
    w.String(info.deviceVersion);
    w.String(info.serialNumber);
    return w.ok();
}

bool UnpackDeviceInfo(const uint8_t* data, size_t size, DeviceInfo& info) {
    ByteReader r(data, size);
    r.U16(info.standardVersion);
    r.U32(info.vendorExtensionId);
    r.U16(info.vendorExtensionVersion);
    r.String(info.vendorExtensionDesc);
    r.U16(info.functionalMode);
    r.U16Array(info.operationsSupported);
    r.U16Array(info.eventsSupported);
    r.U16Array(info.devicePropertiesSupported);
    r.U16Array(info.captureFormats);
    r.U16Array(info.imageFormats);
    // Cameras in the field end the dataset after any of its trailing strings, or before the
    // first: those missing are empty. One that begins must end.
    for (std::string* text :
         {&info.manufacturer, &info.model, &info.deviceVersion, &info.serialNumber}) {
        if (r.ok() && r.remaining() > 0)
            r.String(*text);
    }
    return r.ok();
}

bool PackStorageInfo(const StorageInfo& info, std::vector<uint8_t>& out) {
    ByteWriter w(out);
    w.U16(info.storageType);
    w.U16(info.filesystemType);
    w.U16(info.accessCapability);
    w.U64(info.maxCapacity);
    w.U64(info.freeSpaceInBytes);
    w.U32(info.freeSpaceInImages);
    w.String(info.storageDescription);
    w.String(info.volumeLabel);
    return w.ok();
}

bool UnpackStorageInfo(const uint8_t* data, size_t size, StorageInfo& info) {
    ByteReader r(data, size);
    r.U16(info.storageType);
    r.U16(info.filesystemType);
    r.U16(info.accessCapability);
    r.U64(info.maxCapacity);
    r.U64(info.freeSpaceInBytes);
    r.U32(info.freeSpaceInImages);
    r.String(info.storageDescription);
    r.String(info.volumeLabel);
    return r.ok();
}

bool PackObjectInfo(const ObjectInfo& info, std::vector<uint8_t>& out) {
    ByteWriter w(out);
    w.U32(info.storageId);
    w.U16(info.objectFormat);
    w.U16(info.protectionStatus);
    w.U32(info.objectCompressedSize);
    w.U16(info.thumbFormat);
    w.U32(info.thumbCompressedSize);
    w.U32(info.thumbPixWidth);
    w.U32(info.thumbPixHeight);
    w.U32(info.imagePixWidth);
    w.U32(info.imagePixHeight);
    w.U32(info.imageBitDepth);
    w.U32(info.parentObject);
    w.U16(info.associationType);
    w.U32(info.associationDesc);
    w.U32(info.sequenceNumber);
    w.String(info.filename);
    w.String(info.captureDate);
    w.String(info.modificationDate);
    w.String(info.keywords);
    return w.ok();
}

bool UnpackObjectInfo(const uint8_t* data, size_t size, ObjectInfo& info) {
    ByteReader r(data, size);
    r.U32(info.storageId);
    r.U16(info.objectFormat);
    r.U16(info.protectionStatus);
    r.U32(info.objectCompressedSize);
    r.U16(info.thumbFormat);
    r.U32(info.thumbCompressedSize);
    r.U32(info.thumbPixWidth);
    r.U32(info.thumbPixHeight);
    r.U32(info.imagePixWidth);
    r.U32(info.imagePixHeight);
    r.U32(info.imageBitDepth);
    r.U32(info.parentObject);
    r.U16(info.associationType);
    r.U32(info.associationDesc);
    r.U32(info.sequenceNumber);
    if (!r.String(info.filename))
        return false;
    info.captureDate.clear();
    info.modificationDate.clear();
    info.keywords.clear();
    // Some initiators end the dataset early; each optional string must then be whole or absent.
    if (r.remaining() && !r.String(info.captureDate))
        return false;
    if (r.remaining() && !r.String(info.modificationDate))
        return false;
    if (r.remaining() && !r.String(info.keywords))
        return false;
    return true;
}

PropValue PropValue::Unsigned(uint16_t dataType, uint64_t value) {
    PropValue v;
    v.dataType = dataType;
    v.integer = value;
    return v;
}

PropValue PropValue::String(const std::string& utf8) {
    PropValue v;
    v.dataType = DTC_STR;
    v.text = utf8;
    return v;
}

bool PropValue::operator==(const PropValue& other) const {
    return dataType == other.dataType && integer == other.integer && high == other.high &&
           array == other.array && text == other.text;
}

bool WritePropValue(ByteWriter& writer, const PropValue& value) {
    uint16_t type = value.dataType;
    if (type == DTC_STR)
        return writer.String(value.text);
    if (IntegerSize(type) == 0)
        return false;
    if (type & DTC_ArrayMask) {
        writer.U32(static_cast<uint32_t>(value.array.size()));
        for (uint64_t item : value.array)
            WriteInteger(writer, type, item, 0);
    } else {
        WriteInteger(writer, type, value.integer, value.high);
    }
    return writer.ok();
}

bool ReadPropValue(ByteReader& reader, uint16_t dataType, PropValue& value) {
    value = PropValue();
    value.dataType = dataType;
    if (dataType == DTC_STR)
        return reader.String(value.text);
    size_t size = IntegerSize(dataType);
    if (size == 0)
        return false;
    if (dataType & DTC_ArrayMask) {
        uint32_t count;
        if (!reader.U32(count) || count > kMaxArrayCount || count > reader.remaining() / size)
            return false;
        value.array.resize(count);
        uint64_t high;
        for (uint64_t& item : value.array) {
            if (!ReadInteger(reader, dataType, item, high))
                return false;
        }
        return true;
    }
    return ReadInteger(reader, dataType, value.integer, value.high);
}

bool PackPropValue(const PropValue& value, std::vector<uint8_t>& out) {
    ByteWriter w(out);
    return WritePropValue(w, value);
}

bool UnpackPropValue(const uint8_t* data, size_t size, uint16_t dataType, PropValue& value) {
    ByteReader r(data, size);
    return ReadPropValue(r, dataType, value);
}

bool PackDevicePropDesc(const DevicePropDesc& desc, std::vector<uint8_t>& out) {
    ByteWriter w(out);
    w.U16(desc.propertyCode);
    w.U16(desc.dataType);
    w.U8(desc.getSet);
    bool ok = WritePropValue(w, desc.factoryDefault) && WritePropValue(w, desc.current);
    w.U8(desc.formFlag);
    if (desc.formFlag == DPFF_Range) {
        ok = ok && WritePropValue(w, desc.rangeMin) && WritePropValue(w, desc.rangeMax) &&
             WritePropValue(w, desc.rangeStep);
    } else if (desc.formFlag == DPFF_Enumeration) {
        if (desc.enumValues.size() > 0xFFFF)
            return false;
        w.U16(static_cast<uint16_t>(desc.enumValues.size()));
        for (const PropValue& v : desc.enumValues)
            ok = ok && WritePropValue(w, v);
    }
    return ok && w.ok();
}

bool UnpackDevicePropDesc(const uint8_t* data, size_t size, DevicePropDesc& desc) {
    ByteReader r(data, size);
    desc = DevicePropDesc();
    if (!r.U16(desc.propertyCode) || !r.U16(desc.dataType) || !r.U8(desc.getSet))
        return false;
    if (!ReadPropValue(r, desc.dataType, desc.factoryDefault) ||
        !ReadPropValue(r, desc.dataType, desc.current))
        return false;
    // Read as far as it goes, as libgphoto2 does: a description that ends after its current
    // value has no form, and an enumeration the values that are there.
    if (r.remaining() == 0) {
        desc.cutShort = true;
        return true;
    }
    if (!r.U8(desc.formFlag))
        return false;
    if (desc.formFlag == DPFF_Range) {
        if (!ReadPropValue(r, desc.dataType, desc.rangeMin) ||
            !ReadPropValue(r, desc.dataType, desc.rangeMax) ||
            !ReadPropValue(r, desc.dataType, desc.rangeStep))
            return false;
    } else if (desc.formFlag == DPFF_Enumeration) {
        uint16_t count;
        if (!r.U16(count))
            return false;
        // Each value takes at least one byte, so no more than what is left are read.
        desc.enumValues.reserve(std::min<size_t>(count, r.remaining()));
        for (uint16_t i = 0; i < count; ++i) {
            PropValue v;
            if (r.remaining() == 0 || !ReadPropValue(r, desc.dataType, v)) {
                desc.cutShort = true;
                break;
            }
            desc.enumValues.push_back(std::move(v));
        }
    }
    desc.trailing = r.remaining();
    return true;
}

bool PackObjectPropList(const std::vector<ObjectProp>& props, std::vector<uint8_t>& out) {
    if (props.size() > 0xFFFFFFFF)
        return false;
    ByteWriter w(out);
    w.U32(static_cast<uint32_t>(props.size()));
    for (const ObjectProp& prop : props) {
        w.U32(prop.handle);
        w.U16(prop.code);
        w.U16(prop.value.dataType);
        if (!WritePropValue(w, prop.value))
            return false;
    }
    return true;
}

bool UnpackObjectPropList(const uint8_t* data, size_t size,
                          const std::function<bool(const ObjectProp&)>& each) {
    ByteReader r(data, size);
    uint32_t count;
    // An element takes at least 9 bytes: handle, code, type and a one-byte value.
    if (!r.U32(count) || count > r.remaining() / 9)
        return false;
    ObjectProp prop;
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t dataType;
        if (!r.U32(prop.handle) || !r.U16(prop.code) || !r.U16(dataType) ||
            !ReadPropValue(r, dataType, prop.value) || !each(prop))
            return false;
    }
    return r.remaining() == 0;
}

void PackU32Array(const std::vector<uint32_t>& values, std::vector<uint8_t>& out) {
    ByteWriter w(out);
    w.U32Array(values);
}

bool UnpackU32Array(const uint8_t* data, size_t size, std::vector<uint32_t>& values) {
    ByteReader r(data, size);
    return r.U32Array(values);
}

} // namespace ptp
