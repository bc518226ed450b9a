// The interface operations as PTP operations. Each runs on the call thread, checks its device,
// and moves data only through the streams and records the caller hands over; questions about
// the card that were answered before in the same session are answered from memory, on the
// caller's thread.
#include "kx_camera.h"

#include <algorithm>
#include <cstring>
#include <shared_mutex>
#include <vector>

#include "codecs.h"
#include "identity.h"
#include "listed_entries.h"
#include "properties.h"
#include "ptp/text.h"
#include "result_map.h"

namespace {

// Object entries fetched ahead of a caller walking a handle list, per hand-off.
const size_t kEntryReadAhead = 256;
// A walk with fewer unknown entries ahead is read ahead by GetObjectInfo instead: seven
// property lists cost more than a few entries.
const size_t kListedAtLeast = 16;
// Bound on one property list: 65,536 names of over 200 characters.
const uint64_t kMaxPropertyList = 16u << 20;

// A lookup in memory from the caller's thread: nothing thrown leaves it (it then misses).
template <typename Lookup> bool Remembered(Lookup lookup) {
    try {
        return lookup();
    } catch (...) {
        return false;
    }
}

} // namespace

KxCamera::KxCamera(std::string folder) : folder_(std::move(folder)), guid_(InstallationGuid()) {}

KxCamera::~KxCamera() {
    Call([this]() -> DriverResult {
        DropDevice();
        source_.reset();
        return kDriverOk;
    });
}

std::unique_ptr<ptp::Initiator> KxCamera::NewInitiator() {
    ptp::InitiatorConfig config;
    config.timeoutMs = settings_.timeoutMs;
    config.floorBytesPerSecond = settings_.floorBytesPerSecond;
    config.handshakeTimeoutMs = settings_.HandshakeMs();
    config.busyRetryMs = settings_.busyRetryMs;
    config.objectResponseMs = settings_.sendResponseMs;
    auto initiator = std::make_unique<ptp::Initiator>(config);
    const ptp::Initiator* self = initiator.get();
    initiator->SetEventHandler([this, self](const ptp::Event& event) { OnEvent(self, event); });
    initiator->SetLostHandler([this, self](ptp::Link link, ptp::Status status) {
        trace_.Note(std::string("link lost: ") + (link == ptp::Link::Event ? "event" : "command") +
                    " connection, " + ptp::StatusName(status));
        OnLost(self);
    });
    if (trace_.on())
        initiator->SetCallObserver([this](const ptp::CallRecord& call) { trace_.Call(call); });
    return initiator;
}

void KxCamera::Raise(uint32_t code, uint32_t dataWord) {
    if (!callback_)
        return;
    uint32_t data[2] = {dataWord, 0};       // valid for the duration of the call
    callbackThread_ = GetCurrentThreadId(); // one at a time: eventMutex_ is held
    callback_(code, data, 0, 0);
    callbackThread_ = 0;
}

void KxCamera::OnEvent(const ptp::Initiator* from, const ptp::Event& event) {
    std::lock_guard<common::Lock> lock(eventMutex_);
    if (from != live_)
        return;
    trace_.Event(event);
    // Object events make the known objects go; any other event but a property change may
    // concern the card as a whole.
    if (event.code == ptp::EC_ObjectAdded || event.code == ptp::EC_ObjectRemoved ||
        event.code == ptp::EC_ObjectInfoChanged)
        cache_.ForgetObjects();
    else if (event.code != ptp::EC_DevicePropChanged)
        cache_.Forget();
    if (event.code == ptp::EC_Vandrel_PowerDown && !event.params.empty()) {
        poweredDown_ = true;
        const uint32_t reason = event.params[0] & 0xFFFF;
        Raise(kEventClassPower | reason, event.params.size() > 1 ? event.params[1] : 0);
    } else if (event.code == ptp::EC_StoreRemoved) {
        Raise(kEventClassPower | kEventReasonCardSlot, 0);
    }
}

void KxCamera::OnLost(const ptp::Initiator* from) {
    std::lock_guard<common::Lock> lock(eventMutex_);
    if (from != live_)
        return;
    cache_.Forget();
    // A camera that said it powers down then drops its connection: that is no second event.
    // A loss before the callback exists fails OpenDevice instead.
    if (!poweredDown_)
        Raise(kEventClassPower | kEventReasonConnectionLost, 0);
}

