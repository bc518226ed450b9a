// PTP operations as MTP extension commands, the watchdog that bounds each command, and the
// free-threaded event callback.
#include "wpd_transport.h"

#include <algorithm>
#include <new>

#include "ptp/codes.h"

using namespace wpd;

namespace {

const size_t kDefaultChunk = 256 * 1024;   // when the driver advises no buffer size
const size_t kMinChunk = 4 * 1024;         // bounds on what it advises: memory stays small
const size_t kMaxChunk = 8 * 1024 * 1024;  // and a chunk still reports progress
const uint64_t kUnknownSize = 0xFFFFFFFFu; // a data-in phase of unknown length ends short

// Up to five VT_UI4 values, as PTP parameters; false for anything else.
bool ReadParams(IPortableDevicePropVariantCollection* values, ptp::Params& params) {
    DWORD count = 0;
    if (FAILED(values->GetCount(&count)) || count > ptp::Params::kCapacity)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        PROPVARIANT value;
        PropVariantInit(&value);
        const bool ok = SUCCEEDED(values->GetAt(i, &value)) && value.vt == VT_UI4;
        if (ok)
            params.push_back(value.ulVal);
        PropVariantClear(&value);
        if (!ok)
            return false;
    }
    return true;
}

ptp::Status TakeResponse(IPortableDeviceValues* results, ptp::Response& response) {
    ULONG code = 0;
    if (FAILED(results->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_RESPONSE_CODE, &code)) ||
        code > 0xFFFF)
        return ptp::Status::Malformed;
    response.code = static_cast<uint16_t>(code);
    response.params.clear();
    ComPtr<IPortableDevicePropVariantCollection> params;
    if (SUCCEEDED(results->GetIPortableDevicePropVariantCollectionValue(
            WPD_PROPERTY_MTP_EXT_RESPONSE_PARAMS, &params)) &&
        params && !ReadParams(params.Get(), response.params))
        return ptp::Status::Malformed;
    return ptp::Status::Ok;
}

// The PTP event code of a vendor-extended event GUID, or 0 for any other GUID.
uint16_t VendorEventCode(const GUID& id) {
    GUID base = id;
    base.Data1 &= 0x0000FFFF;
    return IsEqualGUID(base, WPD_EVENT_MTP_VENDOR_EXTENDED_EVENTS)
               ? static_cast<uint16_t>(id.Data1 >> 16)
               : 0;
}

} // namespace

// The events of one device, handed to the session's listener while it is attached. The API may
// call it on any thread (the object aggregates the free-threaded marshaler) and may hold it after
// the transport is gone, so it owns what it needs.
class WpdEvents final : public IPortableDeviceEventCallback {
  public:
    static ComPtr<WpdEvents> Create() {
        ComPtr<WpdEvents> events = Adopt(new (std::nothrow) WpdEvents);
        if (events)
            CoCreateFreeThreadedMarshaler(static_cast<IUnknown*>(events.Get()),
                                          &events->marshaler_);
        return events;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, __uuidof(IUnknown)) ||
            IsEqualIID(iid, __uuidof(IPortableDeviceEventCallback))) {
            *object = static_cast<IPortableDeviceEventCallback*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(iid, __uuidof(IMarshal)) && marshaler_)
            return marshaler_->QueryInterface(iid, object);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0)
            delete this;
        return refs;
    }

    HRESULT STDMETHODCALLTYPE OnEvent(IPortableDeviceValues* parameters) override {
        try {
            if (parameters)
                Deliver(parameters);
        } catch (...) {
        }
        return S_OK;
    }

    void Listen(ptp::TransportListener* listener) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        listener_ = listener;
    }
    // Waits for an event being delivered; none is delivered afterwards.
    void StopListening() { Listen(nullptr); }
    bool gone() const { return gone_; }

  private:
    WpdEvents() = default;
    ~WpdEvents() = default;

    void Deliver(IPortableDeviceValues* parameters) {
        GUID id;
        if (FAILED(parameters->GetGuidValue(WPD_EVENT_PARAMETER_EVENT_ID, &id)))
            return;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (IsEqualGUID(id, WPD_EVENT_DEVICE_REMOVED)) {
            gone_ = true;
            if (listener_)
                listener_->OnLost(ptp::Link::Command, ptp::Status::Closed);
            return;
        }
        ptp::Event event;
        event.code = VendorEventCode(id);
        ComPtr<IPortableDevicePropVariantCollection> params;
        if (event.code == 0 || !listener_ ||
            FAILED(parameters->GetIPortableDevicePropVariantCollectionValue(
                WPD_PROPERTY_MTP_EXT_EVENT_PARAMS, &params)) ||
            !params || !ReadParams(params.Get(), event.params))
            return;
        listener_->OnEvent(event);
    }

    LONG refs_ = 1;
    ComPtr<IUnknown> marshaler_;
    std::recursive_mutex mutex_; // a listener may shut the transport down from its call
    ptp::TransportListener* listener_ = nullptr;
    std::atomic<bool> gone_{false};
};

