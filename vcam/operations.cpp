// The virtual camera's operations: one handler each, over the card and the profile.
#include <algorithm>
#include <iterator>

#include "ptp/bytes.h"
#include "ptp/codes.h"
#include "ptp/ptpip_framing.h"
#include "ptp/text.h"
#include "session.h"

namespace vcam {

using namespace ptp;

namespace {

const size_t kMaxObjectInfo = 64 * 1024;
const size_t kObjectChunk = 256 * 1024; // GetObject's Data packets

const uint16_t kOperations[] = {
    OC_GetDeviceInfo,      OC_OpenSession,    OC_CloseSession,     OC_GetStorageIDs,
    OC_GetStorageInfo,     OC_GetNumObjects,  OC_GetObjectHandles, OC_GetObjectInfo,
    OC_GetObject,          OC_SendObjectInfo, OC_SendObject,       OC_GetDevicePropDesc,
    OC_GetDevicePropValue, OC_DeleteObject,
};

const uint16_t kFirstVendorFormat = 0xB000;

// Takes data no faster than `rate` bytes a second, counted from the first byte.
class Pace {
  public:
    explicit Pace(uint64_t rate) : rate_(rate), start_(Clock::now()) {}
    // When the bytes taken so far are due.
    Clock::time_point Take(uint64_t bytes) {
        taken_ += bytes;
        if (!rate_)
            return start_;
        uint64_t seconds = taken_ / rate_, rest = taken_ % rate_;
        return start_ + std::chrono::seconds(seconds) +
               std::chrono::microseconds(rest * 1000000 / rate_);
    }

  private:
    uint64_t rate_;
    Clock::time_point start_;
    uint64_t taken_ = 0;
};

} // namespace

bool Supports(uint16_t operation) {
    return std::find(std::begin(kOperations), std::end(kOperations), operation) !=
           std::end(kOperations);
}

Session::Next Session::Dispatch(Request& r) {
    if (LeftOut(r.code)) {
        const uint16_t answer = profile_.leftOutAnswer ? profile_.leftOutAnswer : uint16_t(RC_OK);
        Trace("left out: answered " + Hex(answer));
        return Respond(r, answer);
    }
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
    case OC_MTP_GetObjectPropList:
        return GetObjectPropList(r);
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
    case OC_DeleteObject:
        return DeleteObject(r);
    case OC_MTP_SetObjectPropValue:
        return SetObjectPropValue(r);
    default:
        return Respond(r, RC_OperationNotSupported);
    }
}

bool Session::LeftOut(uint16_t operation) const {
    const std::vector<uint16_t>& out = profile_.leftOut;
    return std::find(out.begin(), out.end(), operation) != out.end();
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
    if (profile_.objectPropList)
        info.operationsSupported.push_back(OC_MTP_GetObjectPropList);
    if (profile_.rename)
        info.operationsSupported.push_back(OC_MTP_SetObjectPropValue);
    auto& listed = info.operationsSupported;
    listed.erase(std::remove_if(listed.begin(), listed.end(),
                                [this](uint16_t code) { return LeftOut(code); }),
                 listed.end());
    // Codes of the MTP extension come with its name, before the camera's own set.
    const bool mtp = profile_.objectPropList || profile_.rename;
    info.vendorExtensionDesc = mtp ? "microsoft.com: 1.0" : "";
    if (!profile_.vendorExtension.empty())
        info.vendorExtensionDesc += (mtp ? "; " : "") + profile_.vendorExtension;
    info.eventsSupported = {EC_ObjectAdded, EC_ObjectRemoved, EC_StoreRemoved,
                            EC_Vandrel_PowerDown};
    info.devicePropertiesSupported = ListedProperties();
    info.imageFormats = {OFC_Undefined, OFC_Association, OFC_Text, OFC_EXIF_JPEG};
    info.manufacturer = profile_.manufacturer;
    info.model = profile_.model;
    info.deviceVersion = profile_.firmware;
    info.serialNumber = profile_.serialNumber;
    std::vector<uint8_t> data;
    if (!PackDeviceInfo(info, data))
        return Respond(r, RC_GeneralError);
    // A camera that leaves out its trailing strings ends the dataset before them.
    const std::string* strings[] = {&info.manufacturer, &info.model, &info.deviceVersion,
                                    &info.serialNumber};
    for (uint32_t i = 4; i > profile_.deviceInfoStrings; --i) {
        std::vector<uint8_t> packed;
        ByteWriter(packed).String(*strings[i - 1]);
        data.resize(data.size() - packed.size());
    }
    return SendData(r, data);
}

uint16_t Session::CheckStorage(uint32_t storageId, bool allowAll) const {
    if (!cardPresent_)
        return RC_StoreNotAvailable;
    if (storageId == profile_.storageId || (allowAll && storageId == kAllStorages))
        return RC_OK;
    const auto& slots = profile_.emptySlots;
    return std::find(slots.begin(), slots.end(), storageId) != slots.end() ? RC_StoreNotAvailable
                                                                           : RC_InvalidStorageID;
}

