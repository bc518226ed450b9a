// The interface operations as PTP operations. Each runs on the call thread, checks its device,
// and moves data only through the streams and records the caller hands over.
#include "kx_camera.h"

#include <cstring>
#include <functional>

#include "codecs.h"
#include "ptp/text.h"
#include "result_map.h"

namespace {

const uint32_t kReasonCardRemoved = 3;
const uint32_t kReasonConnectionLost = 13;
// BatteryLevel at or above this share of its range counts as sufficient.
const uint64_t kSufficientBatteryPercent = 20;

} // namespace

KxCamera::KxCamera(std::string folder) : folder_(std::move(folder)) {}

KxCamera::~KxCamera() {
    Call([this]() -> DriverResult {
        DropDevice();
        source_.reset();
        return kDriverOk;
    });
}

std::unique_ptr<ptp::Initiator> KxCamera::NewInitiator() {
    ptp::InitiatorConfig config;
    config.friendlyName = "Vandrel";
    config.timeoutMs = settings_.timeoutMs;
    for (size_t i = 0; i < config.guid.size(); ++i)
        config.guid[i] = static_cast<uint8_t>(0x56 + i * 7);
    auto initiator = std::make_unique<ptp::Initiator>(config);
    initiator->SetEventHandler([this](const ptp::Event& event) { OnEvent(event); });
    initiator->SetLostHandler([this](ptp::Link, ptp::Status) { OnLost(); });
    return initiator;
}

void KxCamera::Raise(uint32_t code, uint32_t dataWord) {
    std::lock_guard<std::mutex> lock(eventMutex_);
    if (!callback_)
        return;
    uint32_t data[2] = {dataWord, 0}; // valid for the duration of the call
    callback_(code, data, 0, 0);
}

void KxCamera::OnEvent(const ptp::Event& event) {
    if (event.code == ptp::EC_Vandrel_PowerDown && !event.params.empty()) {
        poweredDown_ = true;
        const uint32_t reason = event.params[0] & 0xFFFF;
        Raise(kEventClassPower | reason, event.params.size() > 1 ? event.params[1] : 0);
    } else if (event.code == ptp::EC_StoreRemoved) {
        Raise(kEventClassPower | kReasonCardRemoved, 0);
    }
}

void KxCamera::OnLost() {
    // A camera that said it powers down then drops its connection: that is no second event.
    if (poweredDown_)
        return;
    Raise(kEventClassPower | kReasonConnectionLost, 0);
}

void KxCamera::DropDevice() {
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        callback_ = nullptr;
    }
    if (initiator_) {
        if (initiator_->sessionOpen())
            initiator_->CloseSession();
        initiator_->Shutdown();
        initiator_.reset();
    }
    openSource_.reset();
    device_ = 0;
}

DriverResult KxCamera::InSession(uint32_t device,
                                 const std::function<DriverResult(ptp::Initiator*)>& body) {
    return Call([&]() -> DriverResult {
        ptp::Initiator* initiator = nullptr;
        const DriverResult r = Session(device, &initiator);
        return r != kDriverOk ? r : body(initiator);
    });
}

DriverResult KxCamera::Session(uint32_t device, ptp::Initiator** initiator) {
    if (device == 0 || device != device_ || !initiator_)
        return kDriverNoCamera;
    if (!initiator_->connected())
        return kDriverConnectionLost; // lost: fail at once instead of waiting
    *initiator = initiator_.get();
    return kDriverOk;
}

