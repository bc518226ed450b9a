// Camera operations over the driver library, which is loaded at run time and owned here.
#include "camera_link.h"

#include <cstdio>
#include <cstring>

#include "camera_events.h"
#include "common/interlocked.h"
#include "common/paths.h"

CameraLink cameraLink = {};

namespace {

const uint32_t kGrowthStep = 10240;
const size_t kEntryNameOffset = 31;

// An empty memory stream for the library to fill.
DriverResult NewMemoryStream(CameraStream* stream) {
    memset(stream, 0, sizeof *stream);
    return CreateMemoryStream(0, kGrowthStep, 0, nullptr, 0, kStreamTagMemory, stream);
}

// Reads back the list the library wrote and gives the number of entries really present.
DriverResult ReadItemList(CameraStream* stream, const uint8_t** entries, uint32_t* count) {
    uint32_t length = 0;
    void* data = nullptr;
    DriverResult r = GetStreamData(stream, &length, &data);
    if (r != kDriverOk)
        return r;
    *count = 0;
    *entries = nullptr;
    if (!data || length < sizeof(ItemListHead))
        return kDriverOk;
    int32_t claimed = 0;
    memcpy(&claimed, static_cast<uint8_t*>(data) + 4, sizeof claimed);
    uint32_t present = (length - sizeof(ItemListHead)) / 4;
    *count = claimed <= 0 ? 0 : (static_cast<uint32_t>(claimed) < present ? claimed : present);
    *entries = static_cast<uint8_t*>(data) + sizeof(ItemListHead);
    return kDriverOk;
}

uint32_t Word(const uint8_t* p, uint32_t index) {
    uint32_t value;
    memcpy(&value, p + 4 * index, sizeof value);
    return value;
}

DriverResult FirstStorageId(CameraStream* stream, uint32_t* storageId) {
    DriverResult r = cameraLink.camera->GetStorageIDs(cameraLink.device, stream);
    if (r != kDriverOk)
        return r;
    const uint8_t* ids = nullptr;
    uint32_t count = 0;
    r = ReadItemList(stream, &ids, &count);
    if (r != kDriverOk)
        return r;
    if (count == 0)
        return kDriverStoreNotAvailable; // no storage: no card
    *storageId = Word(ids, 0);
    return kDriverOk;
}

uint32_t Saturate32(uint64_t value) {
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

struct StorageFacts {
    uint32_t access;
    uint64_t capacity;
    uint64_t freeSpace;
};

DriverResult QueryFirstStorage(StorageFacts* facts) {
    CameraStream stream;
    if (NewMemoryStream(&stream) != kDriverOk)
        return kDriverStreamSetupFailed;
    uint32_t storageId = 0;
    DriverResult r = FirstStorageId(&stream, &storageId);
    if (r == kDriverOk) {
        StorageRecord record = {};
        r = cameraLink.camera->GetStorageInfo(cameraLink.device, storageId, &record);
        if (r == kDriverOk && facts) {
            facts->access = record.accessCapability;
            facts->capacity = record.maxCapacity;
            facts->freeSpace = record.freeSpace;
        }
    }
    ReleaseMemoryStream(&stream);
    return r;
}

// ANSI code-page upper case: single-byte letters change, double-byte characters stay.
void UpperCaseAnsi(char* text) {
    for (char* p = text; *p; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p))) {
            if (!p[1])
                break;
            ++p;
            continue;
        }
        CharUpperBuffA(p, 1);
    }
}

void ReleaseCameraObject() {
    if (!cameraLink.camera)
        return;
    Free_kxCPTPClassFn freeClass = reinterpret_cast<Free_kxCPTPClassFn>(
        reinterpret_cast<void*>(GetProcAddress(cameraLink.library, KX_FREE_CLASS_EXPORT)));
    if (freeClass)
        freeClass(cameraLink.camera);
    cameraLink.camera = nullptr;
}

// Does the object with this handle carry the (upper-cased) name?
DriverResult EntryMatches(uint32_t storageId, uint32_t handle, const char* upperName, bool* match) {
    CameraStream stream;
    DriverResult r = NewMemoryStream(&stream);
    if (r != kDriverOk)
        return r;
    r = cameraLink.camera->GetObjectEntry(cameraLink.device, storageId, 0, 0, handle, &stream);
    uint32_t length = 0;
    void* data = nullptr;
    if (r == kDriverOk)
        r = GetStreamData(&stream, &length, &data);
    *match = false;
    if (r == kDriverOk && data && length > kEntryNameOffset) {
        char entryName[MAX_PATH + 1] = {};
        size_t available = length - kEntryNameOffset;
        size_t n = available < MAX_PATH ? available : MAX_PATH;
        memcpy(entryName, static_cast<uint8_t*>(data) + kEntryNameOffset, n);
        entryName[n] = '\0'; // an entry without a terminator ends where its data ends
        UpperCaseAnsi(entryName);
        *match = strcmp(entryName, upperName) == 0;
    }
    ReleaseMemoryStream(&stream);
    return r;
}

} // namespace

