// The stand-in objects and the bus they share. Values hold PROPVARIANTs copied with the system's
// PropVariantCopy, as the real objects do; methods the code under test never calls say so.
#include "wpd_standin.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "ptp/codes.h"
#include "ptp/ptpip_transport.h"

using namespace wpd;

namespace wpd_standin {

std::atomic<int> liveObjects{0};

namespace {

// Longer than a device record's 64-byte name, as real PnP device IDs are.
const wchar_t kCameraId[] =
    L"\\\\?\\usb#vid_1a2b&pid_0c01#tx1-00000001#{6ac27878-a6fa-4155-ba85-f98f491d4f33}";
const wchar_t kPhoneId[] =
    L"\\\\?\\usb#vid_3c4d&pid_0e02#pocket-phone#{6ac27878-a6fa-4155-ba85-f98f491d4f33}";
// A still camera whose driver takes no raw MTP commands.
const wchar_t kPlainId[] =
    L"\\\\?\\usb#vid_5e6f&pid_0a03#snap-cam#{6ac27878-a6fa-4155-ba85-f98f491d4f33}";
const DWORD kUnknown = 0xFFFFFFFF;

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
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
        return index < keys_.size() ? (*key = keys_[index], S_OK) : E_INVALIDARG;
    }
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
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        for (const Item& item : items_) {
            if (IsEqualPropertyKey(item.first, key))
                return PropVariantCopy(value, &item.second);
        }
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
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
    explicit Manager(Bus& bus) : bus_(bus) {}
    HRESULT STDMETHODCALLTYPE GetDevices(LPWSTR* ids, DWORD* count) override {
        std::vector<const wchar_t*> attached = {kPhoneId, kCameraId};
        if (bus_.plainCamera)
            attached.insert(attached.begin() + 1, kPlainId);
        const DWORD all = static_cast<DWORD>(attached.size());
        const DWORD n = ids ? std::min<DWORD>(*count, all) : all;
        for (DWORD i = 0; ids && i < n; ++i)
            ids[i] = Dup(attached[i]);
        *count = n;
        return S_OK;
    }
    NOT_CALLED(RefreshDeviceList)
    HRESULT STDMETHODCALLTYPE GetDeviceFriendlyName(LPCWSTR id, WCHAR* name,
                                                    DWORD* length) override {
        const wchar_t* text = wcscmp(id, kCameraId) == 0 ? L"Tarvo Camera X1" : L"Device";
        const DWORD needed = static_cast<DWORD>(wcslen(text) + 1);
        if (!name || *length < needed)
            return *length = needed, name ? HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) : S_OK;
        memcpy(name, text, needed * sizeof(wchar_t));
        *length = needed;
        return S_OK;
    }

  private:
    Bus& bus_;
};

// What a command must carry, as Microsoft documents each MTP extension command: its Required
// parameters and their VARTYPEs.
struct Required {
    const PROPERTYKEY* key;
    VARTYPE type;
};
const Required kOperation[] = {{&WPD_PROPERTY_MTP_EXT_OPERATION_CODE, VT_UI4},
                               {&WPD_PROPERTY_MTP_EXT_OPERATION_PARAMS, VT_UNKNOWN}};
const Required kWrite[] = {{&WPD_PROPERTY_MTP_EXT_OPERATION_CODE, VT_UI4},
                           {&WPD_PROPERTY_MTP_EXT_OPERATION_PARAMS, VT_UNKNOWN},
                           {&WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE, VT_UI8}};
const Required kRead[] = {{&WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT, VT_LPWSTR},
                          {&WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_READ, VT_UI4},
                          {&WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, VT_VECTOR | VT_UI1}};
const Required kWriteData[] = {{&WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT, VT_LPWSTR},
                               {&WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_WRITE, VT_UI4},
                               {&WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, VT_VECTOR | VT_UI1}};
const Required kEnd[] = {{&WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT, VT_LPWSTR}};

