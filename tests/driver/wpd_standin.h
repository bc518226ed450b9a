// Stand-ins for the Windows Portable Devices objects Wine lacks: the device manager, a phone and
// a camera, and the value and collection objects. The camera answers each MTP extension command
// by handing the operation to the virtual camera (real PTP over in-memory PTP/IP pipes) and can
// fail any command. Every stand-in counts itself, so a test can tell that all were released.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "embedded_camera.h"
#include "ptp/initiator.h"
#include "wpd_com.h"

namespace wpd_standin {

// Stand-in COM objects alive now.
extern std::atomic<int> liveObjects;

enum class Fault {
    None,
    Fail,      // SendCommand returns the HRESULT
    InResults, // SendCommand succeeds; WPD_PROPERTY_COMMON_HRESULT carries the HRESULT
    Hang,      // waits until cancelled
    Vanish,    // the device-removed event, then this and every later command fail
    Overflow,  // READ_DATA says it read more than asked
};

// The `occurrence`th arrival of MTP extension command `command` (12 to 17) fails.
struct FaultPlan {
    DWORD command;
    int occurrence;
    Fault fault;
    HRESULT hr;
};

// The camera and the phone on one simulated USB bus.
class Bus {
  public:
    // The camera's card is `card`; `profile` a virtual camera profile file, or empty.
    Bus(std::string card, std::string profile = std::string());
    ~Bus();

    FaultPlan plan{};
    DWORD writeChunk = 512 * 1024; // the buffer size the camera advises for sends
    // What the stand-ins saw.
    std::atomic<int> sessionOperations{0}; // OpenSession or CloseSession through SendCommand
    std::atomic<int> openDevices{0};
    std::atomic<int> advised{0};
    std::wstring clientName;

    WpdFactory& factory();

    // Used by the stand-in objects.
    HRESULT OpenCamera();
    void CloseCamera();
    ptp::Initiator* camera() { return inner_.get(); }
    void Advise(IPortableDeviceEventCallback* callback);
    void Unadvise();
    void Fire(const GUID& id, const std::vector<uint32_t>& params);

  private:
    class Factory;
    std::string card_, profile_;
    std::unique_ptr<Factory> factory_;
    std::unique_ptr<EmbeddedCamera> embedded_;
    std::unique_ptr<ptp::Initiator> inner_;
    std::mutex callbackMutex_;
    ComPtr<IPortableDeviceEventCallback> callback_;
};

} // namespace wpd_standin
