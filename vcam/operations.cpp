// The virtual camera's operations: one handler each, over the card and the profile.
#include <algorithm>

#include "ptp/codes.h"
#include "session.h"

namespace vcam {

using namespace ptp;

namespace {

const size_t kMaxObjectInfo = 64 * 1024;
const size_t kSendChunk = 64 * 1024;

const uint16_t kOperations[] = {
    OC_GetDeviceInfo,      OC_OpenSession,    OC_CloseSession,     OC_GetStorageIDs,
    OC_GetStorageInfo,     OC_GetNumObjects,  OC_GetObjectHandles, OC_GetObjectInfo,
    OC_GetObject,          OC_SendObjectInfo, OC_SendObject,       OC_GetDevicePropDesc,
    OC_GetDevicePropValue,
};

} // namespace

bool Supports(uint16_t operation) {
    return std::find(std::begin(kOperations), std::end(kOperations), operation) !=
           std::end(kOperations);
}

Session::Next Session::Dispatch(Request& r) {
    if (!sessionOpen_ && r.code != OC_GetDeviceInfo && r.code != OC_OpenSession)
        return Respond(r, RC_SessionNotOpen);
    switch (r.code) {
    case OC_GetDeviceInfo:
        return GetDeviceInfo(r);
    case OC_OpenSession:
        return OpenSession(r);
    case OC_CloseSession:
        return CloseSession(r);
    case OC_GetStorageIDs:
        return GetStorageIDs(r);
    case OC_GetStorageInfo:
        return GetStorageInfo(r);
    case OC_GetNumObjects:
        return GetNumObjects(r);
    case OC_GetObjectHandles:
        return GetObjectHandles(r);
    case OC_GetObjectInfo:
        return GetObjectInfo(r);
    case OC_GetObject:
        return GetObject(r);
    case OC_SendObjectInfo:
        return SendObjectInfo(r);
    case OC_SendObject:
        return SendObject(r);
    case OC_GetDevicePropDesc:
        return GetDevicePropDesc(r);
    case OC_GetDevicePropValue:
        return GetDevicePropValue(r);
    default:
        return Respond(r, RC_OperationNotSupported);
    }
}

Session::Next Session::OpenSession(Request& r) {
    if (sessionOpen_)
        return Respond(r, RC_SessionAlreadyOpen);
    if (r.P(0) == 0)
        return Respond(r, RC_InvalidParameter);
    sessionOpen_ = true;
    pending_ = Pending();
    if (cardPresent_)
        card_.Scan();
    return Respond(r, RC_OK);
}

Session::Next Session::CloseSession(Request& r) {
    sessionOpen_ = false;
    pending_ = Pending();
    return Respond(r, RC_OK);
}

Session::Next Session::GetDeviceInfo(Request& r) {
    DeviceInfo info;
    info.standardVersion = 100;
    info.operationsSupported.assign(std::begin(kOperations), std::end(kOperations));
    info.eventsSupported = {EC_StoreRemoved, EC_Vandrel_PowerDown};
    info.devicePropertiesSupported = {DPC_BatteryLevel};
    if (profile_.vendorProperties) {
        info.devicePropertiesSupported.insert(
            info.devicePropertiesSupported.end(),
            {DPC_Vandrel_BatteryState, DPC_Vandrel_FirmwareVersion, DPC_Vandrel_ModelName});
    }
    info.imageFormats = {OFC_Undefined, OFC_Association, OFC_Text, OFC_EXIF_JPEG};
    info.manufacturer = profile_.manufacturer;
    info.model = profile_.model;
    info.deviceVersion = profile_.firmware;
    info.serialNumber = profile_.serialNumber;
    std::vector<uint8_t> data;
    if (!PackDeviceInfo(info, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

uint16_t Session::CheckStorage(uint32_t storageId, bool allowAll) const {
    if (!cardPresent_)
        return RC_StoreNotAvailable;
    if (storageId == kStorageId || (allowAll && storageId == kAllStorages))
        return RC_OK;
    return RC_InvalidStorageID;
}

Session::Next Session::GetStorageIDs(Request& r) {
    std::vector<uint32_t> ids;
    if (cardPresent_)
        ids.push_back(kStorageId);
    std::vector<uint8_t> data;
    PackU32Array(ids, data);
    return SendData(r, data);
}

Session::Next Session::GetStorageInfo(Request& r) {
    uint16_t check = CheckStorage(r.P(0), false);
    if (check != RC_OK)
        return Respond(r, check);
    StorageInfo info;
    info.storageType = ST_RemovableRAM;
    info.filesystemType = FST_GenericHierarchical;
    info.accessCapability = profile_.writeProtected ? AC_ReadOnly : AC_ReadWrite;
    info.maxCapacity = card_.capacity();
    info.freeSpaceInBytes = card_.freeSpace();
    info.freeSpaceInImages = 0xFFFFFFFF;
    info.storageDescription = "Memory card";
    info.volumeLabel = profile_.volumeLabel;
    std::vector<uint8_t> data;
    if (!PackStorageInfo(info, data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

uint16_t Session::Select(const Request& r, std::vector<uint32_t>& handles) const {
    uint16_t check = CheckStorage(r.P(0), true);
    if (check != RC_OK)
        return check;
    uint32_t parent = r.P(2);
    if (parent != 0 && parent != kRootParent) {
        const CardObject* folder = card_.Find(parent);
        if (!folder || !folder->folder)
            return RC_InvalidParentObject;
    }
    for (const CardObject* object : card_.Objects()) {
        bool inParent = parent == 0 || object->parent == (parent == kRootParent ? 0 : parent);
        if (inParent && (r.P(1) == 0 || object->format == r.P(1)))
            handles.push_back(object->handle);
    }
    return RC_OK;
}

Session::Next Session::GetNumObjects(Request& r) {
    std::vector<uint32_t> handles;
    uint16_t code = Select(r, handles);
    if (code != RC_OK)
        return Respond(r, code);
    return Respond(r, RC_OK, {static_cast<uint32_t>(handles.size())});
}

Session::Next Session::GetObjectHandles(Request& r) {
    std::vector<uint32_t> handles;
    uint16_t code = Select(r, handles);
    if (code != RC_OK)
        return Respond(r, code);
    std::vector<uint8_t> data;
    PackU32Array(handles, data);
    return SendData(r, data);
}

ObjectInfo Session::InfoOf(const CardObject& object) const {
    ObjectInfo info;
    info.storageId = kStorageId;
    info.objectFormat = object.format;
    info.objectCompressedSize =
        object.size >= 0xFFFFFFFFull ? kSizeUnknown32 : static_cast<uint32_t>(object.size);
    info.parentObject = object.parent;
    info.associationType = object.folder ? AT_GenericFolder : AT_Undefined;
    info.filename = object.name;
    return info;
}

Session::Next Session::GetObjectInfo(Request& r) {
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    const CardObject* object = card_.Find(r.P(0));
    if (!object)
        return Respond(r, RC_InvalidObjectHandle);
    std::vector<uint8_t> data;
    if (!PackObjectInfo(InfoOf(*object), data))
        return Respond(r, RC_GeneralError);
    return SendData(r, data);
}

Session::Next Session::GetObject(Request& r) {
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    const CardObject* object = card_.Find(r.P(0));
    if (!object || object->folder)
        return Respond(r, RC_InvalidObjectHandle);
    uint64_t offset = 0;
    DataSource source = [&](uint8_t* buffer, size_t count) {
        bool ok = card_.Read(*object, offset, buffer, count);
        offset += count;
        return ok;
    };
    Status status = SendDataPhase(command_, r.tid, object->size, source, kSendChunk);
    if (status != Status::Ok) {
        // A file that shrank while being sent cannot be finished: the phase is broken.
        Trace("GetObject: reading " + object->path + " failed");
        return Next::Fail;
    }
    return Respond(r, RC_OK);
}

Session::Next Session::SendObjectInfo(Request& r) {
    std::vector<uint8_t> data;
    bool tooBig = false;
    Next next = ReceiveData(r, &data, kMaxObjectInfo, tooBig);
    if (next != Next::Continue)
        return next;
    pending_ = Pending(); // a new ObjectInfo replaces any earlier one
    if (r.cancelled)
        return Respond(r, RC_TransactionCancelled);
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    uint32_t storage = r.P(0);
    if (storage != 0 && storage != kAllStorages && storage != kStorageId)
        return Respond(r, RC_InvalidStorageID);
    if (profile_.writeProtected)
        return Respond(r, RC_StoreReadOnly);
    ObjectInfo info;
    if (tooBig || !UnpackObjectInfo(data.data(), data.size(), info))
        return Respond(r, RC_InvalidDataset);
    uint32_t parent = r.P(1) == kRootParent ? 0 : r.P(1);
    if (parent != 0) {
        const CardObject* folder = card_.Find(parent);
        if (!folder || !folder->folder)
            return Respond(r, RC_InvalidParentObject);
    }
    if (!IsSafeObjectName(info.filename)) {
        Trace("refused name \"" + info.filename + "\"");
        return Respond(r, RC_InvalidParameter);
    }
    if (card_.NameTaken(parent, info.filename)) {
        Trace("refused existing name \"" + info.filename + "\"");
        return Respond(r, RC_ObjectWriteProtected);
    }
    uint32_t parentOut = parent == 0 ? kRootParent : parent;
    if (info.objectFormat == OFC_Association) {
        uint32_t handle = card_.ReserveHandle();
        if (!card_.CreateFolder(handle, parent, info.filename))
            return Respond(r, RC_GeneralError);
        pending_.valid = true;
        pending_.folder = true;
        pending_.handle = handle;
        return Respond(r, RC_OK, {kStorageId, parentOut, handle});
    }
    uint64_t needed =
        info.objectCompressedSize == kSizeUnknown32 ? 0x100000000ull : info.objectCompressedSize;
    if (needed > card_.freeSpace())
        return Respond(r, RC_StoreFull);
    pending_.valid = true;
    pending_.handle = card_.ReserveHandle();
    pending_.parent = parent;
    pending_.name = info.filename;
    pending_.format = info.objectFormat;
    pending_.size = info.objectCompressedSize;
    return Respond(r, RC_OK, {kStorageId, parentOut, pending_.handle});
}

Session::Next Session::SendObject(Request& r) {
    Pending pending = pending_;
    pending_ = Pending();
    if (!pending.valid)
        return Respond(r, RC_NoValidObjectInfo);
    if (pending.folder || !cardPresent_)
        return Respond(r, cardPresent_ ? RC_OK : RC_StoreNotAvailable);

    StartData start;
    Next next = ReadStartData(r, start);
    if (next != Next::Continue)
        return next;
    if (r.cancelled)
        return Respond(r, RC_TransactionCancelled);
    uint64_t total = start.totalLength;
    uint16_t refusal = RC_OK;
    if (pending.size != kSizeUnknown32 ? total != pending.size : total < kSizeUnknown32)
        refusal = RC_IncompleteTransfer;
    else if (total > card_.freeSpace())
        refusal = RC_StoreFull;
    std::unique_ptr<Upload>& upload = upload_;
    upload.reset();
    if (refusal == RC_OK) {
        upload = card_.BeginUpload(pending.handle, pending.parent, pending.name, pending.format);
        if (!upload)
            refusal = RC_GeneralError;
    }

    uint16_t overrideCode = 0;
    bool writeFailed = false;
    DataSink sink = [&](const uint8_t* bytes, size_t count) {
        if (upload && !overrideCode && !writeFailed && !upload->Write(bytes, count))
            writeFailed = true;
        next = Inject(faults_.AfterBytes(count), r.tid, overrideCode);
        return next == Next::Continue;
    };
    DataPhaseResult result = ReceiveDataPhase(command_, r.tid, total, sink, owner_.peerTimeoutMs_);
    if (next == Next::Drop)
        return Next::Drop; // the upload's temporary file goes with it
    if (result.status != Status::Ok)
        return Next::Fail;
    uint16_t code = RC_OK;
    if (result.cancelled)
        code = RC_TransactionCancelled;
    else if (overrideCode)
        code = overrideCode;
    else if (refusal != RC_OK)
        code = refusal;
    else if (writeFailed)
        code = RC_GeneralError;
    if (code == RC_OK && !upload->Commit())
        code = RC_GeneralError;
    upload.reset(); // an uncommitted file is gone before the initiator hears of it
    if (code == RC_OK)
        Trace("stored " + pending.name + " (" + std::to_string(total) + " bytes)");
    return Respond(r, code);
}

bool Session::PropertyListed(uint16_t code) const {
    if (code == DPC_BatteryLevel)
        return true;
    return profile_.vendorProperties &&
           (code == DPC_Vandrel_BatteryState || code == DPC_Vandrel_FirmwareVersion ||
            code == DPC_Vandrel_ModelName);
}

bool Session::BuildPropDesc(uint16_t code, DevicePropDesc& desc) const {
    if (!PropertyListed(code))
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
