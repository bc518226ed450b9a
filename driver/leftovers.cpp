// Files sent under a temporary name are renamed once whole and verified; what a failure left
// under such a name is removed the next time the camera is opened.
#include "leftovers.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "codecs.h"
#include "open_camera.h"
#include "ptp/text.h"
#include "result_map.h"
#include "trace.h"

namespace {

const char kPrefix[] = "~kxptpcls-";
const char kSuffix[] = ".tmp";
const size_t kDigits = 8;

std::atomic<uint32_t> nameCount{0};

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

} // namespace

std::string TemporaryName() {
    // Distinct within a run by the count, and between runs by the clock and the process.
    uint32_t mixed = (GetTickCount() ^ (GetCurrentProcessId() << 16)) +
                     (nameCount.fetch_add(1) + 1) * 0x9E3779B9u;
    mixed ^= mixed >> 15;
    char digits[kDigits + 1];
    snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(mixed));
    return kPrefix + std::string(digits) + kSuffix;
}

bool IsTemporaryName(const std::string& name) {
    const std::string prefix = kPrefix, suffix = kSuffix;
    if (name.size() != prefix.size() + kDigits + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(prefix.size() + kDigits, suffix.size(), suffix) != 0)
        return false;
    for (size_t i = prefix.size(); i < prefix.size() + kDigits; ++i) {
        if (!IsHexDigit(name[i]))
            return false;
    }
    return true;
}

DriverResult OpenCamera::RemoveLeftovers(const CardCache::ListKey& key,
                                         std::vector<uint32_t>& handles) {
    // Any camera that can delete: one that cannot rename now (a camera switched from MTP to
    // PTP) may have renamed before.
    if (!Lists(ptp::OC_DeleteObject))
        return kDriverOk;
    uint32_t store = 0;
    DriverResult r = CardStore(store);
    if (r != kDriverOk)
        return r;
    bool removed = false;
    for (uint32_t handle : handles) {
        // The same entries the caller reads next, in the same order; they stay remembered.
        ObjectEntryRecord entry;
        r = Entry(handle, entry);
        if (r != kDriverOk)
            return r;
        if (entry.storageId != store || !ptp::IsRootParent(entry.parentObject) ||
            entry.objectFormat == ptp::OFC_Association || !IsTemporaryName(entry.name))
            continue;
        // What the camera answers changes nothing: the file stays a leftover at worst.
        const ptp::Result result = Delete(handle);
        trace_.Note("leftover " + Quoted(entry.name) + " (object " + TraceHex(handle, 8) +
                    ") deleted: " +
                    (result.status != ptp::Status::Ok ? ptp::StatusName(result.status)
                                                      : TraceHex(result.code, 4)));
        removed = true;
    }
    if (!removed)
        return kDriverOk;
    cache_.ForgetObjects();
    return ListHandles(key, handles);
}
