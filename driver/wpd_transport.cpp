// PTP operations as MTP extension commands, and their cancellation when the transport's
// watchdog fires.
#include "wpd_transport.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <new>

#include "ptp/codes.h"
#include "wpd_events.h"

using namespace wpd;

namespace {

const size_t kDefaultChunk = 256 * 1024;   // when the driver advises no buffer size
const size_t kMaxChunk = 8 * 1024 * 1024;  // memory stays small, and a chunk reports progress
const uint64_t kUnknownSize = 0xFFFFFFFFu; // a data-in phase of unknown length ends short

// The commands the transport sends: a device that does not list them all cannot be driven.
const PROPERTYKEY* const kMtpCommands[] = {
    &WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITHOUT_DATA_PHASE,
    &WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITH_DATA_TO_READ,
    &WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITH_DATA_TO_WRITE,
    &WPD_COMMAND_MTP_EXT_READ_DATA,
    &WPD_COMMAND_MTP_EXT_WRITE_DATA,
    &WPD_COMMAND_MTP_EXT_END_DATA_TRANSFER,
};
const DWORD kMaxListed = 4096; // commands or storages a device may list

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

// The object IDs a collection of VT_LPWSTR values holds, bounded.
std::vector<std::wstring> ReadIds(IPortableDevicePropVariantCollection* values) {
    std::vector<std::wstring> ids;
    DWORD count = 0;
    if (!values || FAILED(values->GetCount(&count)))
        return ids;
    for (DWORD i = 0; i < std::min(count, kMaxListed); ++i) {
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(values->GetAt(i, &value)) && value.vt == VT_LPWSTR && value.pwszVal)
            ids.emplace_back(value.pwszVal);
        PropVariantClear(&value);
    }
    return ids;
}

} // namespace

WpdTransport::WpdTransport(WpdFactory& factory, std::wstring pnpDeviceId, std::string name)
    : factory_(factory), pnpDeviceId_(std::move(pnpDeviceId)), watchdog_([this] { Abort(); }) {
    responder_.friendlyName = std::move(name);
}

WpdTransport::~WpdTransport() {
    Shutdown();
    if (device_) {
        if (cookie_)
            device_->Unadvise(cookie_.get());
        device_->Close();
    }
}

bool WpdTransport::AcceptsMtpCommands(IPortableDevice* device) {
    ComPtr<IPortableDeviceCapabilities> capabilities;
    ComPtr<IPortableDeviceKeyCollection> commands;
    DWORD count = 0;
    if (FAILED(device->Capabilities(&capabilities)) || !capabilities ||
        FAILED(capabilities->GetSupportedCommands(&commands)) || !commands ||
        FAILED(commands->GetCount(&count)))
        return false;
    size_t found = 0;
    for (const PROPERTYKEY* wanted : kMtpCommands) {
        for (DWORD i = 0; i < std::min(count, kMaxListed); ++i) {
            PROPERTYKEY key;
            if (SUCCEEDED(commands->GetAt(i, &key)) && IsEqualPropertyKey(key, *wanted)) {
                ++found;
                break;
            }
        }
    }
    return found == std::size(kMtpCommands);
}

ptp::Status WpdTransport::Open(const ptp::Deadline& deadline, ptp::Response&) {
    ComPtr<IPortableDevice> device;
    const HRESULT hr = OpenPortableDevice(factory_, pnpDeviceId_, device, deadline.WaitMs());
    if (FAILED(hr)) {
        lastFailure_ = hr;
        return StatusOfHresult(hr);
    }
    ComPtr<WpdEvents> events = WpdEvents::Create();
    if (!events) {
        device->Close();
        return ptp::Status::Error;
    }
    // Its storages, so that a card taken out is told from a photo deleted.
    ComPtr<IPortableDeviceCapabilities> capabilities;
    ComPtr<IPortableDevicePropVariantCollection> storages;
    if (SUCCEEDED(device->Capabilities(&capabilities)) && capabilities &&
        SUCCEEDED(capabilities->GetFunctionalObjects(WPD_FUNCTIONAL_CATEGORY_STORAGE, &storages)))
        events->KnowStorages(ReadIds(storages.Get()));
    {
        std::lock_guard<common::Lock> hold(linkLock_);
        device_ = device;
        events_ = events;
    }
    return stopping_ ? ptp::Status::Closed : ptp::Status::Ok;
}