DriverResult KxCamera::EnumerateDevices(uint32_t* count, CameraStream* stream) {
    return Call([&]() -> DriverResult {
        source_.reset();
        std::string error;
        if (!count || !LoadDriverSettings(folder_, settings_, error))
            return kDriverNotInstalled;
        source_ = MakeCameraSource(settings_, [this] { return NewInitiator(); });
        std::vector<std::string> names;
        DriverResult r = source_->Enumerate(names);
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
        if (initiator_)
            return kDriverBusy; // one device at a time
        DeviceRecord record;
        memcpy(&record, deviceRecord, sizeof record);
        if (!source_)
            return kDriverNoCamera;
        // The source stays with the device it opens; a new enumeration makes a new one.
        openSource_ = std::move(source_);
        std::unique_ptr<ptp::Initiator> initiator;
        DriverResult r = openSource_->Open(record.index, initiator);
        if (r != kDriverOk || !initiator) {
            initiator.reset();
            openSource_.reset();
            return r != kDriverOk ? r : kDriverNoCamera;
        }
        initiator_ = std::move(initiator);
        ptp::Result opened = initiator_->OpenSession(1);
        if (opened.ok())
            opened = initiator_->GetDeviceInfo(deviceInfo_);
        if (!opened.ok()) {
            DropDevice();
            return MapPtpResult(opened);
        }
        {
            std::lock_guard<std::mutex> events(eventMutex_);
            callback_ = callback;
        }
        poweredDown_ = false;
        device_ = nextDevice_++;
        if (nextDevice_ == 0)
            nextDevice_ = 1;
        *device = device_;
        return kDriverOk;
    });
}

DriverResult KxCamera::CloseDevice(uint32_t device) {
    return Call([&]() -> DriverResult {
        if (device == 0 || device != device_)
            return kDriverNoCamera;
        DropDevice();
        return kDriverOk;
    });
}

DriverResult KxCamera::GetStorageIDs(uint32_t device, CameraStream* stream) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        std::vector<uint32_t> ids;
        ptp::Result result = initiator->GetStorageIDs(ids);
        if (!result.ok())
            return MapPtpResult(result);
        return WriteList(stream, ids.data(), static_cast<uint32_t>(ids.size()), 4);
    });
}

DriverResult KxCamera::GetStorageInfo(uint32_t device, uint32_t storageId, StorageRecord* record) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        if (!record)
            return kStreamBadArgument;
        ptp::StorageInfo info;
        ptp::Result result = initiator->GetStorageInfo(storageId, info);
        if (!result.ok())
            return MapPtpResult(result);
        FillStorageRecord(info, *record);
        return kDriverOk;
    });
}

DriverResult KxCamera::GetNumObjects(uint32_t device, uint32_t storageId, uint32_t format,
                                     uint32_t parent, uint32_t* count) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        uint32_t n = 0;
        ptp::Result result = initiator->GetNumObjects(storageId, format, parent, n);
        if (!result.ok())
            return MapPtpResult(result);
        if (count)
            *count = n;
        return kDriverOk;
    });
}

DriverResult KxCamera::GetObjectHandles(uint32_t device, uint32_t storageId, uint32_t format,
                                        uint32_t parent, CameraStream* stream) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        std::vector<uint32_t> handles;
        ptp::Result result = initiator->GetObjectHandles(storageId, format, parent, handles);
        if (!result.ok())
            return MapPtpResult(result);
        return WriteList(stream, handles.data(), static_cast<uint32_t>(handles.size()), 4);
    });
}

DriverResult KxCamera::GetObjectEntry(uint32_t device, uint32_t, uint32_t, uint32_t,
                                      uint32_t handle, CameraStream* stream) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        ptp::ObjectInfo info;
        ptp::Result result = initiator->GetObjectInfo(handle, info);
        if (!result.ok())
            return MapPtpResult(result);
        ObjectEntryRecord entry;
        FillObjectEntry(handle, info, entry);
        return WriteStream(stream, &entry, sizeof entry);
    });
}

DriverResult KxCamera::SendObjectInfo(uint32_t device, uint32_t storageId, uint32_t parent,
                                      ObjectInfoRecord* record, uint32_t* outStorageId,
                                      uint32_t* outParent, uint32_t* outHandle) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        if (!record)
            return kStreamBadArgument;
        ptp::Result result = initiator->SendObjectInfo(storageId, parent, ObjectInfoOf(*record));
        if (!result.ok())
            return MapPtpResult(result);
        uint32_t* outs[3] = {outStorageId, outParent, outHandle};
        for (size_t i = 0; i < 3; ++i) {
            if (outs[i])
                *outs[i] = i < result.params.size() ? result.params[i] : 0;
        }
        return kDriverOk;
    });
}

