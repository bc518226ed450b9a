// The system's WPD classes, and one table from HRESULT to what the session does with it.
#include "wpd_com.h"

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

std::wstring TakeString(IPortableDeviceValues* values, const PROPERTYKEY& key) {
    LPWSTR text = nullptr;
    std::wstring taken;
    if (values && SUCCEEDED(values->GetStringValue(key, &text)) && text)
        taken = text;
    CoTaskMemFree(text);
    return taken;
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

HRESULT OpenPortableDevice(WpdFactory& factory, const std::wstring& pnpDeviceId,
                           ComPtr<IPortableDevice>& device) {
    ComPtr<IPortableDeviceValues> client;
    HRESULT hr = factory.Make(wpd::CLSID_PortableDeviceFTM, device);
    if (SUCCEEDED(hr))
        hr = factory.Make(wpd::CLSID_PortableDeviceValues, client);
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
    if (SUCCEEDED(hr))
        hr = device->Open(pnpDeviceId.c_str(), client.Get());
    if (FAILED(hr))
        device.Reset();
    return hr;
}
