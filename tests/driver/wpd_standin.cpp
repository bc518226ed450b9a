// The stand-in objects and the bus they share. Values hold PROPVARIANTs copied with the system's
// PropVariantCopy, as the real objects do; methods the code under test never calls say so.
#include "wpd_standin.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "ptp/codes.h"

using namespace wpd;

namespace wpd_standin {

std::atomic<int> liveObjects{0};

namespace {

// Longer than a device record's 64-byte name, as real PnP device IDs are.
const wchar_t kCameraId[] =
    L"\\\\?\\usb#vid_1a2b&pid_0c01#tx1-00000001#{6ac27878-a6fa-4155-ba85-f98f491d4f33}";
const wchar_t kPhoneId[] =
    L"\\\\?\\usb#vid_3c4d&pid_0e02#pocket-phone#{6ac27878-a6fa-4155-ba85-f98f491d4f33}";

#define NOT_CALLED(method, ...)                                                                    \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override {                                       \
        return E_NOTIMPL;                                                                          \
    }

// Reference counting and QueryInterface for one object behind several interfaces.
template <typename First, typename... Rest> class StandIn : public First, public Rest... {
  public:
    StandIn() { ++liveObjects; }
    virtual ~StandIn() { --liveObjects; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(First))
                      ? static_cast<First*>(this)
                      : nullptr;
        ((*object =
              !*object && IsEqualIID(iid, __uuidof(Rest)) ? static_cast<Rest*>(this) : *object),
         ...);
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = --refs_;
        if (refs == 0)
            delete this;
        return refs;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

// Hands a new stand-in over as `iid`.
template <typename T> HRESULT Hand(T* object, REFIID iid, void** out) {
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

LPWSTR Dup(const wchar_t* text) {
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    return static_cast<LPWSTR>(memcpy(CoTaskMemAlloc(bytes), text, bytes));
}

class Collection final : public StandIn<IPortableDevicePropVariantCollection> {
  public:
    ~Collection() override { Clear(); }
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        *count = static_cast<DWORD>(items_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPVARIANT* value) override {
        return index < items_.size() ? PropVariantCopy(value, &items_[index]) : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Add(const PROPVARIANT* value) override {
        items_.emplace_back();
        return PropVariantCopy(&items_.back(), value);
    }
    NOT_CALLED(GetType, VARTYPE*)
    NOT_CALLED(ChangeType, VARTYPE)
    NOT_CALLED(RemoveAt, DWORD)
    HRESULT STDMETHODCALLTYPE Clear() override {
        for (PROPVARIANT& item : items_)
            PropVariantClear(&item);
        items_.clear();
        return S_OK;
    }

  private:
    std::vector<PROPVARIANT> items_;
};

// VT_UI4 values, as the class driver gives parameters.
ComPtr<Collection> ListOf(const std::vector<uint32_t>& params) {
    ComPtr<Collection> list = Adopt(new Collection);
    for (uint32_t param : params) {
        PROPVARIANT value;
        PropVariantInit(&value);
        value.vt = VT_UI4;
        value.ulVal = param;
        list->Add(&value);
    }
    return list;
}

class Keys final : public StandIn<IPortableDeviceKeyCollection> {
  public:
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        *count = static_cast<DWORD>(keys_.size());
        return S_OK;
    }
    NOT_CALLED(GetAt, DWORD, PROPERTYKEY*)
    HRESULT STDMETHODCALLTYPE Add(REFPROPERTYKEY key) override {
        keys_.push_back(key);
        return S_OK;
    }
    NOT_CALLED(Clear)
    NOT_CALLED(RemoveAt, DWORD)

  private:
    std::vector<PROPERTYKEY> keys_;
};

class Values final : public StandIn<IPortableDeviceValues> {
  public:
    ~Values() override { Clear(); }

    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, const PROPVARIANT* value) override {
        auto item = std::find_if(items_.begin(), items_.end(),
                                 [&](const Item& i) { return IsEqualPropertyKey(i.first, key); });
        if (item == items_.end())
            item = items_.insert(item, Item(key, PROPVARIANT()));
        PropVariantClear(&item->second);
        return PropVariantCopy(&item->second, value);
    }
    HRESULT STDMETHODCALLTYPE SetStringValue(REFPROPERTYKEY key, LPCWSTR value) override {
        return Put(key, VT_LPWSTR, [&](PROPVARIANT& v) { v.pwszVal = const_cast<LPWSTR>(value); });
    }
    HRESULT STDMETHODCALLTYPE GetStringValue(REFPROPERTYKEY key, LPWSTR* value) override {
        return Take(key, VT_LPWSTR, [&](const PROPVARIANT& v) { *value = Dup(v.pwszVal); });
    }
    HRESULT STDMETHODCALLTYPE SetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG value) override {
        return Put(key, VT_UI4, [&](PROPVARIANT& v) { v.ulVal = value; });
    }
    HRESULT STDMETHODCALLTYPE GetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG* value) override {
        return Take(key, VT_UI4, [&](const PROPVARIANT& v) { *value = v.ulVal; });
    }
    HRESULT STDMETHODCALLTYPE SetUnsignedLargeIntegerValue(REFPROPERTYKEY key,
                                                           ULONGLONG value) override {
        return Put(key, VT_UI8, [&](PROPVARIANT& v) { v.uhVal.QuadPart = value; });
    }
    HRESULT STDMETHODCALLTYPE GetUnsignedLargeIntegerValue(REFPROPERTYKEY key,
                                                           ULONGLONG* value) override {
        return Take(key, VT_UI8, [&](const PROPVARIANT& v) { *value = v.uhVal.QuadPart; });
    }
    HRESULT STDMETHODCALLTYPE SetErrorValue(REFPROPERTYKEY key, HRESULT value) override {
        return Put(key, VT_ERROR, [&](PROPVARIANT& v) { v.scode = value; });
    }
    HRESULT STDMETHODCALLTYPE GetErrorValue(REFPROPERTYKEY key, HRESULT* value) override {
        return Take(key, VT_ERROR, [&](const PROPVARIANT& v) { *value = v.scode; });
    }
    HRESULT STDMETHODCALLTYPE SetGuidValue(REFPROPERTYKEY key, REFGUID value) override {
        return Put(key, VT_CLSID, [&](PROPVARIANT& v) { v.puuid = const_cast<GUID*>(&value); });
    }
    HRESULT STDMETHODCALLTYPE GetGuidValue(REFPROPERTYKEY key, GUID* value) override {
        return Take(key, VT_CLSID, [&](const PROPVARIANT& v) { *value = *v.puuid; });
    }
    HRESULT STDMETHODCALLTYPE SetBufferValue(REFPROPERTYKEY key, BYTE* value, DWORD size) override {
        return Put(key, VT_VECTOR | VT_UI1, [&](PROPVARIANT& v) {
            v.caub.cElems = size;
            v.caub.pElems = value;
        });
    }
    HRESULT STDMETHODCALLTYPE GetBufferValue(REFPROPERTYKEY key, BYTE** value,
                                             DWORD* size) override {
        return Take(key, VT_VECTOR | VT_UI1, [&](const PROPVARIANT& v) {
            *size = v.caub.cElems;
            *value = static_cast<BYTE*>(CoTaskMemAlloc(v.caub.cElems + 1));
            memcpy(*value, v.caub.pElems, v.caub.cElems);
        });
    }
    HRESULT STDMETHODCALLTYPE SetIPortableDevicePropVariantCollectionValue(
        REFPROPERTYKEY key, IPortableDevicePropVariantCollection* value) override {
        return Put(key, VT_UNKNOWN, [&](PROPVARIANT& v) { v.punkVal = value; });
    }
    HRESULT STDMETHODCALLTYPE GetIPortableDevicePropVariantCollectionValue(
        REFPROPERTYKEY key, IPortableDevicePropVariantCollection** value) override {
        return Take(key, VT_UNKNOWN, [&](const PROPVARIANT& v) {
            v.punkVal->QueryInterface(__uuidof(IPortableDevicePropVariantCollection),
                                      reinterpret_cast<void**>(value));
        });
    }
    NOT_CALLED(GetCount, DWORD*)
    NOT_CALLED(GetAt, DWORD, PROPERTYKEY*, PROPVARIANT*)
    NOT_CALLED(GetValue, REFPROPERTYKEY, PROPVARIANT*)
    NOT_CALLED(SetSignedIntegerValue, REFPROPERTYKEY, LONG)
    NOT_CALLED(GetSignedIntegerValue, REFPROPERTYKEY, LONG*)
    NOT_CALLED(SetSignedLargeIntegerValue, REFPROPERTYKEY, LONGLONG)
    NOT_CALLED(GetSignedLargeIntegerValue, REFPROPERTYKEY, LONGLONG*)
    NOT_CALLED(SetFloatValue, REFPROPERTYKEY, FLOAT)
    NOT_CALLED(GetFloatValue, REFPROPERTYKEY, FLOAT*)
    NOT_CALLED(SetKeyValue, REFPROPERTYKEY, REFPROPERTYKEY)
    NOT_CALLED(GetKeyValue, REFPROPERTYKEY, PROPERTYKEY*)
    NOT_CALLED(SetBoolValue, REFPROPERTYKEY, WINBOOL)
    NOT_CALLED(GetBoolValue, REFPROPERTYKEY, WINBOOL*)
    NOT_CALLED(SetIUnknownValue, REFPROPERTYKEY, IUnknown*)
    NOT_CALLED(GetIUnknownValue, REFPROPERTYKEY, IUnknown**)
    NOT_CALLED(SetIPortableDeviceValuesValue, REFPROPERTYKEY, IPortableDeviceValues*)
    NOT_CALLED(GetIPortableDeviceValuesValue, REFPROPERTYKEY, IPortableDeviceValues**)
    NOT_CALLED(SetIPortableDeviceKeyCollectionValue, REFPROPERTYKEY, IPortableDeviceKeyCollection*)
    NOT_CALLED(GetIPortableDeviceKeyCollectionValue, REFPROPERTYKEY, IPortableDeviceKeyCollection**)
    NOT_CALLED(SetIPortableDeviceValuesCollectionValue, REFPROPERTYKEY,
               IPortableDeviceValuesCollection*)
    NOT_CALLED(GetIPortableDeviceValuesCollectionValue, REFPROPERTYKEY,
               IPortableDeviceValuesCollection**)
    NOT_CALLED(RemoveValue, REFPROPERTYKEY)
    NOT_CALLED(CopyValuesFromPropertyStore, IPropertyStore*)
    NOT_CALLED(CopyValuesToPropertyStore, IPropertyStore*)
    HRESULT STDMETHODCALLTYPE Clear() override {
        for (Item& item : items_)
            PropVariantClear(&item.second);
        items_.clear();
        return S_OK;
    }

