// The driver library's camera object: every interface operation as PTP operations over the
// initiator, to the embedded virtual camera or to cameras reached over PTP/IP.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "call_thread.h"
#include "camera_source.h"
#include "driver_interface.h"
#include "ptp/initiator.h"
#include "settings.h"

// What EnumerateDevices writes for each camera; OpenDevice reads it back.
#pragma pack(push, 1)
struct DeviceRecord {
    uint32_t index;     // position in the enumeration
    uint32_t transport; // the settings' transport: 0 virtual, 1 PTP/IP
    char name[64];      // host or "virtual", terminated
};
#pragma pack(pop)

class KxCamera final : public CPTPClass {
  public:
    explicit KxCamera(std::string folder);
    ~KxCamera();

    DriverResult EnumerateDevices(uint32_t* count, CameraStream* stream) override;
    DriverResult OpenDevice(const void* deviceRecord, CameraEventCallback callback,
                            uint32_t reserved, uint32_t* device) override;
    DriverResult CloseDevice(uint32_t device) override;
    DriverResult GetStorageIDs(uint32_t device, CameraStream* stream) override;
    DriverResult GetStorageInfo(uint32_t device, uint32_t storageId,
                                StorageRecord* record) override;
    DriverResult GetNumObjects(uint32_t device, uint32_t storageId, uint32_t format,
                               uint32_t parent, uint32_t* count) override;
    DriverResult GetObjectHandles(uint32_t device, uint32_t storageId, uint32_t format,
                                  uint32_t parent, CameraStream* stream) override;
    DriverResult SendObjectInfo(uint32_t device, uint32_t storageId, uint32_t parent,
                                ObjectInfoRecord* record, uint32_t* outStorageId,
                                uint32_t* outParent, uint32_t* outHandle) override;
    DriverResult SendObject(uint32_t device, uint32_t size, CameraStream* fileStream) override;
    DriverResult GetDevicePropValue(uint32_t device, uint32_t propCode, void* value,
                                    uint32_t reserved) override;
    DriverResult GetObjectEntry(uint32_t device, uint32_t storageId, uint32_t format,
                                uint32_t parent, uint32_t handle, CameraStream* stream) override;

  private:
    DriverResult Call(const std::function<DriverResult()>& body) { return calls_.Run(body); }

    // An operation on the open device: fails at once for another device or a lost connection.
    DriverResult InSession(uint32_t device,
                           const std::function<DriverResult(ptp::Initiator*)>& body);
    DriverResult Session(uint32_t device, ptp::Initiator** initiator);
    void DropDevice();
    void OnEvent(const ptp::Event& event);
    void OnLost();
    void Raise(uint32_t code, uint32_t dataWord);
    std::unique_ptr<ptp::Initiator> NewInitiator();

    const std::string folder_;
    CallThread calls_; // every call runs there; ~KxCamera frees the state below there too
    DriverSettings settings_;
    std::unique_ptr<CameraSource> source_;     // the last enumeration's
    std::unique_ptr<CameraSource> openSource_; // the one that opened the device
    std::unique_ptr<ptp::Initiator> initiator_;
    ptp::DeviceInfo deviceInfo_;
    uint32_t device_ = 0;
    uint32_t nextDevice_ = 1;

    std::mutex eventMutex_; // the callback is cleared under it, so none runs after CloseDevice
    CameraEventCallback callback_ = nullptr;
    std::atomic<bool> poweredDown_{false};
};