WpdTransport::WpdTransport(WpdFactory& factory, std::wstring pnpDeviceId, std::string name)
    : factory_(factory), pnpDeviceId_(std::move(pnpDeviceId)) {
    responder_.friendlyName = std::move(name);
}

WpdTransport::~WpdTransport() {
    Shutdown();
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        quit_ = true;
    }
    watchWake_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    if (device_) {
        if (cookie_)
            device_->Unadvise(cookie_);
        device_->Close();
    }
    CoTaskMemFree(cookie_);
}

ptp::Status WpdTransport::Open(const ptp::Deadline&, ptp::Response&) {
    ComPtr<IPortableDevice> device;
    const HRESULT hr = OpenPortableDevice(factory_, pnpDeviceId_, device);
    if (FAILED(hr))
        return StatusOfHresult(hr);
    ComPtr<WpdEvents> events = WpdEvents::Create();
    if (!events)
        return ptp::Status::Error;
    {
        std::lock_guard<std::mutex> lock(linkMutex_);
        device_ = device;
        events_ = events;
    }
    watcher_ = std::thread([this] {
        try {
            Watch();
        } catch (...) {
        }
    });
    return stopping_ ? ptp::Status::Closed : ptp::Status::Ok;
}

void WpdTransport::Start(ptp::TransportListener& listener) {
    events_->Listen(&listener);
    // Without events the operations still work; losses then show when a command fails.
    if (FAILED(device_->Advise(0, events_.Get(), nullptr, &cookie_)))
        cookie_ = nullptr;
}

void WpdTransport::Shutdown() {
    std::lock_guard<std::mutex> lock(linkMutex_);
    bool pending = false;
    {
        // Under the watchdog's lock: a command is either cancelled here or never sent.
        std::lock_guard<std::mutex> watch(watchMutex_);
        stopping_ = true;
        pending = armed_;
    }
    if (events_)
        events_->StopListening();
    if (pending && device_)
        device_->Cancel();
}

bool WpdTransport::Gone() const {
    return stopping_ || (events_ && events_->gone());
}

void WpdTransport::Watch() {
    ComApartment apartment; // Cancel is a COM call from this thread
    std::unique_lock<std::mutex> lock(watchMutex_);
    while (!quit_) {
        if (!armed_) {
            watchWake_.wait(lock);
        } else if (watchWake_.wait_until(lock, until_) == std::cv_status::timeout && armed_ &&
                   !quit_ && ptp::Clock::now() >= until_) { // not re-armed meanwhile
            armed_ = false;
            fired_ = true;
            lock.unlock();
            device_->Cancel();
            lock.lock();
        }
    }
}

bool WpdTransport::Arm(int waitMs) {
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        if (stopping_)
            return false;
        armed_ = true;
        fired_ = false;
        until_ = ptp::Clock::now() + std::chrono::milliseconds(waitMs);
    }
    watchWake_.notify_all();
    return true;
}

bool WpdTransport::Disarm() {
    std::lock_guard<std::mutex> lock(watchMutex_);
    armed_ = false;
    return fired_;
}

ptp::Status WpdTransport::NewParameters(ComPtr<IPortableDeviceValues>& parameters,
                                        bool withContext) {
    HRESULT hr = factory_.Make(wpd::CLSID_PortableDeviceValues, parameters);
    if (SUCCEEDED(hr) && withContext)
        hr = parameters->SetStringValue(WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT, context_.c_str());
    return SUCCEEDED(hr) ? ptp::Status::Ok : ptp::Status::Error;
}