DriverResult KxCamera::SendObject(uint32_t device, uint32_t size, CameraStream* file) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        if (!file || !file->impl)
            return kStreamBadArgument;
        DriverResult streamResult = kDriverOk;
        file->open(file->impl, kStreamOpenRead, &streamResult);
        if (streamResult != kDriverOk)
            return streamResult;
        int lastPercent = -1;
        auto report = [&](uint64_t done) {
            const int percent = size ? static_cast<int>(done * 100 / size) : 100;
            if (percent == lastPercent)
                return;
            lastPercent = percent;
            DriverResult ignored = kDriverOk;
            file->progress(file->impl, static_cast<uint16_t>(percent), &ignored);
        };
        report(0);
        uint64_t sent = 0;
        ptp::DataOut out;
        out.size = size;
        out.read = [&](uint8_t* buffer, size_t count) {
            size_t got = 0;
            while (got < count) {
                uint32_t n = static_cast<uint32_t>(count - got);
                file->read(file->impl, buffer + got, &n, &streamResult);
                if (streamResult != kDriverOk)
                    return false;
                if (n == 0) { // the file is shorter than announced
                    streamResult = kStreamReadFailed;
                    return false;
                }
                got += n;
            }
            sent += count;
            report(sent);
            return true;
        };
        ptp::Result result = initiator->SendObject(out);
        DriverResult closed = kDriverOk;
        file->close(file->impl, &closed);
        if (result.status == ptp::Status::SourceFailed)
            return streamResult != kDriverOk ? streamResult : kStreamReadFailed;
        if (result.ok())
            report(size);
        return MapPtpResult(result);
    });
}

DriverResult KxCamera::GetDevicePropValue(uint32_t device, uint32_t propCode, void* value,
                                          uint32_t) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        if (!value)
            return kStreamBadArgument;
        const uint16_t code = static_cast<uint16_t>(propCode);
        ptp::DevicePropDesc desc;
        const bool listed = propCode <= 0xFFFF && deviceInfo_.SupportsProperty(code);
        if (listed) {
            ptp::Result result = initiator->GetDevicePropDesc(code, desc);
            if (!result.ok())
                return MapPtpResult(result);
        }
        uint32_t word = 0;
        switch (propCode) {
        case ptp::DPC_Vandrel_BatteryState:
            if (!listed) {
                // Derived from the standard battery level where the vendor value is missing.
                if (!deviceInfo_.SupportsProperty(ptp::DPC_BatteryLevel))
                    return kDriverNotSupported;
                ptp::Result result = initiator->GetDevicePropDesc(ptp::DPC_BatteryLevel, desc);
                if (!result.ok())
                    return MapPtpResult(result);
                uint64_t top = desc.formFlag == ptp::DPFF_Range && desc.rangeMax.integer
                                   ? desc.rangeMax.integer
                                   : 100;
                word = desc.current.integer * 100 >= kSufficientBatteryPercent * top ? 1 : 2;
            } else {
                word = static_cast<uint32_t>(desc.current.integer);
            }
            memcpy(value, &word, 4);
            return kDriverOk;
        case ptp::DPC_Vandrel_FirmwareVersion:
            if (listed)
                word = static_cast<uint32_t>(desc.current.integer);
            else if (!ptp::ParseVersion(deviceInfo_.deviceVersion, word))
                return kDriverNotSupported;
            memcpy(value, &word, 4);
            return kDriverOk;
        case ptp::DPC_Vandrel_ModelName:
            FillModelName(listed ? desc.current.text : deviceInfo_.model,
                          static_cast<uint8_t*>(value));
            return kDriverOk;
        default:
            return kDriverNotSupported;
        }
    });
}
