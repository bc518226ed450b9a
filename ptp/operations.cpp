// The initiator's typed operations: each one transaction whose dataset is decoded, or whose
// response parameters are checked, before it is handed back.
#include <algorithm>
#include <memory>

#include "ptp/initiator.h"

namespace ptp {

DataOut DataOutOf(const std::vector<uint8_t>& bytes) {
    auto offset = std::make_shared<size_t>(0);
    return DataOut(
        bytes.size(),
        [&bytes, offset](uint8_t* buffer, size_t count) {
            std::copy(bytes.begin() + *offset, bytes.begin() + *offset + count, buffer);
            *offset += count;
            return true;
        },
        [offset] {
            *offset = 0;
            return true;
        });
}

Result Initiator::GetDeviceInfo(DeviceInfo& info) {
    return TransactDataset(OC_GetDeviceInfo, {},
                           [&](const uint8_t* data, size_t size, std::string&) {
                               return UnpackDeviceInfo(data, size, info);
                           });
}

Result Initiator::GetStorageIDs(std::vector<uint32_t>& ids) {
    return TransactDataset(OC_GetStorageIDs, {},
                           [&](const uint8_t* data, size_t size, std::string&) {
                               return UnpackU32Array(data, size, ids);
                           });
}

Result Initiator::GetStorageInfo(uint32_t storageId, StorageInfo& info) {
    return TransactDataset(OC_GetStorageInfo, {storageId},
                           [&](const uint8_t* data, size_t size, std::string&) {
                               return UnpackStorageInfo(data, size, info);
                           });
}

Result Initiator::GetNumObjects(uint32_t storageId, uint32_t format, uint32_t parent,
                                uint32_t& count) {
    Result result = Transact(OC_GetNumObjects, {storageId, format, parent});
    if (result.ok()) {
        if (result.params.empty())
            result.status = Status::Malformed;
        else
            count = result.params[0];
    }
    return result;
}

Result Initiator::GetObjectHandles(uint32_t storageId, uint32_t format, uint32_t parent,
                                   std::vector<uint32_t>& handles) {
    return TransactDataset(OC_GetObjectHandles, {storageId, format, parent},
                           [&](const uint8_t* data, size_t size, std::string&) {
                               return UnpackU32Array(data, size, handles);
                           });
}

Result Initiator::GetObjectInfo(uint32_t handle, ObjectInfo& info) {
    return TransactDataset(OC_GetObjectInfo, {handle},
                           [&](const uint8_t* data, size_t size, std::string&) {
                               return UnpackObjectInfo(data, size, info);
                           });
}

Result Initiator::GetObjectPropList(uint32_t handle, uint32_t format, uint32_t property,
                                    uint32_t depth, uint64_t maxSize,
                                    const std::function<bool(const ObjectProp&)>& each) {
    return TransactDataset(
        OC_MTP_GetObjectPropList, {handle, format, property, 0, depth},
        [&](const uint8_t* data, size_t size, std::string&) {
            return UnpackObjectPropList(data, size, each);
        },
        maxSize);
}

Result Initiator::GetObject(uint32_t handle, const DataIn& in) {
    return Transact(OC_GetObject, {handle}, nullptr, &in);
}

Result Initiator::DeleteObject(uint32_t handle, uint32_t format) {
    return Transact(OC_DeleteObject, {handle, format});
}

Result Initiator::SendObjectInfo(uint32_t storageId, uint32_t parent, const ObjectInfo& info) {
    std::vector<uint8_t> data;
    if (!PackObjectInfo(info, data))
        return Result::Of(Status::Error);
    const DataOut out = DataOutOf(data);
    Result result = Transact(OC_SendObjectInfo, {storageId, parent}, &out);
    if (result.ok() && result.params.size() < 3)
        result.status = Status::Malformed;
    return result;
}

Result Initiator::SendObject(const DataOut& out) {
    return Transact(OC_SendObject, {}, &out);
}

Result Initiator::GetDevicePropDesc(uint16_t property, DevicePropDesc& desc) {
    return TransactDataset(
        OC_GetDevicePropDesc, {property}, [&](const uint8_t* data, size_t size, std::string& note) {
            if (!UnpackDevicePropDesc(data, size, desc))
                return false;
            if (desc.cutShort)
                note = desc.formFlag == DPFF_None
                           ? "no form flag: read as no form"
                           : "enumeration shorter than its count: " +
                                 std::to_string(desc.enumValues.size()) + " values read";
            return true;
        });
}

Result Initiator::GetDevicePropValue(uint16_t property, uint16_t dataType, PropValue& value) {
    return TransactDataset(OC_GetDevicePropValue, {property},
                           [&](const uint8_t* data, size_t size, std::string&) {
                               return UnpackPropValue(data, size, dataType, value);
                           });
}

} // namespace ptp
