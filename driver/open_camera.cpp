// The open camera's session, its card's stores, lists and entries, and its events.
#include "open_camera.h"

#include <algorithm>

#include "codecs.h"
#include "listed_entries.h"
#include "properties.h"
#include "result_map.h"

namespace {

// Object entries fetched ahead of a caller walking a handle list, per hand-off.
const size_t kEntryReadAhead = 256;
// A walk with fewer unknown entries ahead is read ahead by GetObjectInfo instead: seven
// property lists cost more than a few entries.
const size_t kListedAtLeast = 16;
// Bound on one property list: 65,536 names of over 200 characters.
const uint64_t kMaxPropertyList = 16u << 20;
// Objects added that a rename's confirmation looks at first.
const size_t kMaxAdded = 64;

} // namespace

OpenCamera::OpenCamera(const DriverSettings& settings, Trace& trace, uint32_t device,
                       std::unique_ptr<CameraSource> source,
                       std::unique_ptr<ptp::Initiator> initiator)
    : settings_(settings), trace_(trace), device_(device), source_(std::move(source)),
      initiator_(std::move(initiator)) {
    cache_.Begin(device);
}

OpenCamera::~OpenCamera() {
    if (initiator_->sessionOpen())
        initiator_->CloseSession();
    initiator_->Shutdown();
    initiator_.reset();
}

DriverResult OpenCamera::Begin() {
    ptp::Result opened = initiator_->OpenSession(1);
    if (opened.ok())
        opened = initiator_->GetDeviceInfo(deviceInfo_);
    if (!opened.ok()) {
        // No callback exists yet: events sent before the failure reach only the trace.
        initiator_->DeliverWaitingEvents();
        trace_.Note("open failed: result " + std::to_string(MapPtpResult(opened)));
        return MapPtpResult(opened);
    }
    trace_.Device(deviceInfo_);
    // A camera that lists neither way to send it a file cannot take an update: the user
    // learns so before any copy begins, not part-way through one.
    if (!Lists(ptp::OC_SendObjectInfo) && !Lists(ptp::OC_SendObject)) {
        trace_.Note("open refused: the camera lists neither SendObjectInfo nor SendObject");
        return kDriverNotSupported;
    }
    return kDriverOk;
}

bool OpenCamera::Lists(uint16_t operation) const {
    return deviceInfo_.operationsSupported.empty() || deviceInfo_.SupportsOperation(operation);
}

void OpenCamera::Failed(DriverResult result) {
    cache_.Forget();
    // An event sent just before the failure explains it: it reaches the caller first.
    initiator_->DeliverWaitingEvents();
    trace_.Note("result " + std::to_string(result));
}

RaisedEvent OpenCamera::OnEvent(const ptp::Event& event) {
    trace_.Event(event);
    // Object events make the known objects go; any other event but a property change may
    // concern the card as a whole.
    if (event.code == ptp::EC_ObjectAdded || event.code == ptp::EC_ObjectRemoved ||
        event.code == ptp::EC_ObjectInfoChanged)
        cache_.ForgetObjects();
    if (event.code == ptp::EC_ObjectAdded && !event.params.empty()) {
        std::lock_guard<common::Lock> hold(addedLock_);
        if (added_.size() < kMaxAdded)
            added_.push_back(event.params[0]);
    } else if (event.code != ptp::EC_DevicePropChanged)
        cache_.Forget();
    RaisedEvent raised;
    if (event.code == ptp::EC_Vandrel_PowerDown && !event.params.empty()) {
        poweredDown_ = true;
        raised.code = kEventClassPower | (event.params[0] & 0xFFFF);
        raised.dataWord = event.params.size() > 1 ? event.params[1] : 0;
    } else if (event.code == ptp::EC_StoreRemoved) {
        raised.code = kEventClassPower | kEventReasonCardSlot;
    }
    return raised;
}

RaisedEvent OpenCamera::OnLost() {
    cache_.Forget();
    // A camera that said it powers down then drops its connection: that is no second event.
    RaisedEvent raised;
    if (!poweredDown_)
        raised.code = kEventClassPower | kEventReasonConnectionLost;
    return raised;
}

DriverResult OpenCamera::ListStores(std::vector<uint32_t>& ids) {
    if (cache_.StorageIds(device_, ids))
        return kDriverOk;
    const uint64_t generation = cache_.Generation();
    ptp::Result result = initiator_->GetStorageIDs(ids);
    if (!result.ok())
        return MapPtpResult(result);
    trace_.Stores(ids);
    // Some cameras never answer a question about an empty slot.
    ids.erase(std::remove_if(ids.begin(), ids.end(), ptp::IsEmptySlot), ids.end());
    cache_.PutStorageIds(generation, ids);
    return kDriverOk;
}

DriverResult OpenCamera::StorageIds(std::vector<uint32_t>& ids) {
    return ListStores(ids);
}

DriverResult OpenCamera::CardStore(uint32_t& storageId) {
    std::vector<uint32_t> ids;
    const DriverResult r = ListStores(ids);
    if (r != kDriverOk)
        return r;
    if (ids.empty())
        return kDriverStoreNotAvailable;
    storageId = ids[0];
    return kDriverOk;
}

DriverResult OpenCamera::StorageInfo(uint32_t storageId, StorageRecord& record) {
    ptp::StorageInfo info;
    ptp::Result result = initiator_->GetStorageInfo(storageId, info);
    if (!result.ok())
        return MapPtpResult(result);
    FillStorageRecord(info, record);
    return kDriverOk;
}

