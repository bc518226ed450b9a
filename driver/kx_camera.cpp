// Every operation holds the object's lock, checks its device, and moves data only through the
// streams and records the caller hands over. Nothing thrown inside leaves an operation.
#include "kx_camera.h"

#include <cstring>
#include <functional>
#include <new>

#include "result_map.h"

namespace {

// Vendor event of the virtual camera: the camera powered down; params reason and data word.
const uint16_t kEventPowerDown = 0xC001;
const uint32_t kReasonCardRemoved = 3;
const uint32_t kReasonConnectionLost = 13;
// BatteryLevel at or above this share of its range counts as sufficient.
const uint64_t kSufficientBatteryPercent = 20;
const uint16_t kPropBatteryLevel = 0x5001;

template <typename Body> DriverResult Guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kDriverOutOfMemory;
    } catch (...) {
        return kDriverGeneralError;
    }
}

// Writes `size` bytes as the stream's whole content.
DriverResult WriteStream(CameraStream* stream, const void* bytes, uint32_t size) {
    if (!stream || !stream->impl)
        return kStreamBadArgument;
    DriverResult r = kDriverOk;
    stream->open(stream->impl, kStreamOpenCreate, &r);
    if (r != kDriverOk)
        return r;
    uint32_t count = size;
    stream->write(stream->impl, bytes, &count, &r);
    DriverResult closed = kDriverOk;
    stream->close(stream->impl, &closed);
    return r != kDriverOk ? r : closed;
}

DriverResult WriteList(CameraStream* stream, const void* entries, uint32_t count,
                       uint32_t entrySize) {
    std::vector<uint8_t> bytes(sizeof(ItemListHead) + static_cast<size_t>(count) * entrySize);
    const ItemListHead head = {sizeof(ItemListHead), static_cast<int32_t>(count), entrySize};
    memcpy(bytes.data(), &head, sizeof head);
    if (count)
        memcpy(bytes.data() + sizeof head, entries, static_cast<size_t>(count) * entrySize);
    return WriteStream(stream, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty())
        return std::wstring();
    int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& wide, UINT codePage) {
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string text(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n,
                            nullptr, nullptr);
    return text;
}

std::string Utf8ToAnsi(const std::string& utf8) {
    return Narrow(Widen(utf8, CP_UTF8), CP_ACP);
}
std::string AnsiToUtf8(const std::string& ansi) {
    return Narrow(Widen(ansi, CP_ACP), CP_UTF8);
}

// Copies text into a fixed field, cut at a character boundary, always terminated.
void CopyAnsi(char* field, size_t size, const std::string& text) {
    size_t n = 0;
    while (n < text.size()) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[n])) ? 2 : 1;
        if (n + step > size - 1 || n + step > text.size())
            break;
        n += step;
    }
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

// A PTP string (count byte, UCS-2, terminator) into a record's string area, as far as it fits.
size_t PutPtpString(uint8_t* area, size_t room, const std::string& utf8) {
    std::wstring wide = Widen(utf8, CP_UTF8);
    if (wide.size() > 254)
        wide.resize(254);
    const size_t bytes = wide.empty() ? 1 : 1 + 2 * (wide.size() + 1);
    if (bytes > room)
        return 0;
    area[0] = static_cast<uint8_t>(wide.empty() ? 0 : wide.size() + 1);
    for (size_t i = 0; i < wide.size(); ++i) {
        area[1 + 2 * i] = static_cast<uint8_t>(wide[i] & 0xFF);
        area[2 + 2 * i] = static_cast<uint8_t>(wide[i] >> 8);
    }
    if (!wide.empty())
        area[1 + 2 * wide.size()] = area[2 + 2 * wide.size()] = 0;
    return bytes;
}

// "1.0.1.2" as one version part per byte, most significant first.
bool ParseVersion(const std::string& text, uint32_t& value) {
    value = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
        unsigned part = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && part <= 255)
            part = part * 10 + (text[i++] - '0');
        if (part > 255)
            return false;
        value = (value << 8) | part;
        ++parts;
        if (i < text.size() && text[i] == '.')
            ++i;
        else
            break;
    }
    value <<= 8 * (4 - parts);
    return true;
}

} // namespace

