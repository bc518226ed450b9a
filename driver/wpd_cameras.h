// The still-image cameras among the portable devices attached by USB, found through Windows
// Portable Devices, and a transport to each. A phone or music player is not a camera here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ptp/transport.h"
#include "wpd_com.h"

// Made, used and destroyed on the driver library's call thread. The PnP device IDs stay here
// (they may be longer than a device record's name): a camera is named by its index.
class WpdCameraList {
  public:
    // Each device is opened within `openTimeoutMs` to be described.
    explicit WpdCameraList(WpdFactory& factory = SystemWpdFactory(), int openTimeoutMs = 10000);

    // Why a portable device is or is not counted as a camera.
    enum class Verdict { Camera, Busy, NotCamera, NoMtpCommands, Unreadable };
    struct Device {
        std::wstring pnpDeviceId;
        std::string name;
        Verdict verdict = Verdict::Unreadable;
        HRESULT hr = S_OK; // why it could not be opened or read
    };

    // Lists the cameras attached now: still-image cameras that accept the MTP extension
    // commands, and any device another program holds (it cannot be asked, and opening it
    // then says it is busy). Where WPD cannot list devices (its classes are not registered, as
    // under Wine) there are none; any other device that cannot be opened or described is left
    // out. `all`, when given, receives every portable device with its verdict. Returns the
    // HRESULT of listing the devices.
    HRESULT Refresh(std::vector<Device>* all = nullptr);
    size_t size() const { return cameras_.size(); }
    // The camera's friendly name (UTF-8), or its model; empty past the end.
    std::string name(size_t index) const {
        return index < cameras_.size() ? cameras_[index].name : std::string();
    }
    // A transport to camera `index`, opened by the session layer; null past the end.
    std::unique_ptr<ptp::Transport> OpenTransport(size_t index) const;

  private:
    void Describe(IPortableDeviceManager* manager, Device& device);

    ComApartment apartment_;
    WpdFactory& factory_;
    const int openTimeoutMs_;
    std::vector<Device> cameras_;
};
