#include "listed_entries.h"

#include <iterator>

#include "codecs.h"
#include "ptp/codes.h"

using namespace ptp;

namespace {
const size_t kCount = std::size(kObjectInfoProperties);
} // namespace

void ListedEntries::Add(const ObjectProp& prop) {
    size_t i = 0;
    while (i < kCount && kObjectInfoProperties[i].code != prop.code)
        ++i;
    // A property in another type than MTP gives it is not taken: that object's entry is then
    // asked for the usual way.
    if (i == kCount || prop.value.dataType != kObjectInfoProperties[i].dataType)
        return;
    if (objects_.size() >= kMaxObjects && !objects_.count(prop.handle))
        return;
    const uint64_t v = prop.value.integer;
    Listed& o = objects_[prop.handle];
    switch (prop.code) {
    case OPC_StorageID:
        o.storageId = static_cast<uint32_t>(v);
        break;
    case OPC_ObjectFormat:
        o.format = static_cast<uint16_t>(v);
        break;
    case OPC_ProtectionStatus:
        o.protection = static_cast<uint16_t>(v);
        break;
    case OPC_ObjectSize:
        o.size = v;
        break;
    case OPC_AssociationType:
        o.association = static_cast<uint16_t>(v);
        break;
    case OPC_ObjectFileName:
        o.name = prop.value.text;
        break;
    default: // OPC_ParentObject
        o.parent = static_cast<uint32_t>(v);
        break;
    }
    o.known |= static_cast<uint8_t>(1u << i);
}

void ListedEntries::ForEachComplete(
    const std::function<void(const ObjectEntryRecord&)>& each) const {
    const uint8_t all = (1u << kCount) - 1;
    for (const auto& object : objects_) {
        const Listed& o = object.second;
        if (o.known != all)
            continue;
        ObjectInfo info;
        info.storageId = o.storageId;
        info.objectFormat = o.format;
        info.protectionStatus = o.protection;
        info.objectCompressedSize =
            o.size >= kSizeUnknown32 ? uint32_t(kSizeUnknown32) : uint32_t(o.size);
        info.associationType = o.association;
        info.parentObject = o.parent;
        info.filename = o.name;
        ObjectEntryRecord entry;
        FillObjectEntry(object.first, info, entry);
        each(entry);
    }
}
