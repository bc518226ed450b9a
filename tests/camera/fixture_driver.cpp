// A test-only driver library: records which operation each slot reached and moves data only
// through the streams and records it is handed, as the real library must.
#include <windows.h>

#include <cstring>
#include <string>

#include "driver_interface.h"

namespace {

std::string callLog;

void Log(const char* name) {
    callLog += name;
    callLog += ';';
}

void WriteAll(CameraStream* s, const void* bytes, uint32_t n, DriverResult* r) {
    s->open(s->impl, kStreamOpenCreate, r);
    if (*r)
        return;
    s->write(s->impl, bytes, &n, r);
    DriverResult closeResult;
    s->close(s->impl, &closeResult);
}

void WriteList(CameraStream* s, const uint32_t* entries, int32_t count, DriverResult* r) {
    uint8_t bytes[12 + 4 * 8] = {};
    ItemListHead head = {12, count, 4};
    memcpy(bytes, &head, sizeof head);
    memcpy(bytes + 12, entries, 4 * count);
    WriteAll(s, bytes, 12 + 4 * count, r);
}

class FixtureCamera final : public CPTPClass {
  public:
    DriverResult EnumerateDevices(uint32_t* count, CameraStream* stream) override {
        Log("EnumerateDevices");
        *count = 1;
        const uint32_t device[] = {0xDE71CE};
        DriverResult r;
        WriteList(stream, device, 1, &r);
        return r;
    }
    DriverResult OpenDevice(const void* record, CameraEventCallback, uint32_t,
                            uint32_t* device) override {
        Log("OpenDevice");
        memcpy(device, record, 4);
        return 0;
    }
    DriverResult CloseDevice(uint32_t) override {
        Log("CloseDevice");
        return 0;
    }
    DriverResult GetStorageIDs(uint32_t, CameraStream* stream) override {
        Log("GetStorageIDs");
        const uint32_t ids[] = {0x00010001};
        DriverResult r;
        WriteList(stream, ids, 1, &r);
        return r;
    }
    DriverResult GetStorageInfo(uint32_t, uint32_t storageId, StorageRecord* record) override {
        Log("GetStorageInfo");
        record->accessCapability = 1;
        record->maxCapacity = 0x100000000ull * storageId;
        record->freeSpace = 12345;
        return 0;
    }
    DriverResult GetNumObjects(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t* count) override {
        Log("GetNumObjects");
        *count = 3;
        return 0;
    }
    DriverResult GetObjectHandles(uint32_t, uint32_t, uint32_t, uint32_t,
                                  CameraStream* stream) override {
        Log("GetObjectHandles");
        const uint32_t handles[] = {11, 12, 13};
        DriverResult r;
        WriteList(stream, handles, 3, &r);
        return r;
    }
    DriverResult SendObjectInfo(uint32_t, uint32_t, uint32_t, ObjectInfoRecord* record, uint32_t*,
                                uint32_t*, uint32_t*) override {
        Log("SendObjectInfo");
        Log(record->name);
        return 0;
    }
    DriverResult SendObject(uint32_t, uint32_t size, CameraStream* file) override {
        Log("SendObject");
        DriverResult r;
        file->open(file->impl, kStreamOpenRead, &r);
        if (r)
            return r;
        std::string bytes(size, '\0');
        uint32_t n = size;
        file->read(file->impl, &bytes[0], &n, &r);
        file->progress(file->impl, 100, &r);
        file->close(file->impl, &r);
        Log(bytes.c_str());
        return 0;
    }
    DriverResult GetDevicePropValue(uint32_t, uint32_t code, void* value, uint32_t) override {
        Log("GetDevicePropValue");
        memcpy(value, &code, 4);
        return 0;
    }
    DriverResult GetObjectEntry(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t handle,
                                CameraStream* stream) override {
        Log("GetObjectEntry");
        ObjectEntryRecord entry = {};
        entry.handle = handle;
        strcpy(entry.name, "ENTRY.BIN");
        DriverResult r;
        WriteAll(stream, &entry, sizeof entry, &r);
        return r;
    }
};

} // namespace

extern "C" __declspec(dllexport) CPTPClass* pGet_kxCPTPClass(void) {
    return new FixtureCamera;
}

extern "C" __declspec(dllexport) int32_t Free_kxCPTPClass(CPTPClass* object) {
    delete static_cast<FixtureCamera*>(object);
    return 0;
}

// Hands the log to the test and starts a new one.
extern "C" __declspec(dllexport) const char* FixtureTakeLog(void) {
    static std::string taken;
    taken = callLog;
    callLog.clear();
    return taken.c_str();
}
