// The events of a Windows Portable Device as the session's transport hears them.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ptp/transport.h"
#include "wpd_com.h"

// The events of one device, handed to the session's listener while it is attached. The API may
// call it on any thread (the object aggregates the free-threaded marshaler) and may hold it after
// the transport is gone, so it owns what it needs.
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

    void Listen(ptp::TransportListener* listener) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        listener_ = listener;
    }
    // Waits for an event being delivered; none is delivered afterwards.
    void StopListening() { Listen(nullptr); }
    bool gone() const { return gone_; }

  private:
    WpdEvents() = default;
    ~WpdEvents() = default;

    void Deliver(IPortableDeviceValues* parameters);
    // A removed object is a storage when it is one the device listed, or hangs from the device
    // object itself, where only functional objects are.
    bool IsStorage(IPortableDeviceValues* parameters) const;

    LONG refs_ = 1;
    ComPtr<IUnknown> marshaler_;
    std::recursive_mutex mutex_; // a listener may shut the transport down from its call
    ptp::TransportListener* listener_ = nullptr;
    std::atomic<bool> gone_{false};
    std::vector<std::wstring> storages_;
};