DriverResult CameraOpen(CameraEventHandlerFn eventHandler, uint32_t* cameraCount) {
    if (ReadShared(&cameraLink.isOpen) == 1)
        return kDriverLinkState;
    if (!cameraLink.library) {
        cameraLink.library = LoadLibraryA(KX_DRIVER_LIBRARY_NAME);
        if (!cameraLink.library)
            return kDriverNotInstalled;
    }
    pGet_kxCPTPClassFn getClass = reinterpret_cast<pGet_kxCPTPClassFn>(
        reinterpret_cast<void*>(GetProcAddress(cameraLink.library, KX_GET_CLASS_EXPORT)));
    if (!getClass) {
        FreeLibrary(cameraLink.library);
        cameraLink.library = nullptr;
        return kDriverNotInstalled;
    }
    ReleaseCameraObject(); // left over from an earlier attempt that failed
    cameraLink.camera = getClass();
    if (!cameraLink.camera)
        return kDriverNotInstalled;

    CameraStream stream;
    if (NewMemoryStream(&stream) != kDriverOk)
        return kDriverStreamSetupFailed;
    uint32_t count = 0;
    DriverResult r = cameraLink.camera->EnumerateDevices(&count, &stream);
    bool deviceOpened = false;
    if (r == kDriverOk) {
        *cameraCount = count;
        if (count > 1) {
            r = kDriverMultipleCameras;
        } else if (count == 1) {
            uint32_t length = 0;
            void* data = nullptr;
            if (GetStreamData(&stream, &length, &data) != kDriverOk || !data ||
                length <= sizeof(ItemListHead)) {
                r = kDriverStreamSetupFailed;
            } else {
                r = cameraLink.camera->OpenDevice(static_cast<uint8_t*>(data) +
                                                      sizeof(ItemListHead),
                                                  CameraEventFilter, 0, &cameraLink.device);
                deviceOpened = r == kDriverOk;
            }
        }
    }
    ReleaseMemoryStream(&stream);
    if (r != kDriverOk || count != 1)
        return r;

    r = QueryFirstStorage(nullptr);
    if (r != kDriverOk) {
        if (deviceOpened)
            cameraLink.camera->CloseDevice(cameraLink.device);
        return r;
    }
    WriteSharedPointer(&cameraLink.eventHandler, eventHandler);
    WriteShared(&cameraLink.isOpen, 1);
    return kDriverOk;
}

DriverResult CameraClose() {
    if (ReadShared(&cameraLink.isOpen) == 0)
        return kDriverLinkState;
    WriteShared(&cameraLink.isOpen, 0);
    DriverResult r = cameraLink.camera->CloseDevice(cameraLink.device);
    ReleaseCameraObject();
    FreeLibrary(cameraLink.library);
    cameraLink.library = nullptr;
    return r;
}

DriverResult CameraGetBatteryState(uint32_t* state) {
    if (ReadShared(&cameraLink.isOpen) == 0)
        return kDriverLinkState;
    uint32_t value = 0;
    DriverResult r =
        cameraLink.camera->GetDevicePropValue(cameraLink.device, kPropBattery, &value, 0);
    if (r != kDriverOk)
        return r;
    *state = value == 1 ? kBatterySufficient : kBatteryLow;
    return kDriverOk;
}

DriverResult CameraGetFirmwareVersion(char* text) {
    if (ReadShared(&cameraLink.isOpen) == 0)
        return kDriverLinkState;
    uint32_t value = 0;
    DriverResult r =
        cameraLink.camera->GetDevicePropValue(cameraLink.device, kPropFirmwareVersion, &value, 0);
    if (r != kDriverOk)
        return r;
    snprintf(text, 20, "%d.%d.%d.%d", static_cast<int8_t>(value >> 24),
             static_cast<int8_t>(value >> 16), static_cast<int8_t>(value >> 8),
             static_cast<int8_t>(value));
    return kDriverOk;
}

