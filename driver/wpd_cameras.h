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
    explicit WpdCameraList(WpdFactory& factory = SystemWpdFactory());

    // Lists the cameras attached now. Where WPD cannot list devices (its classes are not
    // registered, as under Wine) there are none; a device that cannot be opened or described is
    // left out.
    void Refresh();
    size_t size() const { return cameras_.size(); }
    // The camera's friendly name (UTF-8), or its model; empty past the end.
    std::string name(size_t index) const {
        return index < cameras_.size() ? cameras_[index].name : std::string();
    }
    // A transport to camera `index`, opened by the session layer; null past the end.
    std::unique_ptr<ptp::Transport> Transport(size_t index) const;

  private:
    struct Camera {
        std::wstring pnpDeviceId;
        std::string name;
    };
    // Fills `camera` and says whether the device is a still-image camera.
    bool Describe(const std::wstring& pnpDeviceId, Camera& camera);

    ComApartment apartment_;
    WpdFactory& factory_;
    std::vector<Camera> cameras_;
};