KxCamera::KxCamera(std::string folder) : folder_(std::move(folder)) {
    InitializeCriticalSection(&callLock_);
}

KxCamera::~KxCamera() {
    Call([this]() -> DriverResult {
        DropDevice();
        candidates_.clear();
        return kDriverOk;
    });
    if (callThread_) {
        quit_ = true;
        SetEvent(workReady_);
        WaitForSingleObject(callThread_, INFINITE);
        CloseHandle(callThread_);
    }
    if (workReady_)
        CloseHandle(workReady_);
    if (workDone_)
        CloseHandle(workDone_);
    DeleteCriticalSection(&callLock_);
}

DWORD WINAPI KxCamera::CallLoop(LPVOID parameter) {
    KxCamera* self = static_cast<KxCamera*>(parameter);
    while (WaitForSingleObject(self->workReady_, INFINITE) == WAIT_OBJECT_0 && !self->quit_) {
        self->workResult_ = Guarded(*self->work_);
        SetEvent(self->workDone_);
    }
    return 0;
}

DriverResult KxCamera::Call(const std::function<DriverResult()>& body) {
    // A Win32 lock on the caller's side: nothing of the threading runtime runs there.
    EnterCriticalSection(&callLock_);
    if (!callThread_) {
        workReady_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        workDone_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        callThread_ = workReady_ && workDone_ ? CreateThread(nullptr, 0, CallLoop, this, 0, nullptr)
                                              : nullptr;
    }
    DriverResult result = kDriverOutOfMemory;
    if (callThread_) {
        work_ = &body;
        SetEvent(workReady_);
        WaitForSingleObject(workDone_, INFINITE);
        result = workResult_;
    }
    LeaveCriticalSection(&callLock_);
    return result;
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
    if (event.code == kEventPowerDown && !event.params.empty()) {
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
    embedded_.reset();
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

DriverResult KxCamera::ConnectVirtual(std::unique_ptr<ptp::Initiator>& initiator) {
    ptp::ConnectionPtr command, event;
    std::string error;
    embedded_ = EmbeddedCamera::Start(settings_, command, event, error);
    if (!embedded_)
        return kDriverNotInstalled;
    initiator = NewInitiator();
    ptp::ConnectionPtr* pendingEvent = &event;
    ptp::Result r =
        initiator->Connect(std::move(command), [pendingEvent] { return std::move(*pendingEvent); });
    return MapPtpResult(r);
}

DriverResult KxCamera::EnumerateDevices(uint32_t* count, CameraStream* stream) {
    return Call([&]() -> DriverResult {
        candidates_.clear();
        std::string error;
        if (!count || !LoadDriverSettings(folder_, settings_, error))
            return kDriverNotInstalled;
        if (settings_.transport == Transport::Virtual) {
            uint32_t cameras = 0;
            if (!EmbeddedCamera::CameraCount(settings_, cameras, error))
                return kDriverNotInstalled;
            for (uint32_t i = 0; i < cameras; ++i) {
                Candidate c{};
                c.record.index = i;
                c.record.transport = 0;
                strcpy(c.record.name, "virtual");
                candidates_.push_back(std::move(c));
            }
        } else {
            // Cameras often take one initiator at a time: the connection made here is the one
            // OpenDevice uses.
            for (const HostPort& hp : settings_.hosts) {
                auto initiator = NewInitiator();
                if (!initiator->ConnectTcp(hp.host, hp.port, settings_.connectTimeoutMs).ok())
                    continue;
                Candidate c{};
                c.record.index = static_cast<uint32_t>(candidates_.size());
                c.record.transport = 1;
                CopyAnsi(c.record.name, sizeof c.record.name, hp.host);
                c.initiator = std::move(initiator);
                candidates_.push_back(std::move(c));
            }
        }
        std::vector<DeviceRecord> records;
        for (const Candidate& c : candidates_)
            records.push_back(c.record);
        DriverResult r = WriteList(stream, records.data(), static_cast<uint32_t>(records.size()),
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
        if (record.index >= candidates_.size())
            return kDriverNoCamera;
        std::unique_ptr<ptp::Initiator> initiator;
        DriverResult r = kDriverOk;
        if (candidates_[record.index].record.transport == 0)
            r = ConnectVirtual(initiator);
        else
            initiator = std::move(candidates_[record.index].initiator);
        candidates_.clear(); // the other cameras' connections are not kept
        if (r != kDriverOk || !initiator) {
            embedded_.reset();
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
        memset(record, 0, sizeof *record);
        record->storageType = info.storageType;
        record->filesystemType = info.filesystemType;
        record->accessCapability = info.accessCapability;
        record->maxCapacity = info.maxCapacity;
        record->freeSpace = info.freeSpaceInBytes;
        record->freeImages = info.freeSpaceInImages;
        size_t used =
            PutPtpString(record->strings, sizeof record->strings, info.storageDescription);
        PutPtpString(record->strings + used, sizeof record->strings - used, info.volumeLabel);
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
        memset(&entry, 0, sizeof entry);
        entry.handle = handle;
        entry.storageId = info.storageId;
        entry.parentObject = info.parentObject;
        entry.objectFormat = info.objectFormat;
        entry.protectionStatus = info.protectionStatus;
        entry.sizeLow = info.objectCompressedSize;
        entry.associationType = info.associationType;
        CopyAnsi(entry.name, sizeof entry.name, Utf8ToAnsi(info.filename));
        return WriteStream(stream, &entry, sizeof entry);
    });
}

DriverResult KxCamera::SendObjectInfo(uint32_t device, uint32_t storageId, uint32_t parent,
                                      ObjectInfoRecord* record, uint32_t* outStorageId,
                                      uint32_t* outParent, uint32_t* outHandle) {
    return InSession(device, [&](ptp::Initiator* initiator) -> DriverResult {
        if (!record)
            return kStreamBadArgument;
        // The name ends at its zero byte, within its count and within the record.
        size_t limit = record->nameCount ? record->nameCount : sizeof record->name;
        if (limit > sizeof record->name)
            limit = sizeof record->name;
        const char* end = static_cast<const char*>(memchr(record->name, 0, limit));
        const std::string name(record->name, end ? end - record->name : limit);
        ptp::ObjectInfo info;
        info.objectFormat = record->objectFormat;
        info.protectionStatus = record->protectionStatus;
        info.objectCompressedSize = record->objectSize;
        info.filename = AnsiToUtf8(name);
        ptp::Result result = initiator->SendObjectInfo(storageId, parent, info);
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
        case kPropBattery:
            if (!listed) {
                // Derived from the standard battery level where the vendor value is missing.
                if (!deviceInfo_.SupportsProperty(kPropBatteryLevel))
                    return kDriverNotSupported;
                ptp::Result result = initiator->GetDevicePropDesc(kPropBatteryLevel, desc);
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
        case kPropFirmwareVersion:
            if (listed)
                word = static_cast<uint32_t>(desc.current.integer);
            else if (!ParseVersion(deviceInfo_.deviceVersion, word))
                return kDriverNotSupported;
            memcpy(value, &word, 4);
            return kDriverOk;
        case kPropModelName: {
            const std::string model = Utf8ToAnsi(listed ? desc.current.text : deviceInfo_.model);
            uint8_t* out = static_cast<uint8_t*>(value);
            char name[255];
            CopyAnsi(name, sizeof name, model);
            // As in a PTP string, an empty name is the count 0 alone.
            const size_t n = name[0] ? strlen(name) + 1 : 0;
            memset(out, 0, kModelNameBufferSize);
            out[0] = static_cast<uint8_t>(n);
            memcpy(out + 1, name, n);
            return kDriverOk;
        }
        default:
            return kDriverNotSupported;
        }
    });
}
