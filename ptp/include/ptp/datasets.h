// PTP datasets with their exact layouts: one Pack/Unpack pair per dataset, fields in protocol
// order. Unpack treats its input as hostile: false on any short, over-long count or bad field.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ptp/codes.h"

namespace ptp {

class ByteReader;
class ByteWriter;

struct DeviceInfo {
    uint16_t standardVersion = 100;
    uint32_t vendorExtensionId = 0;
    uint16_t vendorExtensionVersion = 0;
    std::string vendorExtensionDesc;
    uint16_t functionalMode = 0;
    std::vector<uint16_t> operationsSupported;
    std::vector<uint16_t> eventsSupported;
    std::vector<uint16_t> devicePropertiesSupported;
    std::vector<uint16_t> captureFormats;
    std::vector<uint16_t> imageFormats;
    std::string manufacturer;
    std::string model;
    std::string deviceVersion;
    std::string serialNumber;

    bool SupportsOperation(uint16_t code) const;
    bool SupportsProperty(uint16_t code) const;
    // True when the device says its vendor codes include the MTP extension's.
    bool SpeaksMtp() const;
    // True when VendorExtensionDesc lists the set of vendor codes `name` (case aside).
    bool NamesExtension(const std::string& name) const;
};

struct StorageInfo {
    uint16_t storageType = 0;
    uint16_t filesystemType = 0;
    uint16_t accessCapability = 0;
    uint64_t maxCapacity = 0;
    uint64_t freeSpaceInBytes = 0;
    uint32_t freeSpaceInImages = 0xFFFFFFFF;
    std::string storageDescription;
    std::string volumeLabel;
};

struct ObjectInfo {
    uint32_t storageId = 0;
    uint16_t objectFormat = 0;
    uint16_t protectionStatus = 0;
    uint32_t objectCompressedSize = 0; // 0xFFFFFFFF: 4 GiB or more
    uint16_t thumbFormat = 0;
    uint32_t thumbCompressedSize = 0;
    uint32_t thumbPixWidth = 0;
    uint32_t thumbPixHeight = 0;
    uint32_t imagePixWidth = 0;
    uint32_t imagePixHeight = 0;
    uint32_t imageBitDepth = 0;
    uint32_t parentObject = 0;
    uint16_t associationType = 0;
    uint32_t associationDesc = 0;
    uint32_t sequenceNumber = 0;
    std::string filename;
    std::string captureDate;
    std::string modificationDate;
    std::string keywords;
};

// A device property value of any data type. Integers keep their bits in `integer` (signed
// types sign-extended), 128-bit ones add `high`; arrays fill `array`; strings fill `text`.
struct PropValue {
    uint16_t dataType = DTC_UINT8;
    uint64_t integer = 0;
    uint64_t high = 0;
    std::vector<uint64_t> array;
    std::string text;

    static PropValue Unsigned(uint16_t dataType, uint64_t value);
    static PropValue String(const std::string& utf8);
    bool operator==(const PropValue& other) const;
};

struct DevicePropDesc {
    uint16_t propertyCode = 0;
    uint16_t dataType = 0;
    uint8_t getSet = 0; // 0 read-only, 1 read-write
    PropValue factoryDefault;
    PropValue current;
    uint8_t formFlag = 0; // DPFF_None, DPFF_Range, DPFF_Enumeration
    PropValue rangeMin, rangeMax, rangeStep;
    std::vector<PropValue> enumValues;
    bool cutShort = false; // it ended before its form flag, or its enumeration before its count
    size_t trailing = 0;   // bytes after its form: not laid out as the standard lays it out
};

bool PackDeviceInfo(const DeviceInfo& info, std::vector<uint8_t>& out);
bool UnpackDeviceInfo(const uint8_t* data, size_t size, DeviceInfo& info);

bool PackStorageInfo(const StorageInfo& info, std::vector<uint8_t>& out);
bool UnpackStorageInfo(const uint8_t* data, size_t size, StorageInfo& info);

bool PackObjectInfo(const ObjectInfo& info, std::vector<uint8_t>& out);
// The Filename is required; a dataset that ends after it lacks only the optional strings.
bool UnpackObjectInfo(const uint8_t* data, size_t size, ObjectInfo& info);

bool PackDevicePropDesc(const DevicePropDesc& desc, std::vector<uint8_t>& out);
bool UnpackDevicePropDesc(const uint8_t* data, size_t size, DevicePropDesc& desc);

// A bare property value as GetDevicePropValue carries it; the type comes from the caller.
bool PackPropValue(const PropValue& value, std::vector<uint8_t>& out);
bool UnpackPropValue(const uint8_t* data, size_t size, uint16_t dataType, PropValue& value);
bool WritePropValue(ByteWriter& writer, const PropValue& value);
bool ReadPropValue(ByteReader& reader, uint16_t dataType, PropValue& value);

// One element of an MTP ObjectPropList (GetObjectPropList): one property of one object.
struct ObjectProp {
    uint32_t handle = 0;
    uint16_t code = 0;
    PropValue value;
};
// The MTP object properties that say what an ObjectInfo says, each in its MTP data type.
struct ObjectInfoProperty {
    uint16_t code;
    uint16_t dataType;
};
inline constexpr ObjectInfoProperty kObjectInfoProperties[7] = {
    {OPC_StorageID, DTC_UINT32},        {OPC_ObjectFormat, DTC_UINT16},
    {OPC_ProtectionStatus, DTC_UINT16}, {OPC_ObjectSize, DTC_UINT64},
    {OPC_AssociationType, DTC_UINT16},  {OPC_ObjectFileName, DTC_STR},
    {OPC_ParentObject, DTC_UINT32},
};
bool PackObjectPropList(const std::vector<ObjectProp>& props, std::vector<uint8_t>& out);
// Hands each element to `each` in order, never holding them all; false when the list is
// malformed or `each` returns false.
bool UnpackObjectPropList(const uint8_t* data, size_t size,
                          const std::function<bool(const ObjectProp&)>& each);

// A u32 array dataset (GetStorageIDs, GetObjectHandles).
void PackU32Array(const std::vector<uint32_t>& values, std::vector<uint8_t>& out);
bool UnpackU32Array(const uint8_t* data, size_t size, std::vector<uint32_t>& values);

} // namespace ptp
