// The interface operations: each runs on the call thread, checks its device, and moves data
// only through the streams and records the caller hands over; questions about the card that
// were answered before in the same session are answered from memory, on the caller's thread.
#include "kx_camera.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "codecs.h"
#include "identity.h"

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
    initiator->SetEventHandler(
        [this, self](const ptp::Event& event) { events_.Event(self, event); });
    initiator->SetLostHandler([this, self](ptp::Link link, ptp::Status status) {
        trace_.Note(std::string("link lost: ") + (link == ptp::Link::Event ? "event" : "command") +
                    " connection, " + ptp::StatusName(status));
        events_.Lost(self);
    });
    if (trace_.on())
        initiator->SetCallObserver([this](const ptp::CallRecord& call) { trace_.Call(call); });
    return initiator;
}

template <typename Lookup> bool KxCamera::Remembered(Lookup lookup) {
    // Nothing thrown leaves the caller's thread: the lookup then misses.
    try {
        std::shared_lock<common::Lock> hold(cameraLock_);
        return camera_ && lookup(camera_->cache());
    } catch (...) {
        return false;
    }
}

void KxCamera::DropDevice() {
    events_.Detach();
    std::unique_ptr<OpenCamera> camera;
    {
        std::lock_guard<common::Lock> hold(cameraLock_);
        camera = std::move(camera_);
    }
    camera.reset(); // ends its session, outside the lock
}

DWORD WINAPI KxCamera::ShutdownRoutine(LPVOID parameter) {
    KxCamera* self = static_cast<KxCamera*>(parameter);
    std::shared_lock<common::Lock> hold(self->cameraLock_);
    try {
        if (self->camera_)
            self->camera_->initiator().Shutdown();
    } catch (...) {
    }
    return 0;
}

void KxCamera::Interrupt(uint32_t device) {
    if (device == 0 || !calls_.Busy())
        return;
    {
        std::shared_lock<common::Lock> hold(cameraLock_);
        if (!camera_ || camera_->device() != device)
            return;
    }
    // The session's transport is shut down from a thread of the library's own: the threading
    // runtime then never meets the caller's thread.
    common::Handle closer(CreateThread(nullptr, 0, ShutdownRoutine, this, 0, nullptr));
    if (closer)
        WaitForSingleObject(closer.get(), INFINITE);
}

DriverResult KxCamera::InSession(uint32_t device,
                                 const std::function<DriverResult(OpenCamera&)>& body) {
    return Call([&]() -> DriverResult {
        if (device == 0 || !camera_ || camera_->device() != device)
            return kDriverNoCamera;
        DriverResult r = kDriverConnectionLost; // lost: fail at once instead of waiting
        if (camera_->initiator().connected())
            r = body(*camera_);
        if (r != kDriverOk)
            camera_->Failed(r);
        return r;
    });
}