DriverResult CameraGetModelName(char* text) {
    if (ReadShared(&cameraLink.isOpen) == 0)
        return kDriverLinkState;
    uint8_t value[kModelNameBufferSize] = {};
    DriverResult r =
        cameraLink.camera->GetDevicePropValue(cameraLink.device, kPropModelName, value, 0);
    if (r != kDriverOk)
        return r;
    const size_t n = value[0];
    if (n > 0) {
        // The counted bytes up to their zero, the rest of them zero-filled.
        const uint8_t* end = static_cast<const uint8_t*>(memchr(value + 1, 0, n));
        const size_t length = end ? static_cast<size_t>(end - (value + 1)) : n;
        memcpy(text, value + 1, length);
        memset(text + length, 0, n - length);
        // Counted bytes without a zero: keep the text terminated within its 255 bytes.
        if (!end)
            text[n < 254 ? n : 254] = '\0';
    }
    return kDriverOk;
}

DriverResult CameraGetCardInfo(uint32_t* access, uint32_t* capacity, uint32_t* freeSpace) {
    StorageFacts facts = {};
    DriverResult r = QueryFirstStorage(&facts);
    // Cards of 4 GiB and more saturate instead of wrapping, so comparisons keep their truth.
    *access = facts.access;
    *capacity = Saturate32(facts.capacity);
    *freeSpace = Saturate32(facts.freeSpace);
    return r;
}

DriverResult CameraSendFile(const char* localPath, const uint32_t* size, const char* cameraPath,
                            StreamProgressFn progress) {
    const char* name = LastPathComponent(cameraPath);
    CameraStream ids;
    if (NewMemoryStream(&ids) != kDriverOk)
        return kDriverStreamSetupFailed;
    // The storage list is asked for, as a real camera expects, but not used.
    DriverResult r = cameraLink.camera->GetStorageIDs(cameraLink.device, &ids);
    if (r == kDriverOk) {
        uint32_t length = 0;
        void* data = nullptr;
        r = GetStreamData(&ids, &length, &data);
    }
    if (r != kDriverOk) {
        ReleaseMemoryStream(&ids);
        return r;
    }

    ObjectInfoRecord record = {};
    record.objectFormat = kObjectFormatFirmware;
    record.objectSize = *size;
    size_t nameLength = strlen(name);
    if (nameLength >= sizeof record.name)
        nameLength = sizeof record.name - 1;
    record.nameCount = static_cast<uint8_t>(nameLength + 1);
    memcpy(record.name, name, nameLength);
    uint32_t outStorage = 0, outParent = 0, outHandle = 0;
    r = cameraLink.camera->SendObjectInfo(cameraLink.device, 0, 0, &record, &outStorage, &outParent,
                                          &outHandle);
    if (r == kDriverOk) {
        CameraStream file;
        memset(&file, 0, sizeof file);
        if (CreateFileStream(localPath, 1, progress, 0, kStreamTagSendFile, &file) != kDriverOk) {
            r = kDriverStreamSetupFailed;
        } else {
            r = cameraLink.camera->SendObject(cameraLink.device, record.objectSize, &file);
        }
        ReleaseFileStream(&file);
    }
    ReleaseMemoryStream(&ids);
    return r;
}

namespace {

// Looks for the name among the objects at the root of the first storage, where every file of
// the update lands: a file of that name in a folder of its own is never touched by the copy.
// A failure of any request is the result.
DriverResult FindNameOnCard(const char* name, bool* found) {
    *found = false;
    CameraStream stream;
    DriverResult r = NewMemoryStream(&stream);
    if (r != kDriverOk)
        return r;
    uint32_t storageId = 0;
    r = FirstStorageId(&stream, &storageId);
    ReleaseMemoryStream(&stream);
    if (r != kDriverOk)
        return r;
    uint32_t objects = 0;
    r = cameraLink.camera->GetNumObjects(cameraLink.device, storageId, 0, kRootObjects, &objects);
    if (r != kDriverOk || objects == 0)
        return r;

    r = NewMemoryStream(&stream);
    if (r != kDriverOk)
        return r;
    r = cameraLink.camera->GetObjectHandles(cameraLink.device, storageId, 0, kRootObjects, &stream);
    const uint8_t* handles = nullptr;
    uint32_t count = 0;
    if (r == kDriverOk)
        r = ReadItemList(&stream, &handles, &count);
    char upperName[MAX_PATH + 1] = {};
    lstrcpynA(upperName, name, sizeof upperName);
    UpperCaseAnsi(upperName);
    for (uint32_t i = 0; r == kDriverOk && !*found && i < count; ++i)
        r = EntryMatches(storageId, Word(handles, i), upperName, found);
    ReleaseMemoryStream(&stream);
    return r;
}

} // namespace

DriverResult CameraFileExists(const char* name, DriverResult* failure) {
    bool found = false;
    *failure = FindNameOnCard(name, &found);
    if (*failure != kDriverOk)
        return *failure;
    return found ? kFileOnCard : 0;
}

DriverResult CameraPrepareFolder(const char*) {
    // Nothing to create: files are named on the card by their last path component alone.
    return kDriverOk;
}