void KxCamera::DropDevice() {
    {
        std::lock_guard<common::Lock> lock(eventMutex_);
        callback_ = nullptr;
        live_ = nullptr;
    }
    device_ = 0;
    cache_.Begin(0);
    announced_ = Announced();
    std::unique_ptr<ptp::Initiator> initiator;
    {
        std::lock_guard<common::Lock> link(linkLock_);
        initiator = std::move(initiator_);
    }
    if (initiator) {
        if (initiator->sessionOpen())
            initiator->CloseSession();
        initiator->Shutdown();
        initiator.reset();
    }
    openSource_.reset();
}

DWORD WINAPI KxCamera::ShutdownRoutine(LPVOID parameter) {
    KxCamera* self = static_cast<KxCamera*>(parameter);
    std::shared_lock<common::Lock> link(self->linkLock_);
    try {
        if (self->initiator_)
            self->initiator_->Shutdown();
    } catch (...) {
    }
    return 0;
}

void KxCamera::Interrupt(uint32_t device) {
    if (device == 0 || device != device_ || !calls_.Busy())
        return;
    // The session's transport is shut down from a thread of the library's own: the threading
    // runtime then never meets the caller's thread.
    common::Handle closer(CreateThread(nullptr, 0, ShutdownRoutine, this, 0, nullptr));
    if (closer)
        WaitForSingleObject(closer.get(), INFINITE);
}

DriverResult KxCamera::InSession(uint32_t device,
                                 const std::function<DriverResult(ptp::Initiator&)>& body) {
    return Call([&]() -> DriverResult {
        if (device == 0 || device != device_ || !initiator_)
            return kDriverNoCamera;
        DriverResult r = kDriverConnectionLost; // lost: fail at once instead of waiting
        if (initiator_->connected())
            r = body(*initiator_);
        if (r != kDriverOk) {
            cache_.Forget();
            // An event sent just before the failure explains it: it reaches the caller first.
            initiator_->DeliverWaitingEvents();
            trace_.Note("result " + std::to_string(r));
        }
        return r;
    });
}

DriverResult KxCamera::EnumerateDevices(uint32_t* count, CameraStream* stream) {
    return Call([&]() -> DriverResult {
        source_.reset();
        std::string error;
        if (!count || !LoadDriverSettings(folder_, settings_, error))
            return kDriverNotInstalled;
        trace_.Open(settings_.trace);
        source_ = MakeCameraSource(
            settings_, [this] { return NewInitiator(); }, guid_);
        std::vector<std::string> names;
        DriverResult r = source_->Enumerate(names);
        trace_.Note("enumerate: " + std::to_string(names.size()) + " camera(s), result " +
                    std::to_string(r));
        if (r != kDriverOk)
            return r;
        std::vector<DeviceRecord> records(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            records[i].index = static_cast<uint32_t>(i);
            records[i].route = static_cast<uint32_t>(settings_.route);
            CopyAnsi(records[i].name, sizeof records[i].name, names[i]);
        }
        r = WriteList(stream, records.data(), static_cast<uint32_t>(records.size()),
                      sizeof(DeviceRecord));
        if (r == kDriverOk)
            *count = static_cast<uint32_t>(records.size());
        return r;
    });
}