void WpdTransport::Start(ptp::TransportListener& listener) {
    events_->Listen(listener);
    // Without events the operations still work; losses then show when a command fails.
    if (FAILED(device_->Advise(0, events_.Get(), nullptr, cookie_.receive())))
        cookie_.reset();
}

void WpdTransport::Shutdown() {
    ComPtr<WpdEvents> events;
    {
        std::lock_guard<common::Lock> hold(linkLock_);
        // Either a command sees stopping_ before it is sent, or it is cancelled here.
        stopping_ = true;
        events = events_;
        if (inCommand_ && device_)
            device_->Cancel();
    }
    // Outside the link lock: a listener that shuts the transport down from its call takes it.
    if (events)
        events->StopListening();
}

void WpdTransport::Abort() {
    // The watchdog's thread: Cancel is a COM call.
    ComApartment apartment;
    aborted_ = true;
    std::lock_guard<common::Lock> hold(linkLock_);
    if (device_)
        device_->Cancel();
}

bool WpdTransport::Gone() const {
    return stopping_ || (events_ && events_->gone());
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
    if (aborted_ || deadline.WaitMs() <= 0)
        return ptp::Status::Timeout;
    HRESULT hr = parameters->SetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, command.fmtid);
    if (SUCCEEDED(hr))
        hr = parameters->SetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, command.pid);
    if (FAILED(hr))
        return ptp::Status::Error;
    inCommand_ = true;
    if (Gone()) {
        inCommand_ = false;
        return ptp::Status::Closed;
    }
    // SendCommand has no bound of its own: the watchdog cancels it once the step overstays.
    watchdog_.Arm(deadline.WaitMs());
    hr = device_->SendCommand(0, parameters, results.ReleaseAndGetAddressOf());
    const bool late = watchdog_.Disarm() || aborted_;
    inCommand_ = false;
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
    if (FAILED(hr))
        lastFailure_ = hr;
    return StatusOfHresult(hr);
}

std::string WpdTransport::LastFailure() const {
    const HRESULT hr = lastFailure_;
    if (SUCCEEDED(hr))
        return std::string();
    char text[32];
    snprintf(text, sizeof text, "HRESULT 0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

ptp::Status WpdTransport::Piece(const PROPERTYKEY& command, const PROPERTYKEY& sizeKey,
                                uint8_t* data, DWORD size, ComPtr<IPortableDeviceValues>& results,
                                const ptp::Deadline& deadline) {
    ComPtr<IPortableDeviceValues> parameters;
    ptp::Status status = NewParameters(parameters, true);
    if (status == ptp::Status::Ok &&
        (FAILED(parameters->SetUnsignedIntegerValue(sizeKey, size)) ||
         FAILED(parameters->SetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, data, size))))
        status = ptp::Status::Error;
    return status == ptp::Status::Ok ? Command(command, parameters.Get(), results, deadline)
                                     : status;
}

ptp::Status WpdTransport::EndTransfer(const ptp::Deadline& deadline) {
    inTransfer_ = false;
    ComPtr<IPortableDeviceValues> parameters, results;
    ptp::Status status = NewParameters(parameters, true);
    if (status == ptp::Status::Ok)
        status =
            Command(WPD_COMMAND_MTP_EXT_END_DATA_TRANSFER, parameters.Get(), results, deadline);
    if (status == ptp::Status::Ok)
        status = TakeResponse(results.Get(), response_);
    haveResponse_ = status == ptp::Status::Ok;
    return status;
}

ptp::Status WpdTransport::Abandon(ptp::Status status, const ptp::Deadline& deadline) {
    // A device gone hears nothing more; a command cancelled at the deadline took its transfer
    // with it.
    if (!inTransfer_ || status == ptp::Status::Closed || status == ptp::Status::Timeout)
        return status;
    if (EndTransfer(deadline) == ptp::Status::Ok && response_.code != ptp::RC_OK)
        return ptp::Status::Ok;
    haveResponse_ = false;
    return status;
}

ptp::Status WpdTransport::SendRequest(const ptp::Request& request, const ptp::Deadline& deadline) {
    haveResponse_ = inTransfer_ = false;
    aborted_ = false;
    context_.clear();
    total_ = 0;
    chunk_ = kDefaultChunk;
    // The class driver opens the session with the device, and closes it when the device is
    // closed: the session operations are answered here, never sent.
    if (request.code == ptp::OC_OpenSession || request.code == ptp::OC_CloseSession) {
        if (Gone())
            return ptp::Status::Closed;
        response_ = ptp::Response();
        response_.code = ptp::RC_OK;
        haveResponse_ = true;
        return ptp::Status::Ok;
    }
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
    // The data phase began: from here on it ends with END_DATA_TRANSFER, whatever happens.
    inTransfer_ = true;
    context_ = TakeString(results.Get(), WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT);
    ULONG optimal = 0;
    if (SUCCEEDED(results->GetUnsignedIntegerValue(
            WPD_PROPERTY_MTP_EXT_OPTIMAL_TRANSFER_BUFFER_SIZE, &optimal)) &&
        optimal)
        chunk_ = std::min<size_t>(optimal, kMaxChunk);
    // A send's context is optional; a read's, and the size it announces, are not.
    if (request.data == ptp::DataDirection::In &&
        (context_.empty() || FAILED(results->GetUnsignedLargeIntegerValue(
                                 WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE, &total_)))) {
        EndTransfer(deadline);
        haveResponse_ = false;
        return ptp::Status::Malformed;
    }
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
        // A short write leaves the rest of the piece to the next WRITE_DATA.
        for (DWORD done = 0; done < size;) {
            ComPtr<IPortableDeviceValues> results;
            const ptp::Status status = Piece(WPD_COMMAND_MTP_EXT_WRITE_DATA,
                                             WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_WRITE,
                                             buffer_.data() + done, size - done, results, deadline);
            if (status != ptp::Status::Ok)
                return Abandon(status, deadline);
            ULONG written = 0;
            if (FAILED(results->GetUnsignedIntegerValue(
                    WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_WRITTEN, &written)) ||
                written == 0 || written > size - done)
                return Abandon(ptp::Status::Malformed, deadline);
            done += written;
        }
        sent += size;
    }
    return ptp::Status::Ok;
}