DriverResult KxCamera::EnumerateDevices(uint32_t* count, CameraStream* stream) {
    return Call([&]() -> DriverResult {
        source_.reset();
        std::string error;
        const bool loaded = LoadDriverSettings(folder_, settings_, error);
        const std::string settings =
            loaded ? "settings: " + SettingsText(settings_) : "settings not read: " + error;
        if (!trace_.Open(settings_.trace, settings))
            trace_.Note(settings);
        if (!count || !loaded)
            return kDriverNotInstalled;
        source_ = MakeCameraSource(
            settings_, [this] { return NewInitiator(); }, guid_,
            [this](const std::string& text) { trace_.Note(text); });
        std::vector<std::string> names;
        DriverResult r = source_->Enumerate(names);
        trace_.Note("enumerate: " + std::to_string(names.size()) + " camera(s), result " +
                    std::to_string(r));
        if (r != kDriverOk)
            return r;
        std::vector<DeviceRecord> records(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            records[i].index = static_cast<uint32_t>(i);
            records[i].transport = static_cast<uint32_t>(settings_.transport);
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
        if (camera_)
            return kDriverBusy; // one device at a time
        if (!source_)
            return kDriverNoCamera;
        DeviceRecord record;
        memcpy(&record, deviceRecord, sizeof record);
        // The source stays with the device it opens; a new enumeration makes a new one, and a
        // failed open lets go of everything it held.
        std::unique_ptr<CameraSource> source = std::move(source_);
        std::unique_ptr<ptp::Initiator> initiator;
        DriverResult r = source->Open(record.index, initiator);
        if (r != kDriverOk || !initiator) {
            initiator.reset();
            return r != kDriverOk ? r : kDriverNoCamera;
        }
        const ptp::Initiator* link = initiator.get();
        auto camera = std::make_unique<OpenCamera>(settings_, trace_, nextDevice_,
                                                   std::move(source), std::move(initiator));
        events_.Attach(link, camera.get());
        {
            std::lock_guard<common::Lock> hold(cameraLock_);
            camera_ = std::move(camera);
        }
        r = camera_->Begin();
        if (r == kDriverOk && !events_.Arm(callback))
            r = kDriverConnectionLost; // the camera's later events would never arrive
        if (r != kDriverOk) {
            DropDevice();
            return r;
        }
        *device = nextDevice_++;
        if (nextDevice_ == 0)
            nextDevice_ = 1;
        return kDriverOk;
    });
}

DriverResult KxCamera::CloseDevice(uint32_t device) {
    if (events_.InCallback())
        return kDriverBusy;
    Interrupt(device);
    return Call([&]() -> DriverResult {
        if (device == 0 || !camera_ || camera_->device() != device)
            return kDriverNoCamera;
        DropDevice();
        return kDriverOk;
    });
}

DriverResult KxCamera::GetStorageIDs(uint32_t device, CameraStream* stream) {
    std::vector<uint32_t> ids;
    if (Remembered([&](const CardCache& cache) { return cache.StorageIds(device, ids); }))
        return WriteList(stream, ids.data(), static_cast<uint32_t>(ids.size()), 4);
    return InSession(device, [&](OpenCamera& camera) -> DriverResult {
        const DriverResult r = camera.StorageIds(ids);
        return r != kDriverOk ? r
                              : WriteList(stream, ids.data(), static_cast<uint32_t>(ids.size()), 4);
    });
}

DriverResult KxCamera::GetStorageInfo(uint32_t device, uint32_t storageId, StorageRecord* record) {
    return InSession(device, [&](OpenCamera& camera) -> DriverResult {
        return record ? camera.StorageInfo(storageId, *record) : kStreamBadArgument;
    });
}

DriverResult KxCamera::GetNumObjects(uint32_t device, uint32_t storageId, uint32_t format,
                                     uint32_t parent, uint32_t* count) {
    const CardCache::ListKey key{storageId, format, parent};
    uint32_t n = 0;
    if (!Remembered([&](const CardCache& cache) { return cache.Count(device, key, n); })) {
        const DriverResult r = InSession(
            device, [&](OpenCamera& camera) -> DriverResult { return camera.NumObjects(key, n); });
        if (r != kDriverOk)
            return r;
    }
    if (count)
        *count = n;
    return kDriverOk;
}

DriverResult KxCamera::GetObjectHandles(uint32_t device, uint32_t storageId, uint32_t format,
                                        uint32_t parent, CameraStream* stream) {
    const CardCache::ListKey key{storageId, format, parent};
    std::vector<uint32_t> handles;
    if (!Remembered([&](const CardCache& cache) { return cache.Handles(device, key, handles); })) {
        const DriverResult r = InSession(device, [&](OpenCamera& camera) -> DriverResult {
            return camera.Handles(key, handles);
        });
        if (r != kDriverOk)
            return r;
    }
    return WriteList(stream, handles.data(), static_cast<uint32_t>(handles.size()), 4);
}

DriverResult KxCamera::GetObjectEntry(uint32_t device, uint32_t, uint32_t, uint32_t,
                                      uint32_t handle, CameraStream* stream) {
    ObjectEntryRecord entry;
    if (!Remembered([&](const CardCache& cache) { return cache.Entry(device, handle, entry); })) {
        const DriverResult r = InSession(device, [&](OpenCamera& camera) -> DriverResult {
            return camera.Entry(handle, entry);
        });
        if (r != kDriverOk)
            return r;
    }
    // The names the caller looked at: the last before a match is the file it found.
    if (trace_.on())
        trace_.Note("entry " + TraceHex(handle, 8) + " " + Quoted(entry.name));
    return WriteStream(stream, &entry, sizeof entry);
}

DriverResult KxCamera::GetDevicePropValue(uint32_t device, uint32_t propCode, void* value,
                                          uint32_t) {
    return InSession(device, [&](OpenCamera& camera) -> DriverResult {
        return camera.Property(propCode, value);
    });
}

DriverResult KxCamera::SendObjectInfo(uint32_t device, uint32_t storageId, uint32_t parent,
                                      ObjectInfoRecord* record, uint32_t* outStorageId,
                                      uint32_t* outParent, uint32_t* outHandle) {
    return InSession(device, [&](OpenCamera& camera) -> DriverResult {
        uint32_t values[3] = {};
        const DriverResult r = camera.Announce(storageId, parent, record, values);
        if (r != kDriverOk)
            return r;
        uint32_t* outs[3] = {outStorageId, outParent, outHandle};
        for (size_t i = 0; i < 3; ++i) {
            if (outs[i])
                *outs[i] = values[i];
        }
        return kDriverOk;
    });
}

DriverResult KxCamera::SendObject(uint32_t device, uint32_t size, CameraStream* file) {
    return InSession(device,
                     [&](OpenCamera& camera) -> DriverResult { return camera.Send(size, file); });
}
