// What the USB (Windows Portable Devices) code shares: the seam through which it creates COM
// objects, the COM apartment of the thread it runs on, and what a failed HRESULT means for the
// session above.
#pragma once

#include <wrl/client.h>

#include <string>

#include "ptp/status.h"
#include "ptp/transport.h"
#include "wpd_api.h"

template <typename T> using ComPtr = Microsoft::WRL::ComPtr<T>;

// Holds a reference the caller already owns, such as a new object's first. (mingw-w64's
// ComPtr::Attach adds a reference of its own, unlike Microsoft's.)
template <typename T> ComPtr<T> Adopt(T* object) {
    ComPtr<T> held;
    *held.ReleaseAndGetAddressOf() = object;
    return held;
}

// Creates the WPD objects (the device manager, devices, value and collection objects): the
// system's classes, or a test's stand-ins.
class WpdFactory {
  public:
    virtual ~WpdFactory() = default;
    virtual HRESULT CreateObject(REFCLSID clsid, REFIID iid, void** object) = 0;

    template <typename T> HRESULT Make(REFCLSID clsid, ComPtr<T>& object) {
        return CreateObject(clsid, __uuidof(T),
                            reinterpret_cast<void**>(object.ReleaseAndGetAddressOf()));
    }
};

// CoCreateInstance of the registered in-process classes.
WpdFactory& SystemWpdFactory();

// Joins the calling thread to the multithreaded apartment for the holder's lifetime. The holder
// is made and destroyed on the same thread: the driver library's call thread.
class ComApartment {
  public:
    ComApartment() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComApartment() {
        if (joined_)
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    const bool joined_;
};

// A failed HRESULT as the session sees it: the device gone (Closed), busy with another program
// (Refused), not answering (Timeout), or any other failure (Error).
ptp::Status StatusOfHresult(HRESULT hr);

// A string value the device handed over, freed with CoTaskMemFree; empty when absent.
std::wstring TakeString(IPortableDeviceValues* values, const PROPERTYKEY& key);
// Up to five VT_UI4 values, as PTP parameters; false for anything else.
bool ReadParams(IPortableDevicePropVariantCollection* values, ptp::Params& params);
std::string Utf8Of(const std::wstring& text);

// Makes a device object and opens it with our client information. IPortableDevice::Open has no
// bound of its own: one that takes longer than `timeoutMs` is left to finish on its own thread,
// which then closes the device and keeps the library loaded until it ends, and the wait ends
// with the semaphore-timeout HRESULT.
HRESULT OpenPortableDevice(WpdFactory& factory, const std::wstring& pnpDeviceId,
                           ComPtr<IPortableDevice>& device, int timeoutMs);