ptp::Status WpdTransport::Command(const PROPERTYKEY& command, IPortableDeviceValues* parameters,
                                  ComPtr<IPortableDeviceValues>& results,
                                  const ptp::Deadline& deadline) {
    if (Gone())
        return ptp::Status::Closed;
    const int waitMs = deadline.WaitMs();
    if (waitMs <= 0)
        return ptp::Status::Timeout;
    HRESULT hr = parameters->SetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, command.fmtid);
    if (SUCCEEDED(hr))
        hr = parameters->SetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, command.pid);
    if (FAILED(hr))
        return ptp::Status::Error;
    if (!Arm(waitMs))
        return ptp::Status::Closed;
    hr = device_->SendCommand(0, parameters, results.ReleaseAndGetAddressOf());
    const bool late = Disarm();
    // The call itself may succeed while the command failed: the outcome is in the results.
    HRESULT outcome = S_OK;
    if (SUCCEEDED(hr) && !results)
        return ptp::Status::Malformed;
    if (SUCCEEDED(hr) && SUCCEEDED(results->GetErrorValue(WPD_PROPERTY_COMMON_HRESULT, &outcome)))
        hr = outcome;
    if (Gone())
        return ptp::Status::Closed;
    if (late)
        return ptp::Status::Timeout;
    return StatusOfHresult(hr);
}

ptp::Status WpdTransport::Piece(const PROPERTYKEY& command, const PROPERTYKEY& sizeKey, DWORD size,
                                ComPtr<IPortableDeviceValues>& results,
                                const ptp::Deadline& deadline) {
    ComPtr<IPortableDeviceValues> parameters;
    ptp::Status status = NewParameters(parameters, true);
    if (status == ptp::Status::Ok &&
        (FAILED(parameters->SetUnsignedIntegerValue(sizeKey, size)) ||
         FAILED(
             parameters->SetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, buffer_.data(), size))))
        status = ptp::Status::Error;
    return status == ptp::Status::Ok ? Command(command, parameters.Get(), results, deadline)
                                     : status;
}

ptp::Status WpdTransport::SendRequest(const ptp::Request& request, const ptp::Deadline& deadline) {
    haveResponse_ = inTransfer_ = false;
    context_.clear();
    total_ = 0;
    chunk_ = kDefaultChunk;
    ComPtr<IPortableDeviceValues> parameters, results;
    ComPtr<IPortableDevicePropVariantCollection> operands;
    if (NewParameters(parameters, false) != ptp::Status::Ok ||
        FAILED(factory_.Make(CLSID_PortableDevicePropVariantCollection, operands)))
        return ptp::Status::Error;
    HRESULT hr = S_OK;
    for (uint32_t param : request.params) {
        PROPVARIANT value;
        PropVariantInit(&value);
        value.vt = VT_UI4;
        value.ulVal = param;
        if (SUCCEEDED(hr))
            hr = operands->Add(&value);
    }
    if (SUCCEEDED(hr))
        hr = parameters->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_OPERATION_CODE, request.code);
    if (SUCCEEDED(hr))
        hr = parameters->SetIPortableDevicePropVariantCollectionValue(
            WPD_PROPERTY_MTP_EXT_OPERATION_PARAMS, operands.Get());
    const PROPERTYKEY* command = &WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITHOUT_DATA_PHASE;
    if (request.data == ptp::DataDirection::In) {
        command = &WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITH_DATA_TO_READ;
    } else if (request.data == ptp::DataDirection::Out) {
        command = &WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITH_DATA_TO_WRITE;
        if (SUCCEEDED(hr))
            hr = parameters->SetUnsignedLargeIntegerValue(
                WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE, request.outSize);
    }
    if (FAILED(hr))
        return ptp::Status::Error;

    ptp::Status status = Command(*command, parameters.Get(), results, deadline);
    if (status != ptp::Status::Ok)
        return status;
    if (request.data == ptp::DataDirection::None) {
        haveResponse_ = true;
        return TakeResponse(results.Get(), response_);
    }
    context_ = TakeString(results.Get(), WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT);
    if (context_.empty())
        return ptp::Status::Malformed;
    inTransfer_ = true;
    ULONG optimal = 0;
    if (SUCCEEDED(results->GetUnsignedIntegerValue(
            WPD_PROPERTY_MTP_EXT_OPTIMAL_TRANSFER_BUFFER_SIZE, &optimal)) &&
        optimal)
        chunk_ = std::min(std::max<size_t>(optimal, kMinChunk), kMaxChunk);
    if (request.data == ptp::DataDirection::In &&
        FAILED(results->GetUnsignedLargeIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE,
                                                     &total_)))
        return ptp::Status::Malformed;
    return ptp::Status::Ok;
}

