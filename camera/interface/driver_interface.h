// The interface of the camera driver library KXPTPCLS.DLL, shared by the library and its caller.
// The object's virtual functions sit in fixed slots; unused slots keep their places so that the
// called ones land where both sides expect them. No virtual destructor: it would take slots.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver_result.h"
#include "stream.h"

#pragma pack(push, 1)

// Head of a list that the library writes into a memory stream; entries follow from byte 12.
struct ItemListHead {
    uint32_t headSize;  // 12
    int32_t count;      // number of entries
    uint32_t entrySize; // bytes per entry
};
static_assert(sizeof(ItemListHead) == 12, "list head is 12 bytes");

// Filled by GetStorageInfo; the first fields keep the PTP StorageInfo dataset's layout.
struct StorageRecord {
    uint16_t storageType;
    uint16_t filesystemType;
    uint16_t accessCapability; // 0 = writable
    uint64_t maxCapacity;      // bytes
    uint64_t freeSpace;        // bytes
    uint32_t freeImages;
    uint8_t strings[522]; // description and volume label as PTP strings, as far as they fit
};
static_assert(sizeof(StorageRecord) == 548, "storage record is 548 bytes");
static_assert(offsetof(StorageRecord, accessCapability) == 4, "access at 4");
static_assert(offsetof(StorageRecord, maxCapacity) == 6, "capacity at 6");
static_assert(offsetof(StorageRecord, freeSpace) == 14, "free space at 14");
static_assert(offsetof(StorageRecord, strings) == 26, "strings at 26");

// Handed to SendObjectInfo: the PTP ObjectInfo fixed part, then the name as 8-bit text.
struct ObjectInfoRecord {
    uint32_t storageId;
    uint16_t objectFormat;
    uint16_t protectionStatus;
    uint32_t objectSize;
    uint16_t thumbFormat;
    uint32_t thumbSize;
    uint32_t thumbWidth;
    uint32_t thumbHeight;
    uint32_t imageWidth;
    uint32_t imageHeight;
    uint32_t imageBitDepth;
    uint32_t parentObject;
    uint16_t associationType;
    uint32_t associationDesc;
    uint32_t sequenceNumber;
    uint8_t nameCount; // characters of the name + 1, low 8 bits
    char name[529];    // 8-bit characters and a zero byte
};
static_assert(sizeof(ObjectInfoRecord) == 582, "object info record is 582 bytes");
static_assert(offsetof(ObjectInfoRecord, objectFormat) == 4, "format at 4");
static_assert(offsetof(ObjectInfoRecord, objectSize) == 8, "size at 8");
static_assert(offsetof(ObjectInfoRecord, thumbFormat) == 12, "thumb format at 12");
static_assert(offsetof(ObjectInfoRecord, parentObject) == 38, "parent at 38");
static_assert(offsetof(ObjectInfoRecord, sequenceNumber) == 48, "sequence at 48");
static_assert(offsetof(ObjectInfoRecord, nameCount) == 52, "name count at 52");
static_assert(offsetof(ObjectInfoRecord, name) == 53, "name at 53");

// What GetObjectEntry writes into its stream: the object's facts, its name from byte 31.
struct ObjectEntryRecord {
    uint32_t handle;
    uint32_t storageId;
    uint32_t parentObject;
    uint16_t objectFormat;
    uint16_t protectionStatus;
    uint32_t sizeLow;
    uint32_t sizeHigh;
    uint16_t associationType;
    uint8_t reserved[5];
    char name[256]; // 8-bit text in the ANSI code page, ending in a zero byte
};
static_assert(offsetof(ObjectEntryRecord, name) == 31, "entry name at 31");
static_assert(sizeof(ObjectEntryRecord) == 287, "object entry is 287 bytes");

#pragma pack(pop)

// Object format of the files the program sends (a vendor format code).
enum : uint16_t { kObjectFormatFirmware = 0xBF01 };
// The parent that asks GetNumObjects and GetObjectHandles for the objects at a store's root
// alone (0 asks for every object).
enum : uint32_t { kRootObjects = 0xFFFFFFFF };

// Device properties the program reads with GetDevicePropValue.
enum : uint32_t {
    kPropBattery = 0xD003,         // 4 bytes: 1 = sufficient
    kPropFirmwareVersion = 0xD031, // 4 bytes: one version part per byte, most significant first
    kPropModelName = 0xD032,       // 512 bytes: count byte, then the name with its zero byte
};
enum : uint32_t { kModelNameBufferSize = 512 };

// Camera events: class in bits 16 to 19, reason in the low 16 bits; bit 27 marks ignored ones.
enum : uint32_t {
    kEventIgnoredBit = 0x8000000,
    kEventClassMask = 0xF0000,
    kEventClassPower = 0x40000, // the camera powered down or disconnected
    // Reasons of that class that both sides name: the card's slot opened (the card taken out
    // with it: data word 0), and the connection lost.
    kEventReasonCardSlot = 3,
    kEventReasonConnectionLost = 13,
};

