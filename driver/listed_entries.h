// Object entries gathered from a camera's MTP property lists (GetObjectPropList), one property
// at a time for many objects: a few transactions in place of a GetObjectInfo per object.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "driver_interface.h"
#include "ptp/datasets.h"

class ListedEntries {
  public:
    void Add(const ptp::ObjectProp& prop);
    // The entry of every object that all properties came for, as its ObjectInfo would fill it.
    void ForEachComplete(const std::function<void(const ObjectEntryRecord&)>& each) const;

  private:
    enum : size_t { kMaxObjects = 1u << 16 }; // as many as the card cache keeps
    struct Listed {
        uint32_t storageId = 0, parent = 0;
        uint64_t size = 0;
        uint16_t format = 0, protection = 0, association = 0;
        uint8_t known = 0; // a bit per property of ptp::kObjectInfoProperties
        std::string name;
    };
    std::unordered_map<uint32_t, Listed> objects_;
};