DriverResult KxCamera::OpenDevice(const void* deviceRecord, CameraEventCallback callback, uint32_t,
                                  uint32_t* device) {
    return Call([&]() -> DriverResult {
        if (!deviceRecord || !device)
            return kDriverNoCamera;
        if (initiator_)
            return kDriverBusy; // one device at a time
        if (!source_)
            return kDriverNoCamera;
        DeviceRecord record;
        memcpy(&record, deviceRecord, sizeof record);
        // The source stays with the device it opens; a new enumeration makes a new one, and a
        // failed open lets go of everything it held.
        openSource_ = std::move(source_);
        std::unique_ptr<ptp::Initiator> initiator;
        DriverResult r = openSource_->Open(record.index, initiator);
        if (r != kDriverOk || !initiator) {
            initiator.reset();
            openSource_.reset();
            return r != kDriverOk ? r : kDriverNoCamera;
        }
        {
            std::lock_guard<common::Lock> lock(eventMutex_);
            live_ = initiator.get();
            poweredDown_ = false;
        }
        {
            std::lock_guard<common::Lock> link(linkLock_);
            initiator_ = std::move(initiator);
        }
        ptp::Result opened = initiator_->OpenSession(1);
        if (opened.ok())
            opened = initiator_->GetDeviceInfo(deviceInfo_);
        if (!opened.ok()) {
            // No callback exists yet: events sent before the failure reach only the trace.
            initiator_->DeliverWaitingEvents();
            DropDevice();
            trace_.Note("open failed: result " + std::to_string(MapPtpResult(opened)));
            return MapPtpResult(opened);
        }
        trace_.Device(deviceInfo_);
        bool lost = false;
        {
            // A connection lost while no callback could hear of it fails the open: the
            // camera's later events would never arrive.
            std::lock_guard<common::Lock> lock(eventMutex_);
            lost = initiator_->lost();
            if (!lost)
                callback_ = callback;
        }
        if (lost) {
            DropDevice();
            return kDriverConnectionLost;
        }
        const uint32_t id = nextDevice_++;
        if (nextDevice_ == 0)
            nextDevice_ = 1;
        cache_.Begin(id);
        listsRefused_ = false;
        renameRefused_ = false;
        leftoversLooked_ = false;
        device_ = id;
        *device = id;
        return kDriverOk;
    });
}

DriverResult KxCamera::CloseDevice(uint32_t device) {
    if (InCallback())
        return kDriverBusy;
    Interrupt(device);
    return Call([&]() -> DriverResult {
        if (device == 0 || device != device_)
            return kDriverNoCamera;
        DropDevice();
        return kDriverOk;
    });
}

DriverResult KxCamera::GetStorageIDs(uint32_t device, CameraStream* stream) {
    std::vector<uint32_t> ids;
    if (Remembered([&] { return cache_.StorageIds(device, ids); }))
        return WriteList(stream, ids.data(), static_cast<uint32_t>(ids.size()), 4);
    return InSession(device, [&](ptp::Initiator& camera) -> DriverResult {
        const DriverResult r = ListStores(camera, ids);
        return r != kDriverOk ? r
                              : WriteList(stream, ids.data(), static_cast<uint32_t>(ids.size()), 4);
    });
}

DriverResult KxCamera::ListHandles(ptp::Initiator& camera, const CardCache::ListKey& key,
                                   std::vector<uint32_t>& handles) {
    const uint64_t generation = cache_.Generation();
    const ptp::Result result =
        camera.GetObjectHandles(std::get<0>(key), std::get<1>(key), std::get<2>(key), handles);
    if (!result.ok())
        return MapPtpResult(result);
    cache_.PutHandles(generation, key, handles);
    return kDriverOk;
}

DriverResult KxCamera::ListStores(ptp::Initiator& camera, std::vector<uint32_t>& ids) {
    if (cache_.StorageIds(device_, ids))
        return kDriverOk;
    const uint64_t generation = cache_.Generation();
    ptp::Result result = camera.GetStorageIDs(ids);
    if (!result.ok())
        return MapPtpResult(result);
    trace_.Stores(ids);
    // Some cameras never answer a question about an empty slot.
    ids.erase(std::remove_if(ids.begin(), ids.end(), ptp::IsEmptySlot), ids.end());
    cache_.PutStorageIds(generation, ids);
    return kDriverOk;
}

DriverResult KxCamera::CardStore(ptp::Initiator& camera, uint32_t& storageId) {
    std::vector<uint32_t> ids;
    const DriverResult r = ListStores(camera, ids);
    if (r != kDriverOk)
        return r;
    if (ids.empty())
        return kDriverStoreNotAvailable;
    storageId = ids[0];
    return kDriverOk;
}

DriverResult KxCamera::GetStorageInfo(uint32_t device, uint32_t storageId, StorageRecord* record) {
    return InSession(device, [&](ptp::Initiator& camera) -> DriverResult {
        if (!record)
            return kStreamBadArgument;
        ptp::StorageInfo info;
        ptp::Result result = camera.GetStorageInfo(storageId, info);
        if (!result.ok())
            return MapPtpResult(result);
        FillStorageRecord(info, *record);
        return kDriverOk;
    });
}