ptp::Status WpdTransport::SendData(const ptp::Request& request, const ptp::DataSource& source,
                                   const ptp::Deadline& deadline) {
    if (!inTransfer_)
        return ptp::Status::Error;
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(chunk_, request.outSize)));
    for (uint64_t sent = 0; sent < request.outSize;) {
        const DWORD size = static_cast<DWORD>(std::min<uint64_t>(chunk_, request.outSize - sent));
        if (!source(buffer_.data(), size))
            return ptp::Status::SourceFailed; // ReadResponse ends the transfer
        ComPtr<IPortableDeviceValues> results;
        const ptp::Status status =
            Piece(WPD_COMMAND_MTP_EXT_WRITE_DATA, WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_WRITE,
                  size, results, deadline);
        if (status != ptp::Status::Ok)
            return status;
        ULONG written = 0;
        if (FAILED(results->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_WRITTEN,
                                                    &written)) ||
            written != size)
            return ptp::Status::Malformed;
        sent += size;
    }
    return ptp::Status::Ok;
}

ptp::Status WpdTransport::ReceiveData(const ptp::Request&, ptp::DataInTarget& target,
                                      ptp::Deadline& deadline) {
    if (!inTransfer_)
        return ptp::Status::Error;
    // A phase over the caller's bound, or one it refuses part way, is left unread: ReadResponse
    // ends the transfer and the class driver drops the rest, so the session stays in step.
    if (total_ == 0 || !target.Begin(total_))
        return ptp::Status::Ok;
    deadline.Allow(total_);
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(chunk_, total_)));
    for (uint64_t received = 0; received < total_;) {
        const DWORD size = static_cast<DWORD>(std::min<uint64_t>(chunk_, total_ - received));
        ComPtr<IPortableDeviceValues> results;
        const ptp::Status status =
            Piece(WPD_COMMAND_MTP_EXT_READ_DATA, WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_READ,
                  size, results, deadline);
        if (status != ptp::Status::Ok)
            return status;
        ULONG count = 0;
        BYTE* data = nullptr;
        DWORD held = 0;
        if (FAILED(results->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_READ,
                                                    &count)) ||
            FAILED(results->GetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, &data, &held)))
            count = 0;
        // Nothing, or more than asked for or than the buffer holds, breaks the phase.
        const bool fits = count > 0 && count <= size && count <= held && data;
        const bool taken = fits && target.Write(data, count);
        CoTaskMemFree(data);
        if (!fits)
            return ptp::Status::Malformed;
        if (!taken)
            return ptp::Status::Ok;
        received += count;
        if (total_ == kUnknownSize && count < size)
            break;
    }
    return ptp::Status::Ok;
}

ptp::Status WpdTransport::ReadResponse(const ptp::Request&, ptp::Response& response,
                                       const ptp::Deadline& deadline) {
    if (haveResponse_) {
        haveResponse_ = false;
        response = response_;
        return ptp::Status::Ok;
    }
    if (!inTransfer_)
        return ptp::Status::Error;
    inTransfer_ = false;
    ComPtr<IPortableDeviceValues> parameters, results;
    ptp::Status status = NewParameters(parameters, true);
    if (status == ptp::Status::Ok)
        status =
            Command(WPD_COMMAND_MTP_EXT_END_DATA_TRANSFER, parameters.Get(), results, deadline);
    return status == ptp::Status::Ok ? TakeResponse(results.Get(), response) : status;
}

ptp::Status WpdTransport::SessionAnswer(ptp::Response& response) const {
    if (Gone())
        return ptp::Status::Closed;
    response.code = ptp::RC_OK;
    response.params.clear();
    return ptp::Status::Ok;
}

// The class driver opened the session with the device.
ptp::Status WpdTransport::OpenSession(uint32_t, ptp::Response& response, const ptp::Deadline&) {
    return SessionAnswer(response);
}

// The class driver closes it when the device is closed.
ptp::Status WpdTransport::CloseSession(ptp::Response& response, const ptp::Deadline&) {
    return SessionAnswer(response);
}