Session::Next Session::GetStorageIDs(Request& r) {
    std::vector<uint32_t> ids = profile_.emptySlots;
    if (cardPresent_)
        ids.push_back(profile_.storageId);
    std::vector<uint8_t> data;
    PackU32Array(ids, data);
    return SendData(r, data);
}

Session::Next Session::GetStorageInfo(Request& r) {
    const auto& slots = profile_.emptySlots;
    if (profile_.slotsHang && std::find(slots.begin(), slots.end(), r.P(0)) != slots.end()) {
        // Some bodies never answer for an empty slot: the session is over for the initiator.
        Trace("GetStorageInfo of an empty slot: no answer");
        while (!owner_.stopped() && !command_.PeerClosed())
            Pause(50);
        return Next::Fail;
    }
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
    info.storageId = profile_.storageId;
    info.objectFormat = object.format;
    info.protectionStatus = object.readOnly ? 1 : 0;
    if (object.incomplete)
        info.objectCompressedSize = object.announced;
    else
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
    uint64_t corruptAt = kNever;
    if (faults_.CorruptsThisRead() && object->size > 0) {
        corruptAt = std::min(profile_.corruptReadOffset, object->size - 1);
        Trace("fault: byte " + std::to_string(corruptAt) + " of the data sent back is corrupt");
    }
    // One open file for the whole object, in large packets: a file opened per packet, or a
    // packet per 64 KiB, costs more than the bytes under Wine.
    std::ifstream file;
    const bool opened = card_.OpenForReading(*object, file);
    uint64_t offset = 0;
    DataSource source = [&](uint8_t* buffer, size_t count) {
        file.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count));
        const bool ok = opened && static_cast<size_t>(file.gcount()) == count;
        if (corruptAt >= offset && corruptAt - offset < count)
            buffer[corruptAt - offset] ^= 0xFF;
        offset += count;
        return ok;
    };
    Status status = SendDataPhase(command_, r.tid, object->size, source, kObjectChunk, Silence());
    if (status != Status::Ok) {
        // A file that shrank while being sent cannot be finished: the phase is broken.
        Trace("GetObject: reading " + object->path + " failed");
        return Next::Fail;
    }
    return Respond(r, RC_OK);
}

// Why a new object may not go into `parent` under `info`'s name and format; RC_OK when it may.
uint16_t Session::CheckNewObject(uint32_t parent, const ObjectInfo& info) const {
    if (!profile_.vendorFormats && info.objectFormat >= kFirstVendorFormat) {
        Trace("refused vendor format " + Hex(info.objectFormat));
        return profile_.vendorFormatRefusal;
    }
    if (parent != 0) {
        const CardObject* folder = card_.Find(parent);
        if (!folder || !folder->folder)
            return RC_InvalidParentObject;
    }
    if (!card_.DepthAllows(parent)) {
        Trace("refused a folder deeper than " + std::to_string(kMaxFolderDepth));
        return RC_SpecificationOfDestinationUnsupported;
    }
    if (!IsSafeObjectName(info.filename) || !card_.NameFits(parent, info.filename)) {
        Trace("refused name \"" + info.filename + "\"");
        return RC_InvalidParameter;
    }
    if (card_.NameTaken(parent, info.filename)) {
        Trace("refused existing name \"" + info.filename + "\"");
        return RC_ObjectWriteProtected;
    }
    bool folder = info.objectFormat == OFC_Association;
    uint64_t size =
        info.objectCompressedSize == kSizeUnknown32 ? 0x100000000ull : info.objectCompressedSize;
    if (card_.Footprint(folder ? 0 : size) > card_.freeSpace())
        return RC_StoreFull;
    return RC_OK;
}