  private:
    using Item = std::pair<PROPERTYKEY, PROPVARIANT>;

    template <typename Fill> HRESULT Put(REFPROPERTYKEY key, VARTYPE type, Fill fill) {
        PROPVARIANT value;
        PropVariantInit(&value);
        value.vt = type;
        fill(value);
        return SetValue(key, &value); // copies
    }
    template <typename Read> HRESULT Take(REFPROPERTYKEY key, VARTYPE type, Read read) {
        for (const Item& item : items_) {
            if (IsEqualPropertyKey(item.first, key) && item.second.vt == type)
                return read(item.second), S_OK;
        }
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }

    std::vector<Item> items_;
};

class Manager final : public StandIn<IPortableDeviceManager> {
  public:
    HRESULT STDMETHODCALLTYPE GetDevices(LPWSTR* ids, DWORD* count) override {
        const wchar_t* attached[] = {kPhoneId, kCameraId};
        const DWORD n = ids ? std::min<DWORD>(*count, 2) : 2;
        for (DWORD i = 0; ids && i < n; ++i)
            ids[i] = Dup(attached[i]);
        *count = n;
        return S_OK;
    }
};

// A phone or the camera: the device, its content and its properties in one object.
class Device final
    : public StandIn<IPortableDevice, IPortableDeviceContent, IPortableDeviceProperties> {
  public:
    explicit Device(Bus& bus) : bus_(bus), cancel_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~Device() override {
        Close();
        CloseHandle(cancel_);
    }

    HRESULT STDMETHODCALLTYPE Open(LPCWSTR id, IPortableDeviceValues* client) override {
        bus_.clientName = TakeString(client, WPD_CLIENT_NAME);
        camera_ = wcscmp(id, kCameraId) == 0;
        if (open_ || (!camera_ && wcscmp(id, kPhoneId) != 0))
            return E_INVALIDARG;
        const HRESULT hr = camera_ ? bus_.OpenCamera() : S_OK;
        open_ = SUCCEEDED(hr);
        bus_.openDevices += open_ ? 1 : 0;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SendCommand(DWORD, IPortableDeviceValues* in,
                                          IPortableDeviceValues** results) override {
        GUID category{};
        ULONG command = 0;
        if (!open_ || !camera_ ||
            FAILED(in->GetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, &category)) ||
            !IsEqualGUID(category, WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS) ||
            FAILED(in->GetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, &command)))
            return E_INVALIDARG;
        if (vanished_)
            return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        const FaultPlan& plan = bus_.plan;
        const Fault fault = plan.command == command && ++arrivals_[command % 32] == plan.occurrence
                                ? plan.fault
                                : Fault::None;
        ComPtr<Values> out = Adopt(new Values);
        HRESULT hr = S_OK;
        switch (fault) {
        case Fault::Fail:
            hr = plan.hr;
            break;
        case Fault::InResults:
            out->SetErrorValue(WPD_PROPERTY_COMMON_HRESULT, plan.hr);
            break;
        case Fault::Hang:
            WaitForSingleObject(cancel_, 60000);
            hr = HRESULT_FROM_WIN32(ERROR_CANCELLED);
            break;
        case Fault::Vanish: // the API reports it on a thread of its own
            vanished_ = true;
            std::thread([this] { bus_.Fire(WPD_EVENT_DEVICE_REMOVED, {}); }).join();
            hr = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
            break;
        default:
            hr = Serve(command, in, out.Get(), fault == Fault::Overflow);
        }
        if (SUCCEEDED(hr))
            *results = out.Detach();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Content(IPortableDeviceContent** content) override {
        return QueryInterface(__uuidof(IPortableDeviceContent), reinterpret_cast<void**>(content));
    }
    NOT_CALLED(Capabilities, IPortableDeviceCapabilities**)
    HRESULT STDMETHODCALLTYPE Cancel() override { return SetEvent(cancel_), S_OK; }
    HRESULT STDMETHODCALLTYPE Close() override {
        if (open_ && camera_)
            bus_.CloseCamera();
        bus_.openDevices -= open_ ? 1 : 0;
        open_ = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(DWORD, IPortableDeviceEventCallback* callback,
                                     IPortableDeviceValues*, LPWSTR* cookie) override {
        bus_.Advise(callback);
        *cookie = Dup(L"events");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(LPCWSTR cookie) override {
        return wcscmp(cookie, L"events") == 0 ? bus_.Unadvise(), S_OK : E_INVALIDARG;
    }

    // IPortableDeviceContent and IPortableDeviceProperties
    NOT_CALLED(EnumObjects, DWORD, LPCWSTR, IPortableDeviceValues*, IEnumPortableDeviceObjectIDs**)
    HRESULT STDMETHODCALLTYPE Properties(IPortableDeviceProperties** properties) override {
        return QueryInterface(__uuidof(IPortableDeviceProperties),
                              reinterpret_cast<void**>(properties));
    }
    NOT_CALLED(GetSupportedProperties, LPCWSTR, IPortableDeviceKeyCollection**)
    NOT_CALLED(GetPropertyAttributes, LPCWSTR, REFPROPERTYKEY, IPortableDeviceValues**)
    HRESULT STDMETHODCALLTYPE GetValues(LPCWSTR object, IPortableDeviceKeyCollection* keys,
                                        IPortableDeviceValues** values) override {
        DWORD asked = 0;
        if (wcscmp(object, WPD_DEVICE_OBJECT_ID) != 0 || !keys || FAILED(keys->GetCount(&asked)) ||
            asked == 0)
            return E_INVALIDARG;
        Values* device = new Values;
        device->SetUnsignedIntegerValue(WPD_DEVICE_TYPE, camera_ ? 1 : 3); // camera, phone
        device->SetStringValue(WPD_DEVICE_PROTOCOL, camera_ ? L"PTP: 1.00" : L"MTP: 1.00");
        device->SetStringValue(WPD_DEVICE_FRIENDLY_NAME,
                               camera_ ? L"Tarvo Camera X1" : L"Pocket Phone");
        *values = device;
        return S_OK;
    }

  private:
    // The command done by the virtual camera. Data-out bytes are gathered and sent with the
    // operation when the transfer ends; data-in bytes are read whole and handed out in pieces.
    HRESULT Serve(ULONG command, IPortableDeviceValues* in, Values* out, bool overflow) {
        ptp::Initiator& camera = *bus_.camera();
        ULONG size = 0;
        if (command >= 12 && command <= 14) {
            ComPtr<IPortableDevicePropVariantCollection> list;
            DWORD count = 0;
            if (FAILED(in->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_OPERATION_CODE, &code_)) ||
                FAILED(in->GetIPortableDevicePropVariantCollectionValue(
                    WPD_PROPERTY_MTP_EXT_OPERATION_PARAMS, &list)) ||
                FAILED(list->GetCount(&count)))
                return E_INVALIDARG;
            params_.clear();
            for (DWORD i = 0; i < count; ++i) {
                PROPVARIANT value;
                list->GetAt(i, &value);
                params_.push_back(value.vt == VT_UI4 ? value.ulVal : 0xBAD);
                PropVariantClear(&value);
            }
            bus_.sessionOperations += code_ == ptp::OC_OpenSession || code_ == ptp::OC_CloseSession;
            data_.clear();
            offset_ = 0;
            writing_ = command == 14;
        }
        switch (command) {
        case 12:
            return Answer(camera.Transact(static_cast<uint16_t>(code_), params_), out);
        case 13:
            response_ = camera.TransactIn(static_cast<uint16_t>(code_), params_, data_, 64 << 20);
            out->SetUnsignedLargeIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE,
                                              data_.size());
            size = 64 * 1024;
            break;
        case 14:
            size = bus_.writeChunk;
            break;
        case 15: { // READ_DATA
            in->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_READ, &size);
            const ULONG n = static_cast<ULONG>(std::min<size_t>(size, data_.size() - offset_));
            out->SetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, data_.data() + offset_, n);
            offset_ += n;
            return out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_READ,
                                                overflow ? size + 1 : n);
        }
        case 16: { // WRITE_DATA
            BYTE* bytes = nullptr;
            DWORD held = 0;
            in->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_WRITE, &size);
            in->GetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, &bytes, &held);
            data_.insert(data_.end(), bytes, bytes + std::min<DWORD>(size, held));
            CoTaskMemFree(bytes);
            return out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_WRITTEN,
                                                size);
        }
        case 17: // END_DATA_TRANSFER
            if (writing_) {
                ptp::DataOut phase{data_.size(), [this](uint8_t* buffer, size_t n) {
                                       memcpy(buffer, data_.data() + offset_, n);
                                       offset_ += n;
                                       return true;
                                   }};
                response_ = camera.Transact(static_cast<uint16_t>(code_), params_, &phase);
            }
            return Answer(response_, out);
        default:
            return E_NOTIMPL;
        }
        // A data phase begins: its context and the buffer size the driver advises.
        out->SetStringValue(WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT, writing_ ? L"out" : L"in");
        return out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_OPTIMAL_TRANSFER_BUFFER_SIZE,
                                            size);
    }

    static HRESULT Answer(const ptp::Result& result, Values* out) {
        if (result.status != ptp::Status::Ok)
            return E_FAIL;
        out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_RESPONSE_CODE, result.code);
        return out->SetIPortableDevicePropVariantCollectionValue(
            WPD_PROPERTY_MTP_EXT_RESPONSE_PARAMS,
            ListOf(std::vector<uint32_t>(result.params.begin(), result.params.end())).Get());
    }

    Bus& bus_;
    HANDLE cancel_;
    bool open_ = false, camera_ = false, vanished_ = false, writing_ = false;
    int arrivals_[32] = {};
    ULONG code_ = 0;
    ptp::Params params_;
    std::vector<uint8_t> data_;
    size_t offset_ = 0;
    ptp::Result response_;
};

} // namespace

