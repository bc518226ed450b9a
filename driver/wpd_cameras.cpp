// Enumeration: every portable device's type and protocol, read from its device object.
#include "wpd_cameras.h"

#include <algorithm>
#include <iterator>

#include "common/handle.h"
#include "wpd_transport.h"

using namespace wpd;

namespace {

const DWORD kMaxDevices = 256; // more is not a PC's USB bus

bool IsStillCamera(ULONG type, const std::wstring& protocol) {
    return type == WPD_DEVICE_TYPE_CAMERA ||
           (protocol.size() >= 3 && _wcsnicmp(protocol.c_str(), L"PTP", 3) == 0);
}

} // namespace

WpdCameraList::WpdCameraList(WpdFactory& factory, int openTimeoutMs)
    : factory_(factory), openTimeoutMs_(openTimeoutMs) {}

HRESULT WpdCameraList::Refresh(std::vector<Device>* all) {
    cameras_.clear();
    if (all)
        all->clear();
    ComPtr<IPortableDeviceManager> manager;
    DWORD count = 0;
    HRESULT hr = factory_.Make(CLSID_PortableDeviceManager, manager);
    if (SUCCEEDED(hr))
        hr = manager->GetDevices(nullptr, &count);
    if (FAILED(hr) || count == 0)
        return hr;
    count = std::min(count, kMaxDevices);
    std::vector<LPWSTR> listed(count, nullptr);
    hr = manager->GetDevices(listed.data(), &count);
    const std::vector<common::TaskMemory<wchar_t>> ids(listed.begin(), listed.end());
    if (FAILED(hr))
        count = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (ids[i]) {
            Device device;
            device.pnpDeviceId = ids[i].get();
            Describe(manager.Get(), device);
            if (device.verdict == Verdict::Camera || device.verdict == Verdict::Busy)
                cameras_.push_back(device);
            if (all)
                all->push_back(std::move(device));
        }
    }
    return hr;
}

void WpdCameraList::Describe(IPortableDeviceManager* manager, Device& camera) {
    ComPtr<IPortableDevice> device;
    ComPtr<IPortableDeviceContent> content;
    ComPtr<IPortableDeviceProperties> properties;
    ComPtr<IPortableDeviceKeyCollection> keys;
    ComPtr<IPortableDeviceValues> values;
    HRESULT hr = OpenPortableDevice(factory_, camera.pnpDeviceId, device, openTimeoutMs_);
    camera.hr = hr;
    if (StatusOfHresult(hr) == ptp::Status::Refused) {
        // Held by another program: its type cannot be read, but the user can free it.
        WCHAR name[128] = {};
        DWORD length = static_cast<DWORD>(std::size(name));
        if (SUCCEEDED(manager->GetDeviceFriendlyName(camera.pnpDeviceId.c_str(), name, &length)))
            camera.name = Utf8Of(std::wstring(name, wcsnlen(name, std::size(name))));
        camera.verdict = Verdict::Busy;
        return;
    }
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
    const bool commands = SUCCEEDED(hr) && WpdTransport::AcceptsMtpCommands(device.Get());
    if (device)
        device->Close();
    camera.hr = hr;
    if (FAILED(hr) || !values) {
        camera.verdict = Verdict::Unreadable;
        return;
    }
    ULONG type = 0;
    if (FAILED(values->GetUnsignedIntegerValue(WPD_DEVICE_TYPE, &type)))
        type = 0;
    camera.name = Utf8Of(TakeString(values.Get(), WPD_DEVICE_FRIENDLY_NAME));
    if (camera.name.empty())
        camera.name = Utf8Of(TakeString(values.Get(), WPD_DEVICE_MODEL));
    if (!IsStillCamera(type, TakeString(values.Get(), WPD_DEVICE_PROTOCOL)))
        camera.verdict = Verdict::NotCamera;
    else
        camera.verdict = commands ? Verdict::Camera : Verdict::NoMtpCommands;
}

std::unique_ptr<ptp::Transport> WpdCameraList::OpenTransport(size_t index) const {
    if (index >= cameras_.size())
        return nullptr;
    return std::make_unique<WpdTransport>(factory_, cameras_[index].pnpDeviceId,
                                          cameras_[index].name);
}
