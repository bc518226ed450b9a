// The Windows Portable Devices declarations that mingw-w64 lacks, declared here from Microsoft's
// published headers (PortableDeviceApi.h, PortableDevice.h, WpdMtpExtensions.h and
// PortableDeviceTypes.h of the Windows SDK, as documented on learn.microsoft.com), each checked
// against a second public copy: Wine's portabledeviceapi.idl and winapi-rs's
// portabledeviceapi.rs / portabledevicetypes.rs. mingw-w64's own portabledevicetypes.h supplies
// IPortableDeviceValues, IPortableDeviceKeyCollection and IPortableDevicePropVariantCollection.
//
// An interface is declared up to the last method we call: every slot before it, in order, with
// the SDK's calling convention (stdcall on 32-bit Windows). A wrong slot calls the wrong method.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <portabledevicetypes.h>
#include <propidl.h>

struct IEnumPortableDeviceObjectIDs;
struct IPortableDeviceCapabilities;
struct IPortableDeviceContent;
struct IPortableDeviceProperties;
struct IPortableDeviceEventCallback;

// Slots 3 to 5 of 10.
struct IPortableDeviceManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDevices(LPWSTR* pnpDeviceIds, DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE RefreshDeviceList() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceFriendlyName(LPCWSTR pnpDeviceId, WCHAR* name,
                                                            DWORD* length) = 0;
};
__CRT_UUID_DECL(IPortableDeviceManager, 0xa1567595, 0x4c2f, 0x4574, 0xa6, 0xfa, 0xec, 0xef, 0x91,
                0x7b, 0x9a, 0x40)

// Slots 3 to 10 of 12 (GetPnPDeviceID follows, not declared).
struct IPortableDevice : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(LPCWSTR pnpDeviceId,
                                           IPortableDeviceValues* clientInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendCommand(DWORD flags, IPortableDeviceValues* parameters,
                                                  IPortableDeviceValues** results) = 0;
    virtual HRESULT STDMETHODCALLTYPE Content(IPortableDeviceContent** content) = 0;
    virtual HRESULT STDMETHODCALLTYPE Capabilities(IPortableDeviceCapabilities** capabilities) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Advise(DWORD flags, IPortableDeviceEventCallback* callback,
                                             IPortableDeviceValues* parameters, LPWSTR* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(LPCWSTR cookie) = 0;
};
__CRT_UUID_DECL(IPortableDevice, 0x625e2df8, 0x6392, 0x4cf0, 0x9a, 0xd1, 0x3c, 0xfa, 0x5f, 0x17,
                0x77, 0x5c)

// Slots 3 and 4 of 13.
struct IPortableDeviceContent : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumObjects(DWORD flags, LPCWSTR parentObjectId,
                                                  IPortableDeviceValues* filter,
                                                  IEnumPortableDeviceObjectIDs** objects) = 0;
    virtual HRESULT STDMETHODCALLTYPE Properties(IPortableDeviceProperties** properties) = 0;
};
__CRT_UUID_DECL(IPortableDeviceContent, 0x6a96ed84, 0x7c73, 0x4480, 0x99, 0x38, 0xbf, 0x5a, 0xf4,
                0x77, 0xd4, 0x26)

// Slots 3 to 5 of 9.
struct IPortableDeviceProperties : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE
    GetSupportedProperties(LPCWSTR objectId, IPortableDeviceKeyCollection** keys) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyAttributes(LPCWSTR objectId, REFPROPERTYKEY key,
                                                            IPortableDeviceValues** attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValues(LPCWSTR objectId,
                                                IPortableDeviceKeyCollection* keys,
                                                IPortableDeviceValues** values) = 0;
};
__CRT_UUID_DECL(IPortableDeviceProperties, 0x7f6d695c, 0x03df, 0x4439, 0xa8, 0x09, 0x59, 0x26, 0x6b,
                0xee, 0xe3, 0xa6)

