// The card cache: every read and write under one SRW lock, answers copied out whole.
#include "card_cache.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <shared_mutex>

void CardCache::Begin(uint32_t device) {
    Forget();
    std::lock_guard<common::Lock> held(lock_);
    device_ = device;
}

void CardCache::Forget() {
    std::lock_guard<common::Lock> held(lock_);
    haveStorageIds_ = false;
    storageIds_.clear();
    DropObjects();
}

void CardCache::ForgetObjects() {
    std::lock_guard<common::Lock> held(lock_);
    DropObjects();
}

void CardCache::DropObjects() {
    ++generation_;
    counts_.clear();
    handles_.clear();
    entries_.clear();
    places_.clear();
}

uint64_t CardCache::Generation() const {
    std::shared_lock<common::Lock> held(lock_);
    return generation_;
}

bool CardCache::StorageIds(uint32_t device, std::vector<uint32_t>& ids) const {
    std::shared_lock<common::Lock> held(lock_);
    if (!Valid(device) || !haveStorageIds_)
        return false;
    ids = storageIds_;
    return true;
}

bool CardCache::Count(uint32_t device, const ListKey& key, uint32_t& count) const {
    std::shared_lock<common::Lock> held(lock_);
    auto found = counts_.find(key);
    if (!Valid(device) || found == counts_.end())
        return false;
    count = found->second;
    return true;
}

bool CardCache::Handles(uint32_t device, const ListKey& key, std::vector<uint32_t>& handles) const {
    std::shared_lock<common::Lock> held(lock_);
    auto found = handles_.find(key);
    if (!Valid(device) || found == handles_.end())
        return false;
    handles = found->second;
    return true;
}

bool CardCache::Entry(uint32_t device, uint32_t handle, ObjectEntryRecord& entry) const {
    std::shared_lock<common::Lock> held(lock_);
    auto found = entries_.find(handle);
    if (!Valid(device) || found == entries_.end())
        return false;
    const Known& known = found->second;
    memset(&entry, 0, sizeof entry);
    memcpy(&entry, known.facts, sizeof known.facts);
    memcpy(entry.name, known.name.c_str(), known.name.size() + 1);
    return true;
}

void CardCache::PutStorageIds(uint64_t generation, const std::vector<uint32_t>& ids) {
    std::lock_guard<common::Lock> held(lock_);
    if (generation != generation_)
        return;
    storageIds_ = ids;
    haveStorageIds_ = true;
}

void CardCache::PutCount(uint64_t generation, const ListKey& key, uint32_t count) {
    std::lock_guard<common::Lock> held(lock_);
    if (generation == generation_ && counts_.size() < kMaxLists)
        counts_[key] = count;
}

void CardCache::PutHandles(uint64_t generation, const ListKey& key,
                           const std::vector<uint32_t>& handles) {
    std::lock_guard<common::Lock> held(lock_);
    if (generation != generation_ || (handles_.size() >= kMaxLists && !handles_.count(key)))
        return;
    const Lists::iterator list = handles_.emplace(key, std::vector<uint32_t>()).first;
    for (auto place = places_.begin(); place != places_.end();)
        place = place->second.first == list ? places_.erase(place) : std::next(place);
    list->second = handles;
    for (size_t i = 0; i < handles.size() && places_.size() < kMaxEntries; ++i)
        places_[handles[i]] = {list, i};
}

void CardCache::PutEntry(uint64_t generation, const ObjectEntryRecord& entry) {
    std::lock_guard<common::Lock> held(lock_);
    if (generation != generation_ || entries_.size() >= kMaxEntries)
        return;
    Known& known = entries_[entry.handle];
    memcpy(known.facts, &entry, sizeof known.facts);
    known.name.assign(entry.name, strnlen(entry.name, sizeof entry.name - 1));
}

bool CardCache::ListOf(uint32_t handle, ListKey& key) const {
    std::shared_lock<common::Lock> held(lock_);
    auto place = places_.find(handle);
    if (place == places_.end())
        return false;
    key = place->second.first->first;
    return true;
}

std::vector<uint32_t> CardCache::FollowingUnknown(uint32_t handle, size_t most) const {
    std::shared_lock<common::Lock> held(lock_);
    std::vector<uint32_t> next;
    auto place = places_.find(handle);
    if (place == places_.end() || entries_.size() >= kMaxEntries)
        return next; // entries that could not be kept are not fetched ahead
    most = std::min(most, kMaxEntries - entries_.size());
    const std::vector<uint32_t>& list = place->second.first->second;
    for (size_t i = place->second.second + 1; i < list.size() && next.size() < most; ++i) {
        if (!entries_.count(list[i]))
            next.push_back(list[i]);
    }
    return next;
}
