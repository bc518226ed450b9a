// The driver library's object: its settings, trace, call thread, enumeration and the caller's
// callback. It translates every interface operation for the open camera (open_camera.h), which
// speaks PTP to whichever camera the settings' source reaches.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "call_thread.h"
#include "common/handle.h"
#include "common/lock.h"
#include "camera_source.h"
#include "event_relay.h"
#include "open_camera.h"
#include "driver_interface.h"
#include "ptp/initiator.h"
#include "settings.h"
#include "trace.h"

// What EnumerateDevices writes for each camera; OpenDevice reads it back.
#pragma pack(push, 1)
struct DeviceRecord {
    uint32_t index;     // position in the enumeration
    uint32_t transport; // the settings' transport: 0 virtual, 1 PTP/IP, 2 USB
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
    // Every operation but the lookups answered from memory: refused from inside the caller's
    // event callback, which would wait for itself.
    DriverResult Call(const std::function<DriverResult()>& body) {
        return events_.InCallback() ? kDriverBusy : calls_.Run(body);
    }
    // An operation on the open device, on the call thread: fails at once for another device or
    // a lost connection; a failure is the open camera's to note.
    DriverResult InSession(uint32_t device, const std::function<DriverResult(OpenCamera&)>& body);
    // A lookup in the open camera's memory, on the caller's thread: false when it misses.
    template <typename Lookup> bool Remembered(Lookup lookup);
    void DropDevice();
    // From the caller's thread: ends a call pending on `device` at once.
    void Interrupt(uint32_t device);
    static DWORD WINAPI ShutdownRoutine(LPVOID self);
    std::unique_ptr<ptp::Initiator> NewInitiator();

    const std::string folder_;
    const ptp::Guid guid_; // how this PC introduces itself over PTP/IP
    Trace trace_;
    CallThread calls_; // every call runs there; ~KxCamera frees the state below there too
    DriverSettings settings_;
    std::unique_ptr<CameraSource> source_; // the last enumeration's
    uint32_t nextDevice_ = 1;
    EventRelay events_;
    common::Lock cameraLock_;            // camera_ as the caller's thread and Interrupt see it
    std::unique_ptr<OpenCamera> camera_; // the open device, if any
};