ptp::Status WpdTransport::ReceiveData(const ptp::Request&, ptp::DataInTarget& target,
                                      ptp::Deadline& deadline) {
    if (!inTransfer_)
        return ptp::Status::Error;
    // Every byte the device sends is read, wanted or not, before the transfer ends: the device
    // and the driver stay in step. A phase the caller refuses is dropped up to its drain bound.
    const bool unknown = total_ == kUnknownSize;
    bool refused = !target.Begin(unknown ? ptp::kDataSizeUnknown : total_);
    if (!unknown)
        deadline.Allow(total_);
    buffer_.resize(unknown ? chunk_ : static_cast<size_t>(std::min<uint64_t>(chunk_, total_)));
    for (uint64_t received = 0; unknown || received < total_;) {
        const DWORD size =
            static_cast<DWORD>(unknown ? chunk_ : std::min<uint64_t>(chunk_, total_ - received));
        if (refused && !target.Drain(unknown ? received + size : total_)) {
            EndTransfer(deadline);
            haveResponse_ = false;
            return ptp::Status::SinkFailed;
        }
        if (unknown)
            deadline.Allow(size);
        ComPtr<IPortableDeviceValues> results;
        const ptp::Status status =
            Piece(WPD_COMMAND_MTP_EXT_READ_DATA, WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_READ,
                  buffer_.data(), size, results, deadline);
        if (status != ptp::Status::Ok)
            return Abandon(status, deadline);
        ULONG count = 0;
        common::TaskMemory<BYTE> data;
        DWORD held = 0;
        const bool told = SUCCEEDED(results->GetUnsignedIntegerValue(
                              WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_READ, &count)) &&
                          SUCCEEDED(results->GetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA,
                                                            data.receive(), &held));
        // More than asked for or than the buffer holds breaks the phase; nothing ends one of
        // unknown size, and breaks one that still owes bytes.
        const bool fits = told && count <= size && count <= held && (data || count == 0);
        if (fits && count > 0 && !refused)
            refused = !target.Write(data.get(), count);
        if (!fits || (count == 0 && !unknown))
            return Abandon(ptp::Status::Malformed, deadline);
        received += count;
        if (unknown && count < size)
            break;
    }
    return ptp::Status::Ok;
}

ptp::Status WpdTransport::ReadResponse(const ptp::Request&, ptp::Response& response,
                                       const ptp::Deadline& deadline) {
    ptp::Status status = ptp::Status::Ok;
    if (!haveResponse_)
        status = inTransfer_ ? EndTransfer(deadline) : ptp::Status::Error;
    if (status == ptp::Status::Ok)
        response = response_;
    haveResponse_ = false;
    return status;
}
