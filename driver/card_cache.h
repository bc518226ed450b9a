// What the library learned of the card within one open session: storage IDs, object counts and
// handle lists by their parameters, and object entries by handle. Repeated questions are
// answered from here, on the caller's own thread, as the camera answered them; it is forgotten
// whenever the card may have changed. PTP object handles are not reused within a session, so an
// entry known by its handle stays true until something says the card changed.
//
// Written on the call thread, read from any thread: a Win32 SRW lock and nothing of the
// threading runtime.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "common/lock.h"

#include "driver_interface.h"

class CardCache {
  public:
    // GetNumObjects and GetObjectHandles parameters.
    using ListKey = std::tuple<uint32_t, uint32_t, uint32_t>; // storage ID, format, parent

    // Answers belong to `device` from now on; everything known is forgotten.
    void Begin(uint32_t device);
    // Everything known is forgotten, and an answer fetched before this is never stored.
    void Forget();
    // The same for the objects alone: the storage IDs stay (objects sent, deleted, added).
    void ForgetObjects();
    // Taken before asking the camera, handed back with its answer.
    uint64_t Generation() const;

    bool StorageIds(uint32_t device, std::vector<uint32_t>& ids) const;
    bool Count(uint32_t device, const ListKey& key, uint32_t& count) const;
    bool Handles(uint32_t device, const ListKey& key, std::vector<uint32_t>& handles) const;
    bool Entry(uint32_t device, uint32_t handle, ObjectEntryRecord& entry) const;

    void PutStorageIds(uint64_t generation, const std::vector<uint32_t>& ids);
    void PutCount(uint64_t generation, const ListKey& key, uint32_t count);
    void PutHandles(uint64_t generation, const ListKey& key, const std::vector<uint32_t>& handles);
    void PutEntry(uint64_t generation, const ObjectEntryRecord& entry);

    // The parameters of a known list that holds `handle`.
    bool ListOf(uint32_t handle, ListKey& key) const;
    // Up to `most` handles that follow `handle` in a known list and whose entries are not
    // known: the ones a caller walking that list asks for next.
    std::vector<uint32_t> FollowingUnknown(uint32_t handle, size_t most) const;

  private:
    // An entry without its record's empty space: a card of many objects stays small.
    struct Known {
        uint8_t facts[offsetof(ObjectEntryRecord, name)]; // the record up to its name
        std::string name;
    };
    using Lists = std::map<ListKey, std::vector<uint32_t>>;
    // Bounds on what is kept (a few MiB): past them, questions go to the camera.
    enum : size_t { kMaxEntries = 1u << 16, kMaxLists = 16 };

    bool Valid(uint32_t device) const { return device != 0 && device == device_; }
    void DropObjects(); // lock_ held

    mutable common::Lock lock_;
    uint32_t device_ = 0;
    uint64_t generation_ = 1;
    bool haveStorageIds_ = false;
    std::vector<uint32_t> storageIds_;
    std::map<ListKey, uint32_t> counts_;
    Lists handles_;
    std::unordered_map<uint32_t, Known> entries_;
    // Where each handle stands in the lists, for ListOf and FollowingUnknown.
    std::unordered_map<uint32_t, std::pair<Lists::const_iterator, size_t>> places_;
};
