// Enumeration: every portable device's type and protocol, read from its device object.
#include "wpd_cameras.h"

#include <algorithm>

#include "wpd_transport.h"

using namespace wpd;

namespace {

const DWORD kMaxDevices = 256; // more is not a PC's USB bus

bool IsStillCamera(ULONG type, const std::wstring& protocol) {
    return type == WPD_DEVICE_TYPE_CAMERA ||
           (protocol.size() >= 3 && _wcsnicmp(protocol.c_str(), L"PTP", 3) == 0);
}

} // namespace

WpdCameraList::WpdCameraList(WpdFactory& factory) : factory_(factory) {}

void WpdCameraList::Refresh() {
    cameras_.clear();
    ComPtr<IPortableDeviceManager> manager;
    DWORD count = 0;
    if (FAILED(factory_.Make(CLSID_PortableDeviceManager, manager)) ||
        FAILED(manager->GetDevices(nullptr, &count)) || count == 0)
        return;
    count = std::min(count, kMaxDevices);
    std::vector<LPWSTR> ids(count, nullptr);
    if (FAILED(manager->GetDevices(ids.data(), &count)))
        count = 0;
    for (DWORD i = 0; i < ids.size(); ++i) {
        Camera camera;
        if (i < count && ids[i] && Describe(ids[i], camera))
            cameras_.push_back(std::move(camera));
        CoTaskMemFree(ids[i]);
    }
}

bool WpdCameraList::Describe(const std::wstring& pnpDeviceId, Camera& camera) {
    ComPtr<IPortableDevice> device;
    ComPtr<IPortableDeviceContent> content;
    ComPtr<IPortableDeviceProperties> properties;
    ComPtr<IPortableDeviceKeyCollection> keys;
    ComPtr<IPortableDeviceValues> values;
    HRESULT hr = OpenPortableDevice(factory_, pnpDeviceId, device);
    if (SUCCEEDED(hr))
        hr = device->Content(&content);
    if (SUCCEEDED(hr))
        hr = content->Properties(&properties);
    if (SUCCEEDED(hr))
        hr = factory_.Make(CLSID_PortableDeviceKeyCollection, keys);
    for (const PROPERTYKEY* key :
         {&WPD_DEVICE_TYPE, &WPD_DEVICE_PROTOCOL, &WPD_DEVICE_FRIENDLY_NAME, &WPD_DEVICE_MODEL}) {
        if (SUCCEEDED(hr))
            hr = keys->Add(*key);
    }
    if (SUCCEEDED(hr))
        hr = properties->GetValues(WPD_DEVICE_OBJECT_ID, keys.Get(), &values);
    if (device)
        device->Close();
    if (FAILED(hr) || !values)
        return false;
    ULONG type = 0;
    if (FAILED(values->GetUnsignedIntegerValue(WPD_DEVICE_TYPE, &type)))
        type = 0;
    camera.pnpDeviceId = pnpDeviceId;
    camera.name = Utf8Of(TakeString(values.Get(), WPD_DEVICE_FRIENDLY_NAME));
    if (camera.name.empty())
        camera.name = Utf8Of(TakeString(values.Get(), WPD_DEVICE_MODEL));
    return IsStillCamera(type, TakeString(values.Get(), WPD_DEVICE_PROTOCOL));
}

std::unique_ptr<ptp::Transport> WpdCameraList::Transport(size_t index) const {
    if (index >= cameras_.size())
        return nullptr;
    return std::make_unique<WpdTransport>(factory_, cameras_[index].pnpDeviceId,
                                          cameras_[index].name);
}
