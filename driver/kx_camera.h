// The driver library's camera object: every interface operation as PTP operations over the
// initiator, to whichever camera the settings' source reaches.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "call_thread.h"
#include "common/handle.h"
#include "common/lock.h"
#include "camera_source.h"
#include "card_cache.h"
#include "driver_interface.h"
#include "ptp/initiator.h"
#include "settings.h"
#include "trace.h"

// What EnumerateDevices writes for each camera; OpenDevice reads it back.
#pragma pack(push, 1)
struct DeviceRecord {
    uint32_t index; // position in the enumeration
    uint32_t route; // how the settings reach cameras: 0 virtual, 1 PTP/IP, 2 USB
    char name[64];  // host or "virtual", terminated
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
    // The object SendObjectInfo made, which SendObject fills and then confirms.
    struct Announced {
        bool valid = false;
        uint32_t handle = 0;
        uint32_t storage = 0;
        uint32_t parent = 0;  // as sent: 0xFFFFFFFF for the root
        std::string name;     // UTF-8: the caller's, the object's once whole and confirmed
        std::string sentAs;   // the name it was announced under: `name`, or a temporary one
        ptp::ObjectInfo info; // as announced, to announce it again under its own name
    };

    // Every operation but the lookups answered from memory: refused from inside the caller's
    // event callback, which runs under the event lock and would wait for itself.
    DriverResult Call(const std::function<DriverResult()>& body) {
        return InCallback() ? kDriverBusy : calls_.Run(body);
    }
    // An operation on the open device, on the call thread: fails at once for another device or
    // a lost connection; any failure forgets the card.
    DriverResult InSession(uint32_t device,
                           const std::function<DriverResult(ptp::Initiator&)>& body);
    void DropDevice();
    // From the caller's thread: ends a call pending on `device` at once.
    void Interrupt(uint32_t device);
    static DWORD WINAPI ShutdownRoutine(LPVOID self);

    // Camera events and losses, on the transport's thread; only the open device's count.
    void OnEvent(const ptp::Initiator* from, const ptp::Event& event);
    void OnLost(const ptp::Initiator* from);
    void Raise(uint32_t code, uint32_t dataWord); // eventMutex_ held
    std::unique_ptr<ptp::Initiator> NewInitiator();

    // The camera's stores, empty slots left out.
    DriverResult ListStores(ptp::Initiator& camera, std::vector<uint32_t>& ids);
    // Asks the camera for the handle list of `key` and keeps it.
    DriverResult ListHandles(ptp::Initiator& camera, const CardCache::ListKey& key,
                             std::vector<uint32_t>& handles);
    // The card's store: the first listed that is not an empty slot.
    DriverResult CardStore(ptp::Initiator& camera, uint32_t& storageId);
    DriverResult FetchEntry(ptp::Initiator& camera, uint32_t handle, ObjectEntryRecord& entry);
    // The entries of a known list walked from `handle` on, through the camera's MTP property
    // lists where it has them. Ok also when it refuses them: entries then come one by one.
    DriverResult FetchListedEntries(ptp::Initiator& camera, uint32_t handle);
    // Opens, sends and confirms the file announced as `sent`, and closes it again.
    // `renameRefused` when the camera refused to give the file its own name.
    DriverResult SendFile(ptp::Initiator& camera, const Announced& sent, uint32_t size,
                          CameraStream* file, bool& renameRefused);
    // After a send: the object is on the card under its name with the right size and, unless
    // the settings say otherwise, its bytes read back equal the file's.
    DriverResult Confirm(ptp::Initiator& camera, const Announced& sent, uint32_t size,
                         CameraStream* file, const std::function<DriverResult(uint64_t)>& progress);
    // Deletes what a failed send may have left on the card.
    void DeleteLeftover(ptp::Initiator& camera, const Announced& sent);
    // SendObjectInfo of `info` into `sent`, the vendor format given up for the standard one
    // where the camera refuses it.
    DriverResult Announce(ptp::Initiator& camera, ptp::ObjectInfo info, Announced& sent);
    // True where a file can go under a temporary name and be renamed once whole: the camera
    // speaks MTP and lists SetObjectPropValue, and has not refused a rename this session.
    bool RenamesObjects() const;
    // Gives a confirmed file its own name and confirms that name; `refused` when the camera
    // answered that it cannot rename.
    DriverResult GiveName(ptp::Initiator& camera, const Announced& sent, uint32_t size,
                          bool& refused);
    // The object's entry names it `name`, where it was sent, with `size` bytes.
    DriverResult ConfirmEntry(ptp::Initiator& camera, const Announced& sent,
                              const std::string& name, uint32_t size);
    // The entry of `handle` as a caller walking a handle list gets it: from memory, from
    // property lists, or fetched with those that follow it.
    DriverResult WalkEntry(ptp::Initiator& camera, uint32_t handle, ObjectEntryRecord& entry);
    // Deletes, at the card's root, the files a send under a temporary name left behind, among
    // `handles` (the list of `key` just read), walking their entries as the caller would next;
    // `handles` then lists what is left. A failure of that walk is the result.
    DriverResult RemoveLeftovers(ptp::Initiator& camera, const CardCache::ListKey& key,
                                 std::vector<uint32_t>& handles);

    const std::string folder_;
    const ptp::Guid guid_; // how this PC introduces itself over PTP/IP
    Trace trace_;
    CallThread calls_; // every call runs there; ~KxCamera frees the state below there too
    DriverSettings settings_;
    std::unique_ptr<CameraSource> source_;     // the last enumeration's
    std::unique_ptr<CameraSource> openSource_; // the one that opened the device
    common::Lock linkLock_;                    // initiator_ as Interrupt sees it
    std::unique_ptr<ptp::Initiator> initiator_;
    ptp::DeviceInfo deviceInfo_;
    std::atomic<uint32_t> device_{0};
    uint32_t nextDevice_ = 1;
    CardCache cache_;
    uint64_t listedGeneration_ = 0; // the cache generation property lists were last asked in
    bool listsRefused_ = false;     // the open camera answered a property list with an error
    bool renameRefused_ = false;    // the open camera refused to rename a file
    bool leftoversLooked_ = false;  // the card's root was searched for leftovers
    Announced announced_;

    common::Lock eventMutex_; // the callback is cleared under it, so none runs after CloseDevice
    const ptp::Initiator* live_ = nullptr; // the initiator whose events count
    CameraEventCallback callback_ = nullptr;
    std::atomic<DWORD> callbackThread_{0}; // the thread inside callback_, if any
    bool InCallback() const { return callbackThread_ == GetCurrentThreadId(); }
    bool poweredDown_ = false;
};