class Bus::Factory final : public WpdFactory {
  public:
    explicit Factory(Bus& bus) : bus_(bus) {}
    HRESULT CreateObject(REFCLSID clsid, REFIID iid, void** object) override {
        if (IsEqualCLSID(clsid, CLSID_PortableDeviceManager))
            return Hand(new Manager, iid, object);
        if (IsEqualCLSID(clsid, CLSID_PortableDeviceFTM))
            return Hand(new Device(bus_), iid, object);
        if (IsEqualCLSID(clsid, wpd::CLSID_PortableDeviceValues))
            return Hand(new Values, iid, object);
        if (IsEqualCLSID(clsid, CLSID_PortableDeviceKeyCollection))
            return Hand(new Keys, iid, object);
        if (IsEqualCLSID(clsid, CLSID_PortableDevicePropVariantCollection))
            return Hand(new Collection, iid, object);
        return REGDB_E_CLASSNOTREG;
    }

  private:
    Bus& bus_;
};

Bus::Bus(std::string card, std::string profile)
    : card_(std::move(card)), profile_(std::move(profile)), factory_(new Factory(*this)) {}

Bus::~Bus() {
    CloseCamera();
}

WpdFactory& Bus::factory() {
    return *factory_;
}

HRESULT Bus::OpenCamera() {
    DriverSettings settings;
    settings.profile = profile_;
    settings.card = card_;
    ptp::ConnectionPtr command, event;
    std::string error;
    embedded_ = EmbeddedCamera::Start(settings, command, event, error);
    if (!embedded_)
        return E_FAIL;
    inner_ = std::make_unique<ptp::Initiator>();
    // The class driver turns a vendor event into a GUID that carries its code.
    inner_->SetEventHandler([this](const ptp::Event& e) {
        GUID id = WPD_EVENT_MTP_VENDOR_EXTENDED_EVENTS;
        id.Data1 = static_cast<uint32_t>(e.code) << 16;
        Fire(id, std::vector<uint32_t>(e.params.begin(), e.params.end()));
    });
    ptp::ConnectionPtr* pending = &event;
    if (!inner_->Connect(std::move(command), [pending] { return std::move(*pending); }).ok() ||
        !inner_->OpenSession(1).ok()) {
        CloseCamera();
        return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    }
    return S_OK;
}

void Bus::CloseCamera() {
    if (inner_) {
        if (inner_->sessionOpen())
            inner_->CloseSession();
        inner_->Shutdown();
        inner_.reset();
    }
    embedded_.reset();
}

void Bus::Advise(IPortableDeviceEventCallback* callback) {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callback_ = callback;
    ++advised;
}

void Bus::Unadvise() {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callback_.Reset();
    --advised;
}

void Bus::Fire(const GUID& id, const std::vector<uint32_t>& params) {
    ComPtr<Values> values = Adopt(new Values);
    values->SetGuidValue(WPD_EVENT_PARAMETER_EVENT_ID, id);
    values->SetIPortableDevicePropVariantCollectionValue(WPD_PROPERTY_MTP_EXT_EVENT_PARAMS,
                                                         ListOf(params).Get());
    ComPtr<IPortableDeviceEventCallback> callback;
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback = callback_;
    }
    if (callback)
        callback->OnEvent(values.Get());
}

} // namespace wpd_standin
