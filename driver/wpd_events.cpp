// Windows Portable Devices events back into PTP events: vendor events carry the camera's own
// code and parameters, standard ones are named by GUID.
#include "wpd_events.h"

#include "ptp/codes.h"

using namespace wpd;

namespace {

// The PTP event code of a vendor-extended event GUID, or 0 for any other GUID.
uint16_t VendorEventCode(const GUID& id) {
    GUID base = id;
    base.Data1 &= 0x0000FFFF;
    return IsEqualGUID(base, WPD_EVENT_MTP_VENDOR_EXTENDED_EVENTS)
               ? static_cast<uint16_t>(id.Data1 >> 16)
               : 0;
}

// The class driver turns the camera's standard PTP events into these; each goes back to the
// PTP event that says the same to the session (an object removal may be a storage's).
struct StandardEvent {
    const GUID* id;
    uint16_t code;
};
const StandardEvent kStandardEvents[] = {
    {&WPD_EVENT_OBJECT_ADDED, ptp::EC_ObjectAdded},
    {&WPD_EVENT_OBJECT_REMOVED, ptp::EC_ObjectRemoved},
    {&WPD_EVENT_OBJECT_UPDATED, ptp::EC_ObjectInfoChanged},
    {&WPD_EVENT_STORAGE_FORMAT, ptp::EC_StorageInfoChanged},
    {&WPD_EVENT_DEVICE_CAPABILITIES_UPDATED, ptp::EC_DeviceInfoChanged},
};

} // namespace

void WpdEvents::Deliver(IPortableDeviceValues* parameters) {
    GUID id;
    if (FAILED(parameters->GetGuidValue(WPD_EVENT_PARAMETER_EVENT_ID, &id)))
        return;
    // Reset: clients are to close their connections, as on removal.
    if (IsEqualGUID(id, WPD_EVENT_DEVICE_REMOVED) || IsEqualGUID(id, WPD_EVENT_DEVICE_RESET)) {
        gone_ = true;
        HandOn([](ptp::TransportListener& listener) {
            listener.OnLost(ptp::Link::Command, ptp::Status::Closed);
        });
        return;
    }
    ptp::Event event;
    event.code = VendorEventCode(id);
    if (event.code != 0) {
        ComPtr<IPortableDevicePropVariantCollection> params;
        if (FAILED(parameters->GetIPortableDevicePropVariantCollectionValue(
                WPD_PROPERTY_MTP_EXT_EVENT_PARAMS, &params)) ||
            !params || !ReadParams(params.Get(), event.params))
            return;
    } else {
        for (const StandardEvent& standard : kStandardEvents) {
            if (IsEqualGUID(id, *standard.id))
                event.code = standard.code;
        }
        if (event.code == ptp::EC_ObjectRemoved && IsStorage(parameters))
            event.code = ptp::EC_StoreRemoved;
        // The object is named in WPD terms only: no parameters.
    }
    if (event.code != 0)
        HandOn([&event](ptp::TransportListener& listener) { listener.OnEvent(event); });
}

template <typename Hand> void WpdEvents::HandOn(Hand hand) {
    const DWORD self = GetCurrentThreadId();
    ptp::TransportListener* listener = nullptr;
    bool nested = false; // an event the listener's own call brought about
    {
        std::unique_lock<common::Lock> hold(lock_);
        nested = handing_ == self;
        if (!nested)
            handed_.WaitFor(lock_, common::kForever,
                            [this] { return handing_ == 0 || !listener_; });
        listener = listener_;
        if (!listener)
            return;
        if (!nested)
            handing_ = self;
    }
    struct Handed {
        WpdEvents& events;
        bool nested;
        ~Handed() {
            if (nested)
                return;
            {
                std::lock_guard<common::Lock> hold(events.lock_);
                events.handing_ = 0;
            }
            events.handed_.WakeAll();
        }
    } handed{*this, nested};
    hand(*listener);
}

void WpdEvents::StopListening() {
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<common::Lock> hold(lock_);
    listener_ = nullptr;
    handed_.WakeAll(); // those waiting for their turn hand nothing on now
    handed_.WaitFor(lock_, common::kForever, [&] { return handing_ == 0 || handing_ == self; });
}

bool WpdEvents::IsStorage(IPortableDeviceValues* parameters) const {
    const std::wstring object = TakeString(parameters, WPD_OBJECT_ID);
    const std::wstring unique = TakeString(parameters, WPD_OBJECT_PERSISTENT_UNIQUE_ID);
    for (const std::wstring& storage : storages_) {
        if (storage == object || storage == unique)
            return true;
    }
    return TakeString(parameters, WPD_OBJECT_PARENT_ID) == WPD_DEVICE_OBJECT_ID;
}
