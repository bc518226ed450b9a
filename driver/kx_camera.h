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

#include "driver_interface.h"
#include "embedded_camera.h"
#include "ptp/initiator.h"
#include "settings.h"

// What EnumerateDevices writes for each camera; OpenDevice reads it back.
#pragma pack(push, 1)
struct DeviceRecord {
    uint32_t index;     // position in the enumeration
    uint32_t transport; // 0 virtual, 1 PTP/IP
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
    struct Candidate {
        DeviceRecord record;
        std::unique_ptr<ptp::Initiator> initiator; // ptpip: the connection enumeration made
    };

    // Every operation runs on the library's own call thread, one at a time. Only that thread
    // and the library's other threads ever start, join or wait in the threading runtime, which
    // keeps records of such threads that would outlive the library if a caller's thread left them.
    DriverResult Call(const std::function<DriverResult()>& body);
    static DWORD WINAPI CallLoop(LPVOID self);

    // An operation on the open device: fails at once for another device or a lost connection.
    DriverResult InSession(uint32_t device,
                           const std::function<DriverResult(ptp::Initiator*)>& body);
    DriverResult Session(uint32_t device, ptp::Initiator** initiator);
    void DropDevice();
    void OnEvent(const ptp::Event& event);
    void OnLost();
    void Raise(uint32_t code, uint32_t dataWord);
    std::unique_ptr<ptp::Initiator> NewInitiator();
    DriverResult ConnectVirtual(std::unique_ptr<ptp::Initiator>& initiator);

    const std::string folder_;
    CRITICAL_SECTION callLock_; // one operation at a time
    HANDLE callThread_ = nullptr;
    HANDLE workReady_ = nullptr, workDone_ = nullptr;
    const std::function<DriverResult()>* work_ = nullptr;
    DriverResult workResult_ = kDriverOk;
    volatile bool quit_ = false;
    DriverSettings settings_;
    std::vector<Candidate> candidates_;
    std::unique_ptr<EmbeddedCamera> embedded_;
    std::unique_ptr<ptp::Initiator> initiator_;
    ptp::DeviceInfo deviceInfo_;
    uint32_t device_ = 0;
    uint32_t nextDevice_ = 1;

    std::mutex eventMutex_; // the callback is cleared under it, so none runs after CloseDevice
    CameraEventCallback callback_ = nullptr;
    std::atomic<bool> poweredDown_{false};
};