// The MTP extension commands by ID (12 to 17), and their Required parameters.
struct CommandRule {
    const Required* begin;
    const Required* end;
};
CommandRule RuleOf(ULONG command) {
    switch (command) {
    case 12:
    case 13:
        return {std::begin(kOperation), std::end(kOperation)};
    case 14:
        return {std::begin(kWrite), std::end(kWrite)};
    case 15:
        return {std::begin(kRead), std::end(kRead)};
    case 16:
        return {std::begin(kWriteData), std::end(kWriteData)};
    case 17:
        return {std::begin(kEnd), std::end(kEnd)};
    default:
        return {nullptr, nullptr};
    }
}

// A phone or a camera: the device, its content, properties and capabilities in one object.
class Device final : public StandIn<IPortableDevice, IPortableDeviceContent,
                                    IPortableDeviceProperties, IPortableDeviceCapabilities> {
  public:
    explicit Device(Bus& bus) : bus_(bus), cancel_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
        ++bus_.liveDevices;
    }
    ~Device() override {
        Close();
        CloseHandle(cancel_);
        --bus_.liveDevices;
    }

    HRESULT STDMETHODCALLTYPE Open(LPCWSTR id, IPortableDeviceValues* client) override {
        bus_.clientName = TakeString(client, WPD_CLIENT_NAME);
        camera_ = wcscmp(id, kCameraId) == 0;
        plain_ = wcscmp(id, kPlainId) == 0;
        if (open_ || (!camera_ && !plain_ && wcscmp(id, kPhoneId) != 0))
            return E_INVALIDARG;
        if (camera_ && bus_.busy)
            return E_WPD_DEVICE_ALREADY_OPENED;
        if (camera_ && ++bus_.cameraOpens == bus_.hangOpenAt) {
            WaitForSingleObject(bus_.released(), 60000);
            return E_ABORT;
        }
        const HRESULT hr = camera_ ? bus_.OpenCamera() : S_OK;
        open_ = SUCCEEDED(hr);
        bus_.openDevices += open_ ? 1 : 0;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SendCommand(DWORD, IPortableDeviceValues* in,
                                          IPortableDeviceValues** results) override {
        GUID category{};
        ULONG command = 0;
        if (!open_ || !in || !results)
            return E_INVALIDARG;
        if (FAILED(in->GetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, &category)) ||
            FAILED(in->GetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, &command)))
            return Refuse("a command without its category or ID", E_INVALIDARG);
        if (!camera_ || !IsEqualGUID(category, WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS))
            return E_NOTIMPL; // not a command this driver takes
        const CommandRule rule = RuleOf(command);
        if (!rule.begin)
            return E_NOTIMPL;
        for (const Required* required = rule.begin; required != rule.end; ++required) {
            PROPVARIANT value;
            PropVariantInit(&value);
            const bool present = SUCCEEDED(in->GetValue(*required->key, &value));
            const VARTYPE type = value.vt;
            PropVariantClear(&value);
            if (!present || type != required->type)
                return Refuse("command " + std::to_string(command) + " without parameter " +
                                  std::to_string(required->key->pid) + " of its type",
                              E_INVALIDARG);
        }
        if (vanished_)
            return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        // One transfer at a time, and its own commands only while it is open.
        const bool starts = command >= 12 && command <= 14;
        if (starts && transfer_ != Transfer::None)
            return Refuse("a new operation while a transfer is open",
                          HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
        if ((command == 15 && transfer_ != Transfer::Reading) ||
            (command == 16 && transfer_ != Transfer::Writing) ||
            (command == 17 && transfer_ == Transfer::None))
            return Refuse("command " + std::to_string(command) + " without its transfer",
                          HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
        if (!starts && !ContextFits(in))
            return Refuse("command " + std::to_string(command) + " with another context",
                          E_INVALIDARG);

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
            *results = out.Detach();
            return S_OK; // the command failed: no transfer opens
        case Fault::Hang:
            WaitForSingleObject(cancel_, 60000);
            transfer_ = Transfer::None; // the cancelled command takes its transfer with it
            return HRESULT_FROM_WIN32(ERROR_CANCELLED);
        case Fault::Vanish: // the API reports it on a thread of its own
            vanished_ = true;
            std::thread([this] { bus_.Fire(WPD_EVENT_DEVICE_REMOVED, {}); }).join();
            return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        case Fault::StoreFull:
            storeFull_ = true;
            return plan.hr;
        case Fault::CardRemoved:
            std::thread([this] {
                bus_.FireObject(WPD_EVENT_OBJECT_REMOVED, kStorageObject, WPD_DEVICE_OBJECT_ID);
            }).join();
            break;
        case Fault::PhotoAdded:
            std::thread([this] {
                bus_.FireObject(WPD_EVENT_OBJECT_ADDED, L"o2A", kStorageObject);
            }).join();
            break;
        default:
            break;
        }
        if (SUCCEEDED(hr))
            hr = Serve(command, in, out.Get(), fault == Fault::Overflow);
        if (command == 17)
            transfer_ = Transfer::None; // ended, answered or not
        if (FAILED(hr))
            return hr;
        // A successful result carries its HRESULT too, as the class driver's do.
        out->SetErrorValue(WPD_PROPERTY_COMMON_HRESULT, S_OK);
        *results = out.Detach();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Content(IPortableDeviceContent** content) override {
        return QueryInterface(__uuidof(IPortableDeviceContent), reinterpret_cast<void**>(content));
    }
    HRESULT STDMETHODCALLTYPE Capabilities(IPortableDeviceCapabilities** capabilities) override {
        return QueryInterface(__uuidof(IPortableDeviceCapabilities),
                              reinterpret_cast<void**>(capabilities));
    }
    HRESULT STDMETHODCALLTYPE Cancel() override { return SetEvent(cancel_), S_OK; }
    HRESULT STDMETHODCALLTYPE Close() override {
        if (open_ && transfer_ != Transfer::None && !vanished_)
            bus_.Violation("closed with a transfer open");
        transfer_ = Transfer::None;
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
        const bool still = camera_ || plain_;
        device->SetUnsignedIntegerValue(WPD_DEVICE_TYPE, still ? 1 : 3); // camera, phone
        device->SetStringValue(WPD_DEVICE_PROTOCOL, still ? L"PTP: 1.00" : L"MTP: 1.00");
        device->SetStringValue(WPD_DEVICE_FRIENDLY_NAME, camera_  ? L"Tarvo Camera X1"
                                                         : plain_ ? L"Snap Cam"
                                                                  : L"Pocket Phone");
        *values = device;
        return S_OK;
    }

    // IPortableDeviceCapabilities
    HRESULT STDMETHODCALLTYPE GetSupportedCommands(IPortableDeviceKeyCollection** keys) override {
        ComPtr<Keys> commands = Adopt(new Keys);
        commands->Add(WPD_PROPERTY_COMMON_COMMAND_ID); // stands for the common commands
        if (!plain_) {
            for (DWORD id = 12; id <= 17; ++id)
                commands->Add(PROPERTYKEY{WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, id});
        }
        *keys = commands.Detach();
        return S_OK;
    }
    NOT_CALLED(GetCommandOptions, REFPROPERTYKEY, IPortableDeviceValues**)
    NOT_CALLED(GetFunctionalCategories, IPortableDevicePropVariantCollection**)
    HRESULT STDMETHODCALLTYPE
    GetFunctionalObjects(REFGUID category, IPortableDevicePropVariantCollection** ids) override {
        ComPtr<Collection> objects = Adopt(new Collection);
        if (IsEqualGUID(category, WPD_FUNCTIONAL_CATEGORY_STORAGE)) {
            PROPVARIANT value;
            PropVariantInit(&value);
            value.vt = VT_LPWSTR;
            value.pwszVal = const_cast<LPWSTR>(kStorageObject);
            objects->Add(&value);
        }
        *ids = objects.Detach();
        return S_OK;
    }

  private:
    enum class Transfer { None, Reading, Writing };

    HRESULT Refuse(const std::string& what, HRESULT hr) {
        bus_.Violation(what);
        return hr;
    }

    bool ContextFits(IPortableDeviceValues* in) {
        const std::wstring given = TakeString(in, WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT);
        return given == context_ || (context_.empty() && bus_.omitWriteContext);
    }

    // The command done by the virtual camera. Data-out bytes are gathered and sent with the
    // operation when the transfer ends; data-in bytes are read whole and handed out in pieces.
    HRESULT Serve(ULONG command, IPortableDeviceValues* in, Values* out, bool overflow) {
        ptp::Initiator& camera = *bus_.camera();
        if (command >= 12 && command <= 14) {
            ComPtr<IPortableDevicePropVariantCollection> list;
            DWORD count = 0;
            in->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_OPERATION_CODE, &code_);
            if (FAILED(in->GetIPortableDevicePropVariantCollectionValue(
                    WPD_PROPERTY_MTP_EXT_OPERATION_PARAMS, &list)) ||
                FAILED(list->GetCount(&count)) || count > 5)
                return Refuse("operation parameters that are no list of five", E_INVALIDARG);
            params_.clear();
            for (DWORD i = 0; i < count; ++i) {
                PROPVARIANT value;
                list->GetAt(i, &value);
                if (value.vt != VT_UI4)
                    bus_.Violation("an operation parameter that is not VT_UI4");
                params_.push_back(value.ulVal);
                PropVariantClear(&value);
            }
            bus_.sessionOperations += code_ == ptp::OC_OpenSession || code_ == ptp::OC_CloseSession;
            data_.clear();
            offset_ = 0;
            misbehaved_ = storeFull_ = false;
        }
        switch (command) {
        case 12:
            return Answer(camera.Transact(static_cast<uint16_t>(code_), params_), out);
        case 13: {
            response_ = camera.TransactIn(static_cast<uint16_t>(code_), params_, data_, 64 << 20);
            out->SetUnsignedLargeIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE,
                                              bus_.unknownSize ? kUnknown : data_.size());
            return Begin(Transfer::Reading, bus_.readChunk, out);
        }
        case 14:
            in->GetUnsignedLargeIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE,
                                             &total_);
            return Begin(Transfer::Writing, bus_.writeChunk, out);
        case 15: { // READ_DATA
            ULONG size = 0;
            PROPVARIANT buffer;
            PropVariantInit(&buffer);
            in->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_READ, &size);
            in->GetValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, &buffer);
            const ULONG room = buffer.caub.cElems;
            PropVariantClear(&buffer);
            if (size > bus_.readChunk)
                bus_.Violation("a read over the buffer size the driver advised");
            if (room < size)
                return Refuse("a read into a smaller buffer", E_INVALIDARG);
            const ULONG n = static_cast<ULONG>(std::min<size_t>(size, data_.size() - offset_));
            out->SetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, data_.data() + offset_, n);
            offset_ += n;
            misbehaved_ = misbehaved_ || overflow;
            return out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_READ,
                                                overflow ? size + 1 : n);
        }
        case 16: { // WRITE_DATA
            BYTE* bytes = nullptr;
            DWORD held = 0;
            ULONG size = 0;
            in->GetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_WRITE, &size);
            in->GetBufferValue(WPD_PROPERTY_MTP_EXT_TRANSFER_DATA, &bytes, &held);
            if (held < size) {
                CoTaskMemFree(bytes);
                return Refuse("a write of more than its buffer", E_INVALIDARG);
            }
            if (bus_.shortWrites && size > 1)
                size /= 2;
            if (data_.size() + size > total_)
                bus_.Violation("more written than the transfer's total size");
            data_.insert(data_.end(), bytes, bytes + size);
            CoTaskMemFree(bytes);
            return out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_WRITTEN,
                                                size);
        }
        case 17: // END_DATA_TRANSFER
            if (transfer_ == Transfer::Reading && offset_ < data_.size() && !misbehaved_)
                bus_.Violation("a transfer ended with unread data");
            if (transfer_ == Transfer::Writing) {
                if (storeFull_) {
                    response_ = ptp::Result();
                    response_.code = ptp::RC_StoreFull;
                } else if (data_.size() != total_) {
                    response_ = ptp::Result();
                    response_.code = ptp::RC_IncompleteTransfer;
                } else {
                    ptp::DataOut phase{data_.size(), [this](uint8_t* buffer, size_t n) {
                                           memcpy(buffer, data_.data() + offset_, n);
                                           offset_ += n;
                                           return true;
                                       }};
                    response_ = camera.Transact(static_cast<uint16_t>(code_), params_, &phase);
                }
            }
            return Answer(response_, out);
        default:
            return E_NOTIMPL;
        }
    }

    // A data phase begins: its context (optional for sends) and the buffer size it advises.
    HRESULT Begin(Transfer transfer, DWORD advised, Values* out) {
        transfer_ = transfer;
        context_.clear();
        if (transfer == Transfer::Reading || !bus_.omitWriteContext) {
            context_ = L"transfer-" + std::to_wstring(++transfers_);
            out->SetStringValue(WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT, context_.c_str());
        }
        return out->SetUnsignedIntegerValue(WPD_PROPERTY_MTP_EXT_OPTIMAL_TRANSFER_BUFFER_SIZE,
                                            advised);
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
    bool open_ = false, camera_ = false, plain_ = false, vanished_ = false;
    bool misbehaved_ = false, storeFull_ = false;
    Transfer transfer_ = Transfer::None;
    std::wstring context_;
    int transfers_ = 0;
    int arrivals_[32] = {};
    ULONG code_ = 0;
    ptp::Params params_;
    std::vector<uint8_t> data_;
    ULONGLONG total_ = 0;
    size_t offset_ = 0;
    ptp::Result response_;
};

} // namespace