// Called on a thread of the library's own, one event at a time, never after CloseDevice has
// returned. It must hand the event on (post it to a window) rather than call the library: an
// operation that would reach the camera, called from inside the callback, fails at once with
// 192 (busy) and does nothing.
extern "C" typedef int32_t (*CameraEventCallback)(uint32_t eventCode, const uint32_t* eventData,
                                                  uint32_t eventValue, uint32_t fourth);

class CPTPClass {
  public:
    virtual DriverResult EnumerateDevices(uint32_t* count, CameraStream* stream) = 0; // 0
    virtual DriverResult OpenDevice(const void* deviceRecord, CameraEventCallback callback,
                                    uint32_t reserved, uint32_t* device) = 0; // 1
    virtual DriverResult CloseDevice(uint32_t device) = 0;                    // 2
    virtual DriverResult Unused3() { return kDriverNotSupported; }
    virtual DriverResult Unused4() { return kDriverNotSupported; }
    virtual DriverResult GetStorageIDs(uint32_t device, CameraStream* stream) = 0; // 5
    virtual DriverResult GetStorageInfo(uint32_t device, uint32_t storageId,
                                        StorageRecord* record) = 0; // 6
    virtual DriverResult GetNumObjects(uint32_t device, uint32_t storageId, uint32_t format,
                                       uint32_t parent, uint32_t* count) = 0; // 7
    virtual DriverResult GetObjectHandles(uint32_t device, uint32_t storageId, uint32_t format,
                                          uint32_t parent, CameraStream* stream) = 0; // 8
    virtual DriverResult Unused9() { return kDriverNotSupported; }
    virtual DriverResult Unused10() { return kDriverNotSupported; }
    virtual DriverResult Unused11() { return kDriverNotSupported; }
    virtual DriverResult Unused12() { return kDriverNotSupported; }
    virtual DriverResult SendObjectInfo(uint32_t device, uint32_t storageId, uint32_t parent,
                                        ObjectInfoRecord* record, uint32_t* outStorageId,
                                        uint32_t* outParent, uint32_t* outHandle) = 0; // 13
    virtual DriverResult SendObject(uint32_t device, uint32_t size,
                                    CameraStream* fileStream) = 0; // 14
    virtual DriverResult Unused15() { return kDriverNotSupported; }
    virtual DriverResult Unused16() { return kDriverNotSupported; }
    virtual DriverResult Unused17() { return kDriverNotSupported; }
    virtual DriverResult Unused18() { return kDriverNotSupported; }
    virtual DriverResult GetDevicePropValue(uint32_t device, uint32_t propCode, void* value,
                                            uint32_t reserved) = 0; // 19
    virtual DriverResult Unused20() { return kDriverNotSupported; }
    virtual DriverResult Unused21() { return kDriverNotSupported; }
    virtual DriverResult Unused22() { return kDriverNotSupported; }
    virtual DriverResult Unused23() { return kDriverNotSupported; }
    virtual DriverResult Unused24() { return kDriverNotSupported; }
    virtual DriverResult Unused25() { return kDriverNotSupported; }
    virtual DriverResult Unused26() { return kDriverNotSupported; }
    virtual DriverResult Unused27() { return kDriverNotSupported; }
    virtual DriverResult Unused28() { return kDriverNotSupported; }
    virtual DriverResult Unused29() { return kDriverNotSupported; }
    virtual DriverResult Unused30() { return kDriverNotSupported; }
    virtual DriverResult Unused31() { return kDriverNotSupported; }
    virtual DriverResult Unused32() { return kDriverNotSupported; }
    virtual DriverResult Unused33() { return kDriverNotSupported; }
    virtual DriverResult Unused34() { return kDriverNotSupported; }
    virtual DriverResult Unused35() { return kDriverNotSupported; }
    virtual DriverResult Unused36() { return kDriverNotSupported; }
    virtual DriverResult Unused37() { return kDriverNotSupported; }
    virtual DriverResult Unused38() { return kDriverNotSupported; }
    virtual DriverResult Unused39() { return kDriverNotSupported; }
    virtual DriverResult Unused40() { return kDriverNotSupported; }
    virtual DriverResult Unused41() { return kDriverNotSupported; }
    virtual DriverResult Unused42() { return kDriverNotSupported; }
    virtual DriverResult Unused43() { return kDriverNotSupported; }
    virtual DriverResult Unused44() { return kDriverNotSupported; }
    virtual DriverResult Unused45() { return kDriverNotSupported; }
    virtual DriverResult Unused46() { return kDriverNotSupported; }
    virtual DriverResult Unused47() { return kDriverNotSupported; }
    virtual DriverResult Unused48() { return kDriverNotSupported; }
    virtual DriverResult GetObjectEntry(uint32_t device, uint32_t storageId, uint32_t format,
                                        uint32_t parent, uint32_t handle,
                                        CameraStream* stream) = 0; // 49
};

// The library's two exports, looked up by these undecorated names.
extern "C" typedef CPTPClass* (*pGet_kxCPTPClassFn)(void);
extern "C" typedef int32_t (*Free_kxCPTPClassFn)(CPTPClass* object);

#define KX_DRIVER_LIBRARY_NAME "KXPTPCLS.DLL"
#define KX_GET_CLASS_EXPORT "pGet_kxCPTPClass"
#define KX_FREE_CLASS_EXPORT "Free_kxCPTPClass"
