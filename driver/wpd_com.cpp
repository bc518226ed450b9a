// The system's WPD classes, and one table from HRESULT to what the session does with it.
#include "wpd_com.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/handle.h"
#include "common/lock.h"

namespace {

class SystemFactory final : public WpdFactory {
  public:
    HRESULT CreateObject(REFCLSID clsid, REFIID iid, void** object) override {
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
    }
};

struct HresultRow {
    HRESULT hr;
    ptp::Status status;
};

// Driver results follow from the status (driver/result_map.cpp): Closed and Error -> 11
// (connection lost), Refused -> 192 (busy), Timeout -> 130 (no answer).
const HresultRow kHresults[] = {
    // Unplugged, switched off, or its driver unloaded.
    {HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED), ptp::Status::Closed},
    {HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST), ptp::Status::Closed},
    {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ptp::Status::Closed}, // its device ID is gone
    {HRESULT_FROM_WIN32(ERROR_NOT_READY), ptp::Status::Closed},
    {wpd::E_WPD_DEVICE_NOT_OPEN, ptp::Status::Closed},
    // Another program holds the camera.
    {HRESULT_FROM_WIN32(ERROR_BUSY), ptp::Status::Refused},
    {HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), ptp::Status::Refused},
    {wpd::E_WPD_DEVICE_ALREADY_OPENED, ptp::Status::Refused},
    // The camera stopped answering.
    {HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT), ptp::Status::Timeout},
    {HRESULT_FROM_WIN32(ERROR_TIMEOUT), ptp::Status::Timeout},
    {HRESULT_FROM_WIN32(WAIT_TIMEOUT), ptp::Status::Timeout},
    {wpd::E_WPD_DEVICE_IS_HUNG, ptp::Status::Timeout},
};

} // namespace

WpdFactory& SystemWpdFactory() {
    static SystemFactory factory;
    return factory;
}

ptp::Status StatusOfHresult(HRESULT hr) {
    if (SUCCEEDED(hr))
        return ptp::Status::Ok;
    for (const HresultRow& row : kHresults) {
        if (row.hr == hr)
            return row.status;
    }
    return ptp::Status::Error;
}

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

std::wstring TakeString(IPortableDeviceValues* values, const PROPERTYKEY& key) {
    common::TaskMemory<wchar_t> text;
    if (values && SUCCEEDED(values->GetStringValue(key, text.receive())) && text)
        return text.get();
    return std::wstring();
}

std::string Utf8Of(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string utf8(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], n,
                            nullptr, nullptr);
    return utf8;
}

namespace {

// An Open under way on a thread of its own, shared by that thread and the one waiting for it.
struct PendingOpen {
    common::Lock lock;
    common::Signal done;
    bool finished = false, abandoned = false;
    HRESULT hr = E_FAIL;
    ComPtr<IPortableDevice> device;
    ComPtr<IPortableDeviceValues> client;
    std::wstring id;
};

// What the Open's thread owns: its share of the Open, and a reference to this library, so that
// the library stays loaded while an abandoned Open goes on after its caller freed it.
struct OpenThread {
    std::shared_ptr<PendingOpen> pending;
    HMODULE library = nullptr;
};

void RunOpen(PendingOpen& pending) {
    ComApartment apartment;
    const HRESULT hr = pending.device->Open(pending.id.c_str(), pending.client.Get());
    ComPtr<IPortableDevice> late;
    {
        std::lock_guard<common::Lock> hold(pending.lock);
        pending.hr = hr;
        pending.finished = true;
        pending.client.Reset();
        if (pending.abandoned)
            late = std::move(pending.device);
    }
    pending.done.WakeAll();
    if (late && SUCCEEDED(hr))
        late->Close(); // nobody waits for it any more
}

DWORD WINAPI OpenRoutine(void* parameter) {
    HMODULE library = nullptr;
    {
        std::unique_ptr<OpenThread> thread(static_cast<OpenThread*>(parameter));
        library = thread->library;
        try {
            RunOpen(*thread->pending);
        } catch (...) {
        }
    }
    // The library may be unloaded here: the system ends the thread without coming back to it.
    FreeLibraryAndExitThread(library, 0);
}

// Starts RunOpen on a thread that holds this library; false when it could not be started.
bool StartOpen(const std::shared_ptr<PendingOpen>& pending) {
    std::unique_ptr<OpenThread> thread(new (std::nothrow) OpenThread{pending, nullptr});
    if (!thread || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                       reinterpret_cast<LPCWSTR>(&OpenRoutine), &thread->library))
        return false;
    const common::Handle started(CreateThread(nullptr, 0, OpenRoutine, thread.get(), 0, nullptr));
    if (!started) {
        FreeLibrary(thread->library);
        return false;
    }
    thread.release(); // the thread's own now
    return true;
}

// Who opens the device, as Open takes it.
HRESULT MakeClientInformation(WpdFactory& factory, ComPtr<IPortableDeviceValues>& client) {
    HRESULT hr = factory.Make(wpd::CLSID_PortableDeviceValues, client);
    if (SUCCEEDED(hr))
        hr = client->SetStringValue(wpd::WPD_CLIENT_NAME, L"Vandrel");
    if (SUCCEEDED(hr))
        hr = client->SetUnsignedIntegerValue(wpd::WPD_CLIENT_MAJOR_VERSION, 2);
    if (SUCCEEDED(hr))
        hr = client->SetUnsignedIntegerValue(wpd::WPD_CLIENT_MINOR_VERSION, 0);
    if (SUCCEEDED(hr))
        hr = client->SetUnsignedIntegerValue(wpd::WPD_CLIENT_REVISION, 2);
    if (SUCCEEDED(hr)) // as Microsoft's samples ask for
        hr = client->SetUnsignedIntegerValue(wpd::WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE,
                                             SECURITY_IMPERSONATION);
    return hr;
}

} // namespace

HRESULT OpenPortableDevice(WpdFactory& factory, const std::wstring& pnpDeviceId,
                           ComPtr<IPortableDevice>& device, int timeoutMs) {
    auto pending = std::make_shared<PendingOpen>();
    pending->id = pnpDeviceId;
    HRESULT hr = factory.Make(wpd::CLSID_PortableDeviceFTM, pending->device);
    if (SUCCEEDED(hr))
        hr = MakeClientInformation(factory, pending->client);
    device.Reset();
    if (FAILED(hr))
        return hr;
    if (!StartOpen(pending))
        return E_OUTOFMEMORY;
    std::unique_lock<common::Lock> hold(pending->lock);
    if (!pending->done.WaitFor(pending->lock, std::max(timeoutMs, 0),
                               [&] { return pending->finished; })) {
        pending->abandoned = true;
        return HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT);
    }
    if (SUCCEEDED(pending->hr))
        device = std::move(pending->device);
    pending->device.Reset();
    return pending->hr;
}
