// A library built apart and loaded by bare name is reached through the right slots, and data
// crosses only through the streams and records handed to it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver_interface.h"

namespace {

typedef const char* (*TakeLogFn)(void);

struct Loaded : ::testing::Test {
    HMODULE module = nullptr;
    CPTPClass* camera = nullptr;
    TakeLogFn takeLog = nullptr;
    void SetUp() override {
        module = LoadLibraryA("fixture_kx.dll");
        ASSERT_NE(module, nullptr);
        auto get = reinterpret_cast<pGet_kxCPTPClassFn>(
            reinterpret_cast<void*>(GetProcAddress(module, KX_GET_CLASS_EXPORT)));
        takeLog = reinterpret_cast<TakeLogFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "FixtureTakeLog")));
        ASSERT_NE(get, nullptr);
        ASSERT_NE(takeLog, nullptr);
        ASSERT_NE(GetProcAddress(module, KX_FREE_CLASS_EXPORT), nullptr);
        camera = get();
        ASSERT_NE(camera, nullptr);
        takeLog();
    }
    void TearDown() override {
        auto release = reinterpret_cast<Free_kxCPTPClassFn>(
            reinterpret_cast<void*>(GetProcAddress(module, KX_FREE_CLASS_EXPORT)));
        if (camera && release)
            release(camera);
        FreeLibrary(module);
    }
    CameraStream NewStream() {
        CameraStream s;
        memset(&s, 0, sizeof s);
        EXPECT_EQ(CreateMemoryStream(0, 10240, 0, nullptr, 0, kStreamTagMemory, &s), 0);
        return s;
    }
};

// Calls slot `index` of the object's table directly, bypassing the compiler's slot numbering.
template <typename... Args> DriverResult CallSlot(CPTPClass* object, int index, Args... args) {
    typedef DriverResult (*Slot)(CPTPClass*, Args...);
    void** table = *reinterpret_cast<void***>(object);
    return reinterpret_cast<Slot>(table[index])(object, args...);
}

TEST_F(Loaded, EachOperationSitsInItsSlot) {
    CameraStream s = NewStream();
    uint32_t count = 0, device = 0, value = 0;
    StorageRecord storage = {};
    ObjectInfoRecord info = {};
    strcpy(info.name, "NAME.FIR");
    uint32_t a, b, c;

    EXPECT_EQ(CallSlot(camera, 0, &count, &s), 0);
    EXPECT_EQ(CallSlot(camera, 1, static_cast<const void*>(&value), CameraEventCallback(nullptr),
                       0u, &device),
              0);
    EXPECT_EQ(CallSlot(camera, 2, 7u), 0);
    EXPECT_EQ(CallSlot(camera, 5, 7u, &s), 0);
    EXPECT_EQ(CallSlot(camera, 6, 7u, 2u, &storage), 0);
    EXPECT_EQ(CallSlot(camera, 7, 7u, 1u, 0u, 0u, &count), 0);
    EXPECT_EQ(CallSlot(camera, 8, 7u, 1u, 0u, 0u, &s), 0);
    EXPECT_EQ(CallSlot(camera, 13, 7u, 0u, 0u, &info, &a, &b, &c), 0);
    EXPECT_EQ(CallSlot(camera, 19, 7u, 0xD031u, static_cast<void*>(&value), 0u), 0);
    EXPECT_EQ(CallSlot(camera, 49, 7u, 1u, 0u, 0u, 12u, &s), 0);
    EXPECT_STREQ(takeLog(), "EnumerateDevices;OpenDevice;CloseDevice;GetStorageIDs;"
                            "GetStorageInfo;GetNumObjects;GetObjectHandles;SendObjectInfo;"
                            "NAME.FIR;GetDevicePropValue;GetObjectEntry;");
    EXPECT_EQ(value, 0xD031u);
    EXPECT_EQ(storage.maxCapacity, 0x200000000ull);
    EXPECT_EQ(CallSlot(camera, 3), kDriverNotSupported) << "unused slots keep their places";
    EXPECT_EQ(CallSlot(camera, 48), kDriverNotSupported);
    ReleaseMemoryStream(&s);
}

TEST_F(Loaded, MemoryStreamCarriesTheLibrarysListBack) {
    CameraStream s = NewStream();
    uint32_t count = 0;
    ASSERT_EQ(camera->GetObjectHandles(1, 0x00010001, 0, 0, &s), 0);
    uint32_t length = 0;
    void* data = nullptr;
    ASSERT_EQ(GetStreamData(&s, &length, &data), 0);
    ASSERT_EQ(length, 24u);
    ItemListHead head;
    memcpy(&head, data, sizeof head);
    EXPECT_EQ(head.count, 3);
    uint32_t handles[3];
    memcpy(handles, static_cast<uint8_t*>(data) + 12, sizeof handles);
    EXPECT_EQ(handles[0], 11u);
    EXPECT_EQ(handles[2], 13u);

    CameraStream e = NewStream();
    ASSERT_EQ(camera->GetObjectEntry(1, 0x00010001, 0, 0, 12, &e), 0);
    ASSERT_EQ(GetStreamData(&e, &length, &data), 0);
    EXPECT_EQ(length, sizeof(ObjectEntryRecord));
    EXPECT_STREQ(static_cast<char*>(data) + 31, "ENTRY.BIN");
    ReleaseMemoryStream(&e);
    ReleaseMemoryStream(&s);
    (void)count;
}

uint32_t lastPercent;
DriverResult Progress(uint32_t percent, uint32_t, uint32_t) {
    lastPercent = percent;
    return 0;
}

TEST_F(Loaded, FileStreamIsReadByTheLibrary) {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "vfx", 0, path);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(h, "firmware-bytes", 14, &written, nullptr);
    CloseHandle(h);

    CameraStream f;
    memset(&f, 0, sizeof f);
    ASSERT_EQ(CreateFileStream(path, 1, Progress, 0, kStreamTagSendFile, &f), 0);
    EXPECT_EQ(camera->SendObject(1, 14, &f), 0);
    EXPECT_STREQ(takeLog(), "SendObject;firmware-bytes;");
    EXPECT_EQ(lastPercent, 100u);
    EXPECT_EQ(static_cast<FileStreamBlock*>(f.impl)->handle, INVALID_HANDLE_VALUE);
    ReleaseFileStream(&f);
    DeleteFileA(path);
}

} // namespace