bool Session::ImageFolder(uint32_t& parent) {
    // A camera that decides puts new objects where it puts its pictures.
    parent = 0;
    for (const char* name : {"DCIM", "100TARVO"}) {
        uint32_t found = 0;
        for (const CardObject* object : card_.Objects()) {
            if (object->folder && object->parent == parent && Lower(object->name) == Lower(name))
                found = object->handle;
        }
        if (!found) {
            found = card_.ReserveHandle();
            if (!card_.CreateFolder(found, parent, name))
                return false;
        }
        parent = found;
    }
    return true;
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
    if (storage != 0 && storage != kAllStorages && storage != profile_.storageId)
        return Respond(r, RC_InvalidStorageID);
    const bool undecided = storage == 0 || r.P(1) == 0;
    if (undecided && profile_.undecidedRefusal) {
        Trace("refused to decide where the object goes");
        return Respond(r, profile_.undecidedRefusal);
    }
    if (profile_.writeProtected)
        return Respond(r, RC_StoreReadOnly);
    ObjectInfo info;
    if (tooBig || !UnpackObjectInfo(data.data(), data.size(), info))
        return Respond(r, RC_InvalidDataset);
    uint32_t parent = r.P(1) == kRootParent ? 0 : r.P(1);
    if (undecided && profile_.decidesIntoDcim && !ImageFolder(parent))
        return Respond(r, RC_GeneralError);
    uint16_t refusal = CheckNewObject(parent, info);
    if (refusal != RC_OK)
        return Respond(r, refusal);
    uint32_t parentOut = parent == 0 ? kRootParent : parent;
    if (info.objectFormat == OFC_Association) {
        uint32_t handle = card_.ReserveHandle();
        if (!card_.CreateFolder(handle, parent, info.filename))
            return Respond(r, RC_GeneralError);
        pending_.valid = true;
        pending_.folder = true;
        pending_.handle = handle;
        return Respond(r, RC_OK, {profile_.storageId, parentOut, handle});
    }
    pending_.valid = true;
    pending_.handle = card_.ReserveHandle();
    pending_.parent = parent;
    pending_.name = info.filename;
    pending_.format = info.objectFormat;
    pending_.size = info.objectCompressedSize;
    return Respond(r, RC_OK, {profile_.storageId, parentOut, pending_.handle});
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
    uint64_t announced = pending.size != kSizeUnknown32 ? uint64_t(pending.size) : kNever;
    bool fits = card_.Footprint(total) <= card_.freeSpace();
    uint16_t refusal = RC_OK;
    if (pending.size != kSizeUnknown32 ? total != pending.size : total < kSizeUnknown32)
        refusal = RC_IncompleteTransfer;
    else if (!fits)
        refusal = RC_StoreFull;
    // A short phase still writes what comes when incomplete objects are kept.
    bool write = refusal == RC_OK || (profile_.keepIncomplete && total < announced && fits);
    if (!write && Abandon(r))
        return Respond(r, refusal);
    upload_.reset();
    if (write) {
        upload_ = card_.BeginUpload(pending.handle, pending.parent, pending.name, pending.format);
        uploadAnnounced_ = pending.size;
        if (!upload_ && refusal == RC_OK)
            refusal = RC_GeneralError;
    }

    uint16_t overrideCode = 0;
    bool writeFailed = false;
    Pace pace(profile_.paceBytesPerSecond);
    DataSink sink = [&](const uint8_t* bytes, size_t count) {
        if (upload_ && !overrideCode && !writeFailed && !upload_->Write(bytes, count))
            writeFailed = true;
        next = Inject(faults_.AfterBytes(count), r.tid, overrideCode);
        if (next == Next::Continue)
            SleepUntil(pace.Take(count));
        return next == Next::Continue;
    };
    DataPhaseResult result = ReceiveDataPhase(command_, r.tid, total, sink, Silence());
    if (next == Next::Drop)
        return Next::Drop; // the connections are gone; the upload ended with them
    if (result.status != Status::Ok)
        return Next::Fail; // the upload ends with the session
    uint16_t code = RC_OK;
    if (result.cancelled)
        code = RC_TransactionCancelled;
    else if (overrideCode)
        code = overrideCode;
    else if (refusal != RC_OK)
        code = refusal;
    else if (writeFailed)
        code = RC_GeneralError;
    if (code == RC_OK && !upload_->Commit())
        code = RC_GeneralError;
    if (code == RC_OK)
        Trace("stored " + pending.name + " (" + std::to_string(total) + " bytes)");
    EndUpload(); // an unfinished file is gone, or kept, before the initiator hears of it
    if (profile_.afterSendDelayMs)
        Pause(profile_.afterSendDelayMs); // a slow card still writing
    return Respond(r, code);
}

Session::Next Session::DeleteObject(Request& r) {
    if (!cardPresent_)
        return Respond(r, RC_StoreNotAvailable);
    uint32_t handle = r.P(0);
    if (handle == kAllObjects)
        return Respond(r, RC_ParameterNotSupported); // one object at a time
    const CardObject* object = card_.Find(handle);
    if (!object)
        return Respond(r, RC_InvalidObjectHandle);
    if (profile_.writeProtected)
        return Respond(r, RC_StoreReadOnly);
    if (object->readOnly)
        return Respond(r, RC_ObjectWriteProtected);
    std::string path = object->path;
    switch (card_.Remove(handle)) {
    case Card::Removal::Removed:
        Trace("deleted " + path);
        if (pending_.parent == handle)
            pending_ = Pending(); // its folder is gone
        return Respond(r, RC_OK);
    case Card::Removal::NotEmpty:
        Trace("refused to delete " + path + ": the folder is not empty");
        return Respond(r, RC_AccessDenied);
    default:
        return Respond(r, RC_GeneralError);
    }
}

} // namespace vcam
