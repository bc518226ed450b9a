// The events of a Windows Portable Device as the session's transport hears them.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "common/lock.h"
#include "ptp/transport.h"
#include "wpd_com.h"

// The events of one device, handed to the session's listener while it is attached, one at a
// time and outside any lock, so the listener may shut the transport down from its call. The API
// may call it on any thread (the object aggregates the free-threaded marshaler) and may hold it
// after the transport is gone, so it owns what it needs.
class WpdEvents final : public IPortableDeviceEventCallback {
  public:
    static ComPtr<WpdEvents> Create() {
        ComPtr<WpdEvents> events = Adopt(new (std::nothrow) WpdEvents);
        if (events)
            CoCreateFreeThreadedMarshaler(static_cast<IUnknown*>(events.Get()),
                                          &events->marshaler_);
        return events;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, __uuidof(IUnknown)) ||
            IsEqualIID(iid, __uuidof(IPortableDeviceEventCallback))) {
            *object = static_cast<IPortableDeviceEventCallback*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(iid, __uuidof(IMarshal)) && marshaler_)
            return marshaler_->QueryInterface(iid, object);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0)
            delete this;
        return refs;
    }

    HRESULT STDMETHODCALLTYPE OnEvent(IPortableDeviceValues* parameters) override {
        try {
            if (parameters)
                Deliver(parameters);
        } catch (...) {
        }
        return S_OK;
    }

    // The device's storage objects, set before events are listened to.
    void KnowStorages(std::vector<std::wstring> ids) { storages_ = std::move(ids); }

    void Listen(ptp::TransportListener& listener) {
        std::lock_guard<common::Lock> hold(lock_);
        listener_ = &listener;
    }
    // No event is handed on once this returns: one being handed on by another thread is waited
    // for (one on this thread is the caller's own).
    void StopListening();
    bool gone() const { return gone_; }

  private:
    WpdEvents() = default;
    ~WpdEvents() = default;

    void Deliver(IPortableDeviceValues* parameters);
    // Gives the listener to `hand`, unless it is gone, with no lock held.
    template <typename Hand> void HandOn(Hand hand);
    // A removed object is a storage when it is one the device listed, or hangs from the device
    // object itself, where only functional objects are.
    bool IsStorage(IPortableDeviceValues* parameters) const;

    LONG refs_ = 1;
    ComPtr<IUnknown> marshaler_;
    common::Lock lock_; // guards listener_ and handing_
    common::Signal handed_;
    ptp::TransportListener* listener_ = nullptr;
    DWORD handing_ = 0; // the thread handing an event on, 0 when none
    std::atomic<bool> gone_{false};
    std::vector<std::wstring> storages_;
};
