// The one open camera: its PTP session, what it said of itself, what the library learned of its
// card and what a send announced. OpenDevice makes it and CloseDevice ends it, so nothing of
// one camera outlives it. Everything runs on the library's call thread but the card's lookups
// (cache()) and the events (OnEvent, OnLost), which run on the thread that reports them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera_source.h"
#include "card_cache.h"
#include "common/lock.h"
#include "driver_interface.h"
#include "ptp/initiator.h"
#include "settings.h"
#include "trace.h"

// A driver event for the caller's callback; code 0: none.
struct RaisedEvent {
    uint32_t code = 0;
    uint32_t dataWord = 0;
};

class OpenCamera {
  public:
    // Takes the source that connected `initiator`; the session is not yet open.
    OpenCamera(const DriverSettings& settings, Trace& trace, uint32_t device,
               std::unique_ptr<CameraSource> source, std::unique_ptr<ptp::Initiator> initiator);
    // Ends the session and lets go of the link and the source.
    ~OpenCamera();
    OpenCamera(const OpenCamera&) = delete;
    OpenCamera& operator=(const OpenCamera&) = delete;

    // Opens the session and reads what the camera says of itself.
    DriverResult Begin();
    // After a failed operation: the card is forgotten, and the events the camera sent before
    // the failure reach the callback first.
    void Failed(DriverResult result);

    uint32_t device() const { return device_; }
    ptp::Initiator& initiator() { return *initiator_; }
    // The card's answers as the camera gave them; from any thread.
    const CardCache& cache() const { return cache_; }

    // What the camera's events mean for the card and for the caller.
    RaisedEvent OnEvent(const ptp::Event& event);
    RaisedEvent OnLost();

    // The interface's questions about the card, asked of the camera and remembered.
    DriverResult StorageIds(std::vector<uint32_t>& ids);
    DriverResult StorageInfo(uint32_t storageId, StorageRecord& record);
    DriverResult NumObjects(const CardCache::ListKey& key, uint32_t& count);
    DriverResult Handles(const CardCache::ListKey& key, std::vector<uint32_t>& handles);
    DriverResult Entry(uint32_t handle, ObjectEntryRecord& entry);
    DriverResult Property(uint32_t propCode, void* value);

    // A file: announced, then its bytes sent from the caller's stream, confirmed where it
    // belongs and read back; what a failed send left is deleted.
    // `values`: the object's storage, parent and handle.
    DriverResult Announce(uint32_t storageId, uint32_t parent, const ObjectInfoRecord* record,
                          uint32_t values[3]);
    DriverResult Send(uint32_t size, CameraStream* file);

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

    // The camera's stores, empty slots left out.
    DriverResult ListStores(std::vector<uint32_t>& ids);
    // Asks the camera for the handle list of `key` and keeps it.
    DriverResult ListHandles(const CardCache::ListKey& key, std::vector<uint32_t>& handles);
    // The objects at a store's root, for a camera that refuses the root as a parent filter.
    DriverResult ListRoot(const CardCache::ListKey& key, std::vector<uint32_t>& handles);
    // The card's store: the first listed that is not an empty slot.
    DriverResult CardStore(uint32_t& storageId);
    DriverResult FetchEntry(uint32_t handle, ObjectEntryRecord& entry);
    // The entries of a known list walked from `handle` on, through the camera's MTP property
    // lists where it has them. Ok also when it refuses them: entries then come one by one.
    DriverResult FetchListedEntries(uint32_t handle);
    // Deletes, at the card's root, the files a send under a temporary name left behind, among
    // `handles` (the list of `key` just read), walking their entries as the caller would next;
    // `handles` then lists what is left. A failure of that walk is the result.
    DriverResult RemoveLeftovers(const CardCache::ListKey& key, std::vector<uint32_t>& handles);

    // True unless the camera lists its operations without this one.
    bool Lists(uint16_t operation) const;

    // SendObjectInfo of `info` into `sent`, the vendor format given up for the standard one
    // where the camera refuses it.
    DriverResult AnnounceInfo(ptp::ObjectInfo info, Announced& sent);
    // True where a file can go under a temporary name and be renamed once whole: the camera
    // speaks MTP and lists SetObjectPropValue, and has not refused a rename this session.
    bool RenamesObjects() const;
    // Opens, sends and confirms the file announced as `sent`, and closes it again: the object
    // is on the card under its name where it was sent with the right size and, unless the
    // settings say otherwise, its bytes read back equal the file's. `renameRefused` when the
    // camera refused to give the file its own name.
    DriverResult SendFile(Announced& sent, uint32_t size, CameraStream* file, bool& renameRefused);
    // Why `info` is not the object sent as `name` with `size` bytes where it was sent, or "".
    static std::string Misplaced(const Announced& sent, const ptp::ObjectInfo& info,
                                 const std::string& name, uint32_t size);
    // The object's entry names it `name`, where it was sent, with `size` bytes; a renamed
    // file whose old handle is gone is found by its name, and `sent` names its new handle.
    DriverResult ConfirmEntry(Announced& sent, const std::string& name, uint32_t size);
    // The object's bytes, read back, are the file's.
    DriverResult ReadBack(const Announced& sent, uint32_t size, CameraStream* file,
                          const std::function<DriverResult(uint64_t)>& progress);
    // Gives a verified file its own name and confirms that name; `refused` when the camera
    // answered that it cannot rename.
    DriverResult GiveName(Announced& sent, uint32_t size, bool& refused);
    // The handle of the object named `name` on `store`: among the objects the camera said it
    // added, then at the store's root; kDriverVerifyFailed when there is none.
    DriverResult FindByName(uint32_t store, const std::string& name, uint32_t& handle);
    // DeleteObject, DeviceBusy ridden out longer than an operation rides it out.
    ptp::Result Delete(uint32_t handle);
    // Deletes what a failed send left on the card while the camera is there: a session out of
    // step is brought back first, and a refusal asked again once the camera has settled.
    void Clean(Announced& sent);
    // After a new session: `sent` names the object sent, found by its name where the handle
    // does not; false when it is not there.
    bool Relocate(Announced& sent);

    const DriverSettings settings_; // as when it opened: a new enumeration changes nothing here
    Trace& trace_;
    const uint32_t device_;
    std::unique_ptr<CameraSource> source_;      // the one that connected the camera
    std::unique_ptr<ptp::Initiator> initiator_; // gone before the source
    ptp::DeviceInfo deviceInfo_;
    CardCache cache_;
    uint64_t listedGeneration_ = 0; // the cache generation property lists were last asked in
    bool listsRefused_ = false;     // the camera answered a property list with an error
    bool renameRefused_ = false;    // the camera refused to rename a file
    bool leftoversLooked_ = false;  // the card's root was searched for leftovers
    bool countsRefused_ = false;    // the camera refused GetNumObjects: lists are counted
    Announced announced_;
    common::Lock addedLock_;
    std::vector<uint32_t> added_;          // objects the camera said it added since a rename
    std::atomic<bool> poweredDown_{false}; // it said it powers down: its loss is no news
};