DriverResult OpenCamera::NumObjects(const CardCache::ListKey& key, uint32_t& count) {
    const uint64_t generation = cache_.Generation();
    if (!countsRefused_ && Lists(ptp::OC_GetNumObjects)) {
        ptp::Result result =
            initiator_->GetNumObjects(std::get<0>(key), std::get<1>(key), std::get<2>(key), count);
        if (result.ok()) {
            cache_.PutCount(generation, key, count);
            return kDriverOk;
        }
        if (result.status != ptp::Status::Ok || result.code != ptp::RC_OperationNotSupported)
            return MapPtpResult(result);
        countsRefused_ = true;
    }
    // libgphoto2 never asks for the number, and some cameras never answer it: the list the
    // caller asks for next tells it.
    std::vector<uint32_t> handles;
    const DriverResult r = Handles(key, handles);
    if (r != kDriverOk)
        return r;
    count = static_cast<uint32_t>(handles.size());
    return kDriverOk;
}

DriverResult OpenCamera::ListHandles(const CardCache::ListKey& key,
                                     std::vector<uint32_t>& handles) {
    const uint64_t generation = cache_.Generation();
    const ptp::Result result =
        initiator_->GetObjectHandles(std::get<0>(key), std::get<1>(key), std::get<2>(key), handles);
    if (!result.ok())
        return MapPtpResult(result);
    cache_.PutHandles(generation, key, handles);
    return kDriverOk;
}

DriverResult OpenCamera::Handles(const CardCache::ListKey& key, std::vector<uint32_t>& handles) {
    if (const DriverResult listed = ListHandles(key, handles); listed != kDriverOk)
        return listed;
    // The first list of the card's root in a session is also searched for leftovers.
    if (!leftoversLooked_ && std::get<1>(key) == 0 && ptp::IsRootParent(std::get<2>(key))) {
        leftoversLooked_ = true;
        return RemoveLeftovers(key, handles);
    }
    return kDriverOk;
}

DriverResult OpenCamera::FetchEntry(uint32_t handle, ObjectEntryRecord& entry) {
    const uint64_t generation = cache_.Generation();
    ptp::ObjectInfo info;
    ptp::Result result = initiator_->GetObjectInfo(handle, info);
    if (!result.ok())
        return MapPtpResult(result);
    FillObjectEntry(handle, info, entry);
    cache_.PutEntry(generation, entry);
    return kDriverOk;
}

DriverResult OpenCamera::FetchListedEntries(uint32_t handle) {
    CardCache::ListKey key;
    if (listsRefused_ || !deviceInfo_.SpeaksMtp() ||
        !deviceInfo_.SupportsOperation(ptp::OC_MTP_GetObjectPropList) ||
        cache_.Generation() == listedGeneration_ || !cache_.ListOf(handle, key) ||
        cache_.FollowingUnknown(handle, kListedAtLeast).size() < kListedAtLeast)
        return kDriverOk;
    const uint64_t generation = cache_.Generation();
    listedGeneration_ = generation; // asked once until the card changes, whatever comes back
    // A list of every object asks for every object; one of a folder (or of the root) for its
    // children. Whatever objects come, each entry is what that object's ObjectInfo says.
    const uint32_t parent = std::get<2>(key);
    const uint32_t object = parent == 0                  ? ptp::kAllObjects
                            : parent == ptp::kRootParent ? 0
                                                         : parent;
    const uint32_t depth = parent == 0 ? uint32_t(ptp::kAllLevels) : 1u;
    ListedEntries listed;
    for (const ptp::ObjectInfoProperty& property : ptp::kObjectInfoProperties) {
        ptp::Result result = initiator_->GetObjectPropList(
            object, 0, property.code, depth, kMaxPropertyList, [&](const ptp::ObjectProp& prop) {
                listed.Add(prop);
                return true;
            });
        if (result.ok())
            continue;
        if (result.status == ptp::Status::Ok || result.status == ptp::Status::Malformed ||
            result.status == ptp::Status::SinkFailed) {
            listsRefused_ = true; // answered, but no usable list
            return kDriverOk;
        }
        return MapPtpResult(result);
    }
    listed.ForEachComplete(
        [&](const ObjectEntryRecord& entry) { cache_.PutEntry(generation, entry); });
    return kDriverOk;
}

DriverResult OpenCamera::Entry(uint32_t handle, ObjectEntryRecord& entry) {
    if (cache_.Entry(device_, handle, entry))
        return kDriverOk;
    DriverResult r = FetchListedEntries(handle);
    if (r != kDriverOk)
        return r;
    if (cache_.Entry(device_, handle, entry))
        return kDriverOk;
    r = FetchEntry(handle, entry);
    if (r != kDriverOk)
        return r;
    // A caller walking a handle list asks for these next; fetched now, they are answered
    // without a hand-off each. A failure among them only makes the card forgotten.
    for (uint32_t next : cache_.FollowingUnknown(handle, kEntryReadAhead)) {
        ObjectEntryRecord ahead;
        if (FetchEntry(next, ahead) != kDriverOk) {
            cache_.Forget();
            break;
        }
    }
    return kDriverOk;
}

DriverResult OpenCamera::Property(uint32_t propCode, void* value) {
    return ReadDriverProperty(*initiator_, deviceInfo_, propCode, value);
}