DriverResult KxCamera::GetNumObjects(uint32_t device, uint32_t storageId, uint32_t format,
                                     uint32_t parent, uint32_t* count) {
    const CardCache::ListKey key{storageId, format, parent};
    uint32_t n = 0;
    if (Remembered([&] { return cache_.Count(device, key, n); })) {
        if (count)
            *count = n;
        return kDriverOk;
    }
    return InSession(device, [&](ptp::Initiator& camera) -> DriverResult {
        const uint64_t generation = cache_.Generation();
        ptp::Result result = camera.GetNumObjects(storageId, format, parent, n);
        if (!result.ok())
            return MapPtpResult(result);
        cache_.PutCount(generation, key, n);
        if (count)
            *count = n;
        return kDriverOk;
    });
}

DriverResult KxCamera::GetObjectHandles(uint32_t device, uint32_t storageId, uint32_t format,
                                        uint32_t parent, CameraStream* stream) {
    const CardCache::ListKey key{storageId, format, parent};
    std::vector<uint32_t> handles;
    if (Remembered([&] { return cache_.Handles(device, key, handles); }))
        return WriteList(stream, handles.data(), static_cast<uint32_t>(handles.size()), 4);
    return InSession(device, [&](ptp::Initiator& camera) -> DriverResult {
        if (const DriverResult listed = ListHandles(camera, key, handles); listed != kDriverOk)
            return listed;
        // The first list of the card's root in a session is also searched for leftovers.
        if (!leftoversLooked_ && format == 0 && ptp::IsRootParent(parent)) {
            leftoversLooked_ = true;
            const DriverResult r = RemoveLeftovers(camera, key, handles);
            if (r != kDriverOk)
                return r;
        }
        return WriteList(stream, handles.data(), static_cast<uint32_t>(handles.size()), 4);
    });
}

DriverResult KxCamera::FetchEntry(ptp::Initiator& camera, uint32_t handle,
                                  ObjectEntryRecord& entry) {
    const uint64_t generation = cache_.Generation();
    ptp::ObjectInfo info;
    ptp::Result result = camera.GetObjectInfo(handle, info);
    if (!result.ok())
        return MapPtpResult(result);
    FillObjectEntry(handle, info, entry);
    cache_.PutEntry(generation, entry);
    return kDriverOk;
}

DriverResult KxCamera::FetchListedEntries(ptp::Initiator& camera, uint32_t handle) {
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
        ptp::Result result = camera.GetObjectPropList(
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

DriverResult KxCamera::GetObjectEntry(uint32_t device, uint32_t, uint32_t, uint32_t,
                                      uint32_t handle, CameraStream* stream) {
    ObjectEntryRecord entry;
    if (Remembered([&] { return cache_.Entry(device, handle, entry); }))
        return WriteStream(stream, &entry, sizeof entry);
    return InSession(device, [&](ptp::Initiator& camera) -> DriverResult {
        const DriverResult r = WalkEntry(camera, handle, entry);
        return r != kDriverOk ? r : WriteStream(stream, &entry, sizeof entry);
    });
}

DriverResult KxCamera::WalkEntry(ptp::Initiator& camera, uint32_t handle,
                                 ObjectEntryRecord& entry) {
    if (cache_.Entry(device_, handle, entry))
        return kDriverOk;
    DriverResult r = FetchListedEntries(camera, handle);
    if (r != kDriverOk)
        return r;
    if (cache_.Entry(device_, handle, entry))
        return kDriverOk;
    r = FetchEntry(camera, handle, entry);
    if (r != kDriverOk)
        return r;
    // A caller walking a handle list asks for these next; fetched now, they are answered
    // without a hand-off each. A failure among them only makes the card forgotten.
    for (uint32_t next : cache_.FollowingUnknown(handle, kEntryReadAhead)) {
        ObjectEntryRecord ahead;
        if (FetchEntry(camera, next, ahead) != kDriverOk) {
            cache_.Forget();
            break;
        }
    }
    return kDriverOk;
}

DriverResult KxCamera::GetDevicePropValue(uint32_t device, uint32_t propCode, void* value,
                                          uint32_t) {
    return InSession(device, [&](ptp::Initiator& camera) -> DriverResult {
        return ReadDriverProperty(camera, deviceInfo_, propCode, value);
    });
}