class Bus::Factory final : public WpdFactory {
  public:
    explicit Factory(Bus& bus) : bus_(bus) {}
    HRESULT CreateObject(REFCLSID clsid, REFIID iid, void** object) override {
        if (IsEqualCLSID(clsid, CLSID_PortableDeviceManager))
            return Hand(new Manager(bus_), iid, object);
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

namespace {

// One class of the stand-ins as COM finds a class the process registered.
class ClassObject final : public StandIn<IClassFactory> {
  public:
    ClassObject(WpdFactory& factory, REFCLSID clsid) : factory_(factory), clsid_(clsid) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        *object = nullptr;
        return outer ? CLASS_E_NOAGGREGATION : factory_.CreateObject(clsid_, iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  private:
    WpdFactory& factory_;
    const CLSID clsid_;
};

} // namespace

const wchar_t kStorageObject[] = L"s10001";

Bus::Bus(std::string card, std::string profile)
    : card_(std::move(card)), profile_(std::move(profile)), factory_(new Factory(*this)),
      released_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

Bus::~Bus() {
    Settle();
    UnregisterClasses();
    CloseCamera();
    CloseHandle(released_);
}

void Bus::RegisterClasses() {
    for (const CLSID* clsid :
         {&CLSID_PortableDeviceManager, &CLSID_PortableDeviceFTM, &wpd::CLSID_PortableDeviceValues,
          &CLSID_PortableDeviceKeyCollection, &CLSID_PortableDevicePropVariantCollection}) {
        ComPtr<IClassFactory> made = Adopt<IClassFactory>(new ClassObject(factory(), *clsid));
        DWORD cookie = 0;
        if (SUCCEEDED(CoRegisterClassObject(*clsid, made.Get(), CLSCTX_INPROC_SERVER,
                                            REGCLS_MULTIPLEUSE, &cookie)))
            registered_.push_back(cookie);
    }
}

void Bus::UnregisterClasses() {
    for (DWORD cookie : registered_)
        CoRevokeClassObject(cookie);
    registered_.clear();
}

void Bus::Settle() {
    SetEvent(released_);
    for (int i = 0; i < 1000 && liveDevices > 0; ++i)
        Sleep(10);
}

void Bus::Violation(const std::string& what) {
    std::lock_guard<std::mutex> lock(violationsMutex_);
    violations_.push_back(what);
}

std::vector<std::string> Bus::violations() {
    std::lock_guard<std::mutex> lock(violationsMutex_);
    return violations_;
}

WpdFactory& Bus::factory() {
    return *factory_;
}

HRESULT Bus::OpenCamera() {
    DriverSettings settings;
    settings.profile = profile_;
    settings.card = card_;
    std::string error;
    embedded_ = EmbeddedCamera::Start(settings, error);
    if (!embedded_)
        return E_FAIL;
    ptp::ConnectionPtr event;
    ptp::ConnectionPtr command = embedded_->Connect(event);
    inner_ = std::make_unique<ptp::Initiator>();
    // The class driver turns a vendor event into a GUID that carries its code, and standard
    // events into WPD events that name the object.
    inner_->SetEventHandler([this](const ptp::Event& e) {
        if (e.code >= 0xC000) {
            GUID id = WPD_EVENT_MTP_VENDOR_EXTENDED_EVENTS;
            id.Data1 = static_cast<uint32_t>(e.code) << 16;
            Fire(id, std::vector<uint32_t>(e.params.begin(), e.params.end()));
        } else if (e.code == ptp::EC_StoreRemoved) {
            FireObject(WPD_EVENT_OBJECT_REMOVED, kStorageObject, WPD_DEVICE_OBJECT_ID);
        } else if (e.code == ptp::EC_ObjectAdded || e.code == ptp::EC_ObjectRemoved) {
            const std::wstring object = L"o" + std::to_wstring(e.params.empty() ? 0 : e.params[0]);
            FireObject(e.code == ptp::EC_ObjectAdded ? WPD_EVENT_OBJECT_ADDED
                                                     : WPD_EVENT_OBJECT_REMOVED,
                       object.c_str(), kStorageObject);
        }
    });
    ptp::ConnectionPtr* pending = &event;
    if (!inner_
             ->Attach(ptp::PtpIpOver(ptp::PtpIpConfig(), std::move(command),
                                     [pending] { return std::move(*pending); }))
             .ok() ||
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

void Bus::FireObject(const GUID& id, const wchar_t* object, const wchar_t* parent) {
    ComPtr<Values> values = Adopt(new Values);
    values->SetStringValue(WPD_EVENT_PARAMETER_PNP_DEVICE_ID, kCameraId);
    values->SetGuidValue(WPD_EVENT_PARAMETER_EVENT_ID, id);
    values->SetStringValue(WPD_OBJECT_ID, object);
    values->SetStringValue(WPD_OBJECT_PERSISTENT_UNIQUE_ID, object);
    values->SetStringValue(WPD_OBJECT_PARENT_ID, parent);
    ComPtr<IPortableDeviceEventCallback> callback;
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback = callback_;
    }
    if (callback)
        callback->OnEvent(values.Get());
}

void Bus::Fire(const GUID& id, const std::vector<uint32_t>& params) {
    ComPtr<Values> values = Adopt(new Values);
    values->SetStringValue(WPD_EVENT_PARAMETER_PNP_DEVICE_ID, kCameraId);
    values->SetGuidValue(WPD_EVENT_PARAMETER_EVENT_ID, id);
    GUID base = id;
    base.Data1 &= 0x0000FFFF;
    if (IsEqualGUID(base, WPD_EVENT_MTP_VENDOR_EXTENDED_EVENTS))
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