// Slots 3 to 6 of 14.
struct IPortableDeviceCapabilities : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSupportedCommands(IPortableDeviceKeyCollection** keys) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCommandOptions(REFPROPERTYKEY command,
                                                        IPortableDeviceValues** options) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    GetFunctionalCategories(IPortableDevicePropVariantCollection** categories) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    GetFunctionalObjects(REFGUID category, IPortableDevicePropVariantCollection** objectIds) = 0;
};
__CRT_UUID_DECL(IPortableDeviceCapabilities, 0x2c8c6dbf, 0xe3dc, 0x4061, 0xbe, 0xcc, 0x85, 0x42,
                0xe8, 0x10, 0xd1, 0x26)

// Implemented by us: the whole interface.
struct IPortableDeviceEventCallback : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnEvent(IPortableDeviceValues* eventParameters) = 0;
};
__CRT_UUID_DECL(IPortableDeviceEventCallback, 0xa8792a31, 0xf385, 0x493c, 0xa8, 0x93, 0x40, 0xf6,
                0x4e, 0xb4, 0x5f, 0x6e)

namespace wpd {

// Classes: PortableDeviceApi.h and PortableDeviceTypes.h.
inline constexpr CLSID CLSID_PortableDeviceManager = {
    0x0af10cec, 0x2ecd, 0x4b92, {0x95, 0x81, 0x34, 0xf6, 0xae, 0x06, 0x37, 0xf3}};
// The free-threaded device object (Windows 7 and later).
inline constexpr CLSID CLSID_PortableDeviceFTM = {
    0xf7c0039a, 0x4762, 0x488a, {0xb4, 0xb3, 0x76, 0x0e, 0xf9, 0xa1, 0xba, 0x9b}};
// Also declared (extern, undefined) by mingw-w64 at global scope: spell this one wpd::.
inline constexpr CLSID CLSID_PortableDeviceValues = {
    0x0c15d503, 0xd017, 0x47ce, {0x90, 0x16, 0x7b, 0x3f, 0x97, 0x87, 0x21, 0xcc}};
inline constexpr CLSID CLSID_PortableDeviceKeyCollection = {
    0xde2d022d, 0x2480, 0x43be, {0x97, 0xf0, 0xd1, 0xfa, 0x2c, 0xf9, 0x8f, 0x4f}};
inline constexpr CLSID CLSID_PortableDevicePropVariantCollection = {
    0x08a99e2f, 0x6d6d, 0x4b80, {0xaf, 0x5a, 0xba, 0xf2, 0xbc, 0xbe, 0x4c, 0xb9}};

// PortableDevice.h: the object that stands for the device itself, and its type.
inline constexpr wchar_t WPD_DEVICE_OBJECT_ID[] = L"DEVICE";
enum : ULONG { WPD_DEVICE_TYPE_CAMERA = 1 };

// PortableDevice.h: error constants.
inline constexpr HRESULT E_WPD_DEVICE_ALREADY_OPENED = static_cast<HRESULT>(0x802A0001);
inline constexpr HRESULT E_WPD_DEVICE_NOT_OPEN = static_cast<HRESULT>(0x802A0002);
inline constexpr HRESULT E_WPD_DEVICE_IS_HUNG = static_cast<HRESULT>(0x802A0006);

// PortableDevice.h: WPD_PROPERTY_COMMON_* (every command's category, ID and outcome).
inline constexpr GUID kCommonCategory = {
    0xF0422A9C, 0x5DC8, 0x4440, {0xB5, 0xBD, 0x5D, 0xF2, 0x88, 0x35, 0x65, 0x8A}};
inline constexpr PROPERTYKEY WPD_PROPERTY_COMMON_COMMAND_CATEGORY = {kCommonCategory, 1001};
inline constexpr PROPERTYKEY WPD_PROPERTY_COMMON_COMMAND_ID = {kCommonCategory, 1002};
inline constexpr PROPERTYKEY WPD_PROPERTY_COMMON_HRESULT = {kCommonCategory, 1003};

// PortableDevice.h: WPD_CLIENT_INFORMATION_PROPERTIES_V1.
inline constexpr GUID WPD_CLIENT_INFORMATION_PROPERTIES_V1 = {
    0x204D9F0C, 0x2292, 0x4080, {0x9F, 0x42, 0x40, 0x66, 0x4E, 0x70, 0xF8, 0x59}};
inline constexpr PROPERTYKEY WPD_CLIENT_NAME = {WPD_CLIENT_INFORMATION_PROPERTIES_V1, 2};
inline constexpr PROPERTYKEY WPD_CLIENT_MAJOR_VERSION = {WPD_CLIENT_INFORMATION_PROPERTIES_V1, 3};
inline constexpr PROPERTYKEY WPD_CLIENT_MINOR_VERSION = {WPD_CLIENT_INFORMATION_PROPERTIES_V1, 4};
inline constexpr PROPERTYKEY WPD_CLIENT_REVISION = {WPD_CLIENT_INFORMATION_PROPERTIES_V1, 5};
inline constexpr PROPERTYKEY WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE = {
    WPD_CLIENT_INFORMATION_PROPERTIES_V1, 8};

// PortableDevice.h: WPD_DEVICE_PROPERTIES_V1.
inline constexpr GUID WPD_DEVICE_PROPERTIES_V1 = {
    0x26D4979A, 0xE643, 0x4626, {0x9E, 0x2B, 0x73, 0x6D, 0xC0, 0xC9, 0x2F, 0xDC}};
inline constexpr PROPERTYKEY WPD_DEVICE_PROTOCOL = {WPD_DEVICE_PROPERTIES_V1, 6};
inline constexpr PROPERTYKEY WPD_DEVICE_MODEL = {WPD_DEVICE_PROPERTIES_V1, 8};
inline constexpr PROPERTYKEY WPD_DEVICE_FRIENDLY_NAME = {WPD_DEVICE_PROPERTIES_V1, 12};
inline constexpr PROPERTYKEY WPD_DEVICE_TYPE = {WPD_DEVICE_PROPERTIES_V1, 15};

// PortableDevice.h: WPD_OBJECT_PROPERTIES_V1 (what an object event names).
inline constexpr GUID WPD_OBJECT_PROPERTIES_V1 = {
    0xEF6B490D, 0x5CD8, 0x437A, {0xAF, 0xFC, 0xDA, 0x8B, 0x60, 0xEE, 0x4A, 0x3C}};
inline constexpr PROPERTYKEY WPD_OBJECT_ID = {WPD_OBJECT_PROPERTIES_V1, 2};
inline constexpr PROPERTYKEY WPD_OBJECT_PARENT_ID = {WPD_OBJECT_PROPERTIES_V1, 3};
inline constexpr PROPERTYKEY WPD_OBJECT_PERSISTENT_UNIQUE_ID = {WPD_OBJECT_PROPERTIES_V1, 5};

// PortableDevice.h: the functional category of a storage (a memory card).
inline constexpr GUID WPD_FUNCTIONAL_CATEGORY_STORAGE = {
    0x23F05BBC, 0x15DE, 0x4C2A, {0xA5, 0x5B, 0xA9, 0xAF, 0x5C, 0xE4, 0x12, 0xEF}};

// PortableDevice.h: WPD_EVENT_PROPERTIES_V1 and the events.
inline constexpr GUID WPD_EVENT_PROPERTIES_V1 = {
    0x15AB1953, 0xF817, 0x4FEF, {0xA9, 0x21, 0x56, 0x76, 0xE8, 0x38, 0xF6, 0xE0}};
inline constexpr PROPERTYKEY WPD_EVENT_PARAMETER_PNP_DEVICE_ID = {WPD_EVENT_PROPERTIES_V1, 2};
inline constexpr PROPERTYKEY WPD_EVENT_PARAMETER_EVENT_ID = {WPD_EVENT_PROPERTIES_V1, 3};
inline constexpr GUID WPD_EVENT_DEVICE_REMOVED = {
    0xE4CBCA1B, 0x6918, 0x48B9, {0x85, 0xEE, 0x02, 0xBE, 0x7C, 0x85, 0x0A, 0xF9}};
inline constexpr GUID WPD_EVENT_DEVICE_RESET = {
    0x7755CF53, 0xC1ED, 0x44F3, {0xB5, 0xA2, 0x45, 0x1E, 0x2C, 0x37, 0x6B, 0x27}};
inline constexpr GUID WPD_EVENT_OBJECT_ADDED = {
    0xA726DA95, 0xE207, 0x4B02, {0x8D, 0x44, 0xBE, 0xF2, 0xE8, 0x6C, 0xBF, 0xFC}};
inline constexpr GUID WPD_EVENT_OBJECT_REMOVED = {
    0xBE82AB88, 0xA52C, 0x4823, {0x96, 0xE5, 0xD0, 0x27, 0x26, 0x71, 0xFC, 0x38}};
inline constexpr GUID WPD_EVENT_OBJECT_UPDATED = {
    0x1445A759, 0x2E01, 0x485D, {0x9F, 0x27, 0xFF, 0x07, 0xDA, 0xE6, 0x97, 0xAB}};
inline constexpr GUID WPD_EVENT_DEVICE_CAPABILITIES_UPDATED = {
    0x36885AA1, 0xCD54, 0x4DAA, {0xB3, 0xD0, 0xAF, 0xB3, 0xE0, 0x3F, 0x59, 0x99}};
inline constexpr GUID WPD_EVENT_STORAGE_FORMAT = {
    0x3782616B, 0x22BC, 0x4474, {0xA2, 0x51, 0x30, 0x70, 0xF8, 0xD3, 0x88, 0x57}};

// WpdMtpExtensions.h: raw MTP (PTP) operations through the class driver.
inline constexpr GUID WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS = {
    0x4d545058, 0x1a2e, 0x4106, {0xa3, 0x57, 0x77, 0x1e, 0x08, 0x19, 0xfc, 0x56}};
inline constexpr PROPERTYKEY WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITHOUT_DATA_PHASE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 12};
inline constexpr PROPERTYKEY WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITH_DATA_TO_READ = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 13};
inline constexpr PROPERTYKEY WPD_COMMAND_MTP_EXT_EXECUTE_COMMAND_WITH_DATA_TO_WRITE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 14};
inline constexpr PROPERTYKEY WPD_COMMAND_MTP_EXT_READ_DATA = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 15};
inline constexpr PROPERTYKEY WPD_COMMAND_MTP_EXT_WRITE_DATA = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 16};
inline constexpr PROPERTYKEY WPD_COMMAND_MTP_EXT_END_DATA_TRANSFER = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 17};

inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_OPERATION_CODE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1001};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_OPERATION_PARAMS = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1002};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_RESPONSE_CODE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1003};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_RESPONSE_PARAMS = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1004};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_CONTEXT = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1006};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_TOTAL_DATA_SIZE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1007};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_READ = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1008};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_READ = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1009};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_TO_WRITE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1010};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_NUM_BYTES_WRITTEN = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1011};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_TRANSFER_DATA = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1012};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_OPTIMAL_TRANSFER_BUFFER_SIZE = {
    WPD_CATEGORY_MTP_EXT_VENDOR_OPERATIONS, 1013};

// WpdMtpExtensions.h: a vendor event arrives as this GUID with the PTP event code in the top 16
// bits (0xC001 as {C0010000-5738-4ff2-8445-BE3126691059}), its parameters in a collection.
inline constexpr GUID WPD_EVENT_MTP_VENDOR_EXTENDED_EVENTS = {
    0x00000000, 0x5738, 0x4ff2, {0x84, 0x45, 0xbe, 0x31, 0x26, 0x69, 0x10, 0x59}};
inline constexpr PROPERTYKEY WPD_PROPERTY_MTP_EXT_EVENT_PARAMS = {
    {0x4d545058, 0xef88, 0x4e4d, {0x95, 0xc3, 0x4f, 0x32, 0x7f, 0x72, 0x8a, 0x96}}, 1011};

} // namespace wpd
