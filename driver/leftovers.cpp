// Files sent under a temporary name are renamed once whole and verified; what a failure left
// under such a name is removed the next time the camera is opened.
#include "leftovers.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>

#include "codecs.h"
#include "kx_camera.h"
#include "ptp/text.h"

namespace {

const char kPrefix[] = "~kxptpcls-";
const char kSuffix[] = ".tmp";
const size_t kDigits = 8;
// Bound on the list of the root's names: 65,536 names of over 200 characters.
const uint64_t kMaxNameList = 16u << 20;

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
    const std::string lower = ptp::Lower(name);
    if (lower.size() != prefix.size() + kDigits + suffix.size() ||
        lower.compare(0, prefix.size(), prefix) != 0 ||
        lower.compare(prefix.size() + kDigits, suffix.size(), suffix) != 0)
        return false;
    for (size_t i = prefix.size(); i < prefix.size() + kDigits; ++i) {
        if (!IsHexDigit(lower[i]))
            return false;
    }
    return true;
}

void KxCamera::RemoveLeftovers(ptp::Initiator& camera) {
    // Only a camera that renames was ever sent a file under such a name.
    if (!RenamesObjects() || !deviceInfo_.SupportsOperation(ptp::OC_DeleteObject))
        return;
    uint32_t store = 0;
    std::vector<uint32_t> handles;
    if (CardStore(camera, store) != kDriverOk ||
        !camera.GetObjectHandles(store, 0, ptp::kRootParent, handles).ok())
        return;
    // A camera with property lists names the root's objects in one answer; only those named
    // like a leftover are then asked about one by one.
    if (deviceInfo_.SpeaksMtp() && deviceInfo_.SupportsOperation(ptp::OC_MTP_GetObjectPropList)) {
        std::set<uint32_t> named;
        const ptp::Result listed = camera.GetObjectPropList(
            0, 0, ptp::OPC_ObjectFileName, 1, kMaxNameList, [&](const ptp::ObjectProp& prop) {
                if (prop.code == ptp::OPC_ObjectFileName && IsTemporaryName(prop.value.text))
                    named.insert(prop.handle);
                return true;
            });
        if (listed.ok())
            handles.erase(std::remove_if(handles.begin(), handles.end(),
                                         [&](uint32_t h) { return !named.count(h); }),
                          handles.end());
        else if (!camera.connected())
            return;
    }
    bool removed = false;
    for (uint32_t handle : handles) {
        // The entries are kept: the check for the update's names asks for them next.
        const uint64_t generation = cache_.Generation();
        ptp::ObjectInfo info;
        if (!camera.GetObjectInfo(handle, info).ok()) {
            if (!camera.connected())
                break;
            continue;
        }
        ObjectEntryRecord entry;
        FillObjectEntry(handle, info, entry);
        cache_.PutEntry(generation, entry);
        const bool atRoot = info.parentObject == 0 || info.parentObject == ptp::kRootParent;
        if (info.storageId != store || !atRoot || info.objectFormat == ptp::OFC_Association ||
            !IsTemporaryName(info.filename))
            continue;
        camera.DeleteObject(handle);
        removed = true;
    }
    if (removed)
        cache_.ForgetObjects();
}
