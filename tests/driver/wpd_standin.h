// Stand-ins for the Windows Portable Devices objects Wine lacks: the device manager, a phone and
// a camera, and the value and collection objects. The camera answers each MTP extension command
// by handing the operation to the virtual camera (real PTP over in-memory PTP/IP pipes) and can
// fail any command. It is as strict as Microsoft's documentation of the commands: each Required
// parameter with its VARTYPE, one transfer at a time, opened by a command with a data phase and
// closed only by END_DATA_TRANSFER once every byte was read; what Windows would refuse is refused
// and written down in `violations`. Every stand-in counts itself, so a test can tell that all
// were released.
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
    Fail,        // SendCommand returns the HRESULT
    InResults,   // SendCommand succeeds; WPD_PROPERTY_COMMON_HRESULT carries the HRESULT
    Hang,        // waits until cancelled
    Vanish,      // the device-removed event, then this and every later command fail
    Overflow,    // READ_DATA says it read more than asked
    StoreFull,   // WRITE_DATA fails with the HRESULT; the camera answers StoreFull at the end
    CardRemoved, // the card's storage object is removed (an event), then the command is served
    PhotoAdded,  // an object is added to the card (an event), then the command is served
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
    DWORD readChunk = 64 * 1024;   // and for reads
    bool unknownSize = false;      // data-in phases announce 0xFFFFFFFF and end short or empty
    bool omitWriteContext = false; // WITH_DATA_TO_WRITE gives no transfer context (optional)
    bool shortWrites = false;      // WRITE_DATA takes at most half of what it is given
    bool busy = false;             // another program holds the camera
    int hangOpenAt = 0;            // the camera's nth Open waits until the bus settles
    bool plainCamera = false;      // a camera without the MTP extension commands, listed first
    // What the stand-ins saw.
    std::atomic<int> sessionOperations{0}; // OpenSession or CloseSession through SendCommand
    std::atomic<int> openDevices{0};
    std::atomic<int> advised{0};
    std::atomic<int> cameraOpens{0};
    std::wstring clientName;

    // What Windows would have refused, or a sequence its documentation forbids.
    void Violation(const std::string& what);
    std::vector<std::string> violations();
    // Lets a hung Open go and waits until every device object is released.
    void Settle();

    WpdFactory& factory();
    // Makes the stand-ins this process's own COM classes, which CoCreateInstance makes for any
    // caller in the multithreaded apartment (the real library's too), until UnregisterClasses.
    // From a thread in that apartment.
    void RegisterClasses();
    void UnregisterClasses();

    // Used by the stand-in objects.
    HRESULT OpenCamera();
    void CloseCamera();
    ptp::Initiator* camera() { return inner_.get(); }
    void Advise(IPortableDeviceEventCallback* callback);
    void Unadvise();
    // An event as the class driver sends it: a vendor event with its parameters, or a standard
    // one naming an object and its parent.
    void Fire(const GUID& id, const std::vector<uint32_t>& params);
    void FireObject(const GUID& id, const wchar_t* object, const wchar_t* parent);
    HANDLE released() const { return released_; }
    std::atomic<int> liveDevices{0};

  private:
    class Factory;
    std::string card_, profile_;
    std::unique_ptr<Factory> factory_;
    std::unique_ptr<EmbeddedCamera> embedded_;
    std::unique_ptr<ptp::Initiator> inner_;
    std::mutex callbackMutex_;
    ComPtr<IPortableDeviceEventCallback> callback_;
    std::mutex violationsMutex_;
    std::vector<std::string> violations_;
    HANDLE released_;
    std::vector<DWORD> registered_;
};

// The camera's storage as an object of the device.
extern const wchar_t kStorageObject[];

} // namespace wpd_standin
