// The real KXPTPCLS.DLL, loaded by bare name, driven slot by slot against its embedded virtual
// camera: data crosses only through streams and records, results and events as mapped.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver_interface.h"
#include "scenario.h"

using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::Scenario;
using testing_support::WriteFileBytes;

namespace {

struct Recorded {
    uint32_t code, word;
    DWORD thread;
};
std::mutex eventsMutex;
std::vector<Recorded> events;

int32_t RecordEvent(uint32_t code, const uint32_t* data, uint32_t, uint32_t) {
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.push_back({code, data ? data[0] : 0xFFFFFFFF, GetCurrentThreadId()});
    return 0;
}

std::vector<Recorded> TakeEvents() {
    std::lock_guard<std::mutex> lock(eventsMutex);
    std::vector<Recorded> taken;
    taken.swap(events);
    return taken;
}

std::vector<uint32_t> progressSeen;
DriverResult RecordProgress(uint32_t percent, uint32_t, uint32_t) {
    progressSeen.push_back(percent);
    return 0;
}

// One scenario, the library loaded from it, and its object.
class Driver {
  public:
    explicit Driver(const std::string& profile) : scenario(profile) { scenario.UseLibraryHere(); }
    ~Driver() { Unload(); }
    bool Load() {
        module = LoadLibraryA("KXPTPCLS.DLL");
        if (!module)
            return false;
        auto get = reinterpret_cast<pGet_kxCPTPClassFn>(
            reinterpret_cast<void*>(GetProcAddress(module, KX_GET_CLASS_EXPORT)));
        camera = get ? get() : nullptr;
        return camera != nullptr;
    }
    void Unload() {
        if (camera) {
            auto release = reinterpret_cast<Free_kxCPTPClassFn>(
                reinterpret_cast<void*>(GetProcAddress(module, KX_FREE_CLASS_EXPORT)));
            release(camera);
            camera = nullptr;
        }
        if (module)
            FreeLibrary(module);
        module = nullptr;
        SetDllDirectoryA(nullptr);
    }
    // Enumerates and reads the device list back.
    DriverResult Enumerate(uint32_t& count, std::string& records) {
        CameraStream s = NewStream();
        DriverResult r = camera->EnumerateDevices(&count, &s);
        records = Data(s);
        ReleaseMemoryStream(&s);
        return r;
    }
    DriverResult Open() {
        uint32_t count = 0;
        std::string records;
        DriverResult r = Enumerate(count, records);
        if (r != 0)
            return r;
        if (count < 1 || records.size() < 12)
            return -100;
        return camera->OpenDevice(records.data() + 12, RecordEvent, 0, &device);
    }
    static CameraStream NewStream() {
        CameraStream s;
        memset(&s, 0, sizeof s);
        CreateMemoryStream(0, 10240, 0, nullptr, 0, kStreamTagMemory, &s);
        return s;
    }
    static std::string Data(CameraStream& s) {
        uint32_t length = 0;
        void* data = nullptr;
        if (GetStreamData(&s, &length, &data) != 0 || !data)
            return std::string();
        return std::string(static_cast<char*>(data), length);
    }
    std::vector<uint32_t> List(DriverResult (CPTPClass::*)(uint32_t, CameraStream*),
                               DriverResult* result) {
        CameraStream s = NewStream();
        *result = camera->GetStorageIDs(device, &s);
        std::vector<uint32_t> items = Items(Data(s));
        ReleaseMemoryStream(&s);
        return items;
    }
    static std::vector<uint32_t> Items(const std::string& data) {
        std::vector<uint32_t> items;
        if (data.size() < 12)
            return items;
        int32_t count;
        memcpy(&count, data.data() + 4, 4);
        for (int32_t i = 0; i < count && 12 + 4 * (i + 1) <= static_cast<int32_t>(data.size());
             ++i) {
            uint32_t v;
            memcpy(&v, data.data() + 12 + 4 * i, 4);
            items.push_back(v);
        }
        return items;
    }
    uint32_t FirstStorage() {
        DriverResult r;
        std::vector<uint32_t> ids = List(&CPTPClass::GetStorageIDs, &r);
        return ids.empty() ? 0 : ids[0];
    }
    DriverResult Send(const std::string& name, const std::string& bytes) {
        const std::string local = scenario.Path("outgoing.bin");
        WriteFileBytes(local, bytes);
        ObjectInfoRecord info = {};
        info.objectFormat = kObjectFormatFirmware;
        info.objectSize = static_cast<uint32_t>(bytes.size());
        info.nameCount = static_cast<uint8_t>(name.size() + 1);
        memcpy(info.name, name.c_str(), name.size() + 1);
        uint32_t a = 0, b = 0, c = 0;
        DriverResult r = camera->SendObjectInfo(device, 0, 0, &info, &a, &b, &c);
        if (r != 0)
            return r;
        CameraStream f;
        memset(&f, 0, sizeof f);
        CreateFileStream(local.c_str(), 1, RecordProgress, 0, kStreamTagSendFile, &f);
        progressSeen.clear();
        r = camera->SendObject(device, info.objectSize, &f);
        ReleaseFileStream(&f);
        return r;
    }

    Scenario scenario;
    HMODULE module = nullptr;
    CPTPClass* camera = nullptr;
    uint32_t device = 0;
};

TEST(Driver, EnumeratesTheProfilesCameras) {
    for (uint32_t cameras : {0u, 1u, 2u}) {
        Driver d("camera.count = " + std::to_string(cameras) + "\n");
        ASSERT_TRUE(d.Load());
        uint32_t count = 99;
        std::string records;
        EXPECT_EQ(d.Enumerate(count, records), 0);
        EXPECT_EQ(count, cameras);
        EXPECT_EQ(Driver::Items(records).size(), cameras) << "one record per camera";
    }
}

TEST(Driver, BadSettingsFailEnumerationAsNotInstalled) {
    Driver d("");
    d.scenario.SetSettings("transport = carrier-pigeon\n");
    ASSERT_TRUE(d.Load());
    uint32_t count = 7;
    std::string records;
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    EXPECT_EQ(count, 7u);
    d.scenario.SetSettings("transport = virtual\nprofile = missing.ini\n");
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    d.scenario.SetSettings("transport = ptpip\n");
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    d.scenario.SetSettings("\x01\x02 garbage \xff\n");
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
}

TEST(Driver, NoSettingsFileMeansTheDefaultVirtualCamera) {
    Driver d("");
    DeleteFileA(d.scenario.Path("KXPTPCLS.ini").c_str());
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    uint8_t model[512] = {};
    ASSERT_EQ(d.camera->GetDevicePropValue(d.device, kPropModelName, model, 0), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(model + 1), "Tarvo Camera X1");
    EXPECT_EQ(model[0], strlen("Tarvo Camera X1") + 1);
    EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
}

TEST(Driver, PropertiesFromTheVendorValuesOrDerived) {
    for (const char* vendor : {"yes", "no"}) {
        Driver d(std::string("camera.vendor_properties = ") + vendor +
                 "\ncamera.model = Tarvo Camera Z9\ncamera.firmware = 2.5.0.128\n"
                 "battery.state = 2\n");
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0) << vendor;
        uint32_t battery = 0, version = 0;
        uint8_t model[512] = {};
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropBattery, &battery, 0), 0);
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropFirmwareVersion, &version, 0), 0);
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropModelName, model, 0), 0);
        EXPECT_EQ(battery, 2u) << vendor;
        EXPECT_EQ(version, 0x02050080u) << vendor;
        EXPECT_STREQ(reinterpret_cast<char*>(model + 1), "Tarvo Camera Z9") << vendor;
        uint32_t other = 0;
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, 0xD099, &other, 0), kDriverNotSupported);
    }
}

TEST(Driver, StorageFactsOfLargeProtectedAndMissingCards) {
    {
        Driver d("card.capacity = 64G\ncard.free = 40G\ncard.write_protected = yes\n");
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0);
        StorageRecord record;
        memset(&record, 0xEE, sizeof record);
        ASSERT_EQ(d.camera->GetStorageInfo(d.device, d.FirstStorage(), &record), 0);
        EXPECT_EQ(record.maxCapacity, 64ull << 30);
        EXPECT_EQ(record.freeSpace, 40ull << 30);
        EXPECT_EQ(record.accessCapability, 1);
    }
    {
        Driver d("card.present = no\n");
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0);
        DriverResult r;
        EXPECT_TRUE(d.List(&CPTPClass::GetStorageIDs, &r).empty());
        EXPECT_EQ(r, 0);
        StorageRecord record = {};
        EXPECT_EQ(d.camera->GetStorageInfo(d.device, 0x00010001, &record),
                  kDriverStoreNotAvailable);
    }
}

TEST(Driver, ObjectsOfACardWithMixedCaseNames) {
    Driver d("");
    WriteFileBytes(d.scenario.card() + "\\ReadMe.TXT", "abc");
    testing_support::MakeFolders(d.scenario.card() + "\\DCIM\\Sub");
    WriteFileBytes(d.scenario.card() + "\\DCIM\\Sub\\pic0001.JPG", std::string(5000, 'j'));
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    const uint32_t storage = d.FirstStorage();
    uint32_t count = 0;
    ASSERT_EQ(d.camera->GetNumObjects(d.device, storage, 0, 0, &count), 0);
    CameraStream s = Driver::NewStream();
    ASSERT_EQ(d.camera->GetObjectHandles(d.device, storage, 0, 0, &s), 0);
    std::vector<uint32_t> handles = Driver::Items(Driver::Data(s));
    ReleaseMemoryStream(&s);
    EXPECT_EQ(handles.size(), count);
    std::vector<std::string> names;
    for (uint32_t handle : handles) {
        CameraStream e = Driver::NewStream();
        ASSERT_EQ(d.camera->GetObjectEntry(d.device, storage, 0, 0, handle, &e), 0);
        std::string entry = Driver::Data(e);
        ReleaseMemoryStream(&e);
        ASSERT_GE(entry.size(), 32u);
        names.push_back(entry.c_str() + 31);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "ReadMe.TXT"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "pic0001.JPG"), names.end());
}

TEST(Driver, SendsAMultiMegabyteFileByteForByteWithRisingProgress) {
    Driver d("");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    const std::string bytes = PatternBytes(5 * 1024 * 1024 + 333, 7);
    ASSERT_EQ(d.Send("UPDATE.FIR", bytes), 0);
    std::string arrived;
    ASSERT_TRUE(ReadFileBytes(d.scenario.card() + "\\UPDATE.FIR", arrived));
    EXPECT_TRUE(arrived == bytes);
    ASSERT_FALSE(progressSeen.empty());
    EXPECT_EQ(progressSeen.front(), 0u);
    EXPECT_EQ(progressSeen.back(), 100u);
    for (size_t i = 1; i < progressSeen.size(); ++i)
        EXPECT_GT(progressSeen[i], progressSeen[i - 1]) << "reported only when it changes";

    // An empty file still completes, and a name already on the card is refused.
    ASSERT_EQ(d.Send("EMPTY.BIN", ""), 0);
    EXPECT_EQ(progressSeen.back(), 100u);
    EXPECT_NE(d.Send("UPDATE.FIR", "other"), 0);
    ASSERT_TRUE(ReadFileBytes(d.scenario.card() + "\\UPDATE.FIR", arrived));
    EXPECT_TRUE(arrived == bytes) << "nothing on the card is overwritten";
}

TEST(Driver, FileStreamFailuresPassThrough) {
    Driver d("");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    ObjectInfoRecord info = {};
    info.objectSize = 10;
    info.nameCount = 6;
    strcpy(info.name, "A.BIN");
    uint32_t a, b, c;
    ASSERT_EQ(d.camera->SendObjectInfo(d.device, 0, 0, &info, &a, &b, &c), 0);
    CameraStream f;
    memset(&f, 0, sizeof f);
    CreateFileStream(d.scenario.Path("no-such-file").c_str(), 1, nullptr, 0, 3, &f);
    EXPECT_EQ(d.camera->SendObject(d.device, 10, &f), kStreamOpenFailed);
    ReleaseFileStream(&f);
    EXPECT_EQ(GetFileAttributesA((d.scenario.card() + "\\A.BIN").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Driver, InjectedResponsesMapToTheirResults) {
    const struct {
        const char* profile;
        DriverResult expected;
    } rows[] = {
        {"fault.response.operation = GetStorageIDs\nfault.response.code = 0x2019\n", kDriverBusy},
        {"fault.response.operation = GetStorageIDs\nfault.response.code = 0x2005\n",
         kDriverNotSupported},
        {"fault.response.operation = GetStorageIDs\nfault.response.code = 0x2013\n",
         kDriverStoreNotAvailable},
        {"fault.response.operation = GetStorageIDs\nfault.response.code = 0x2002\n",
         kDriverGeneralError},
        {"fault.drop.operation = GetStorageIDs\n", kDriverConnectionLost},
    };
    for (const auto& row : rows) {
        Driver d(row.profile);
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0) << row.profile;
        DriverResult r;
        d.List(&CPTPClass::GetStorageIDs, &r);
        EXPECT_EQ(r, row.expected) << row.profile;
        // Afterwards the device is closed harmlessly, whatever became of the connection.
        EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
    }
}

TEST(Driver, OperationsOnALostDeviceFailAtOnce) {
    Driver d("fault.drop.operation = GetStorageIDs\n");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    DriverResult r;
    d.List(&CPTPClass::GetStorageIDs, &r);
    EXPECT_EQ(r, kDriverConnectionLost);
    uint32_t value = 0;
    EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropBattery, &value, 0),
              kDriverConnectionLost);
    EXPECT_EQ(d.camera->GetDevicePropValue(d.device + 1, kPropBattery, &value, 0), kDriverNoCamera);
    EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
    EXPECT_EQ(d.camera->CloseDevice(d.device), kDriverNoCamera);
}

TEST(Driver, EventsReachTheCallbackOnTheLibrarysThread) {
    const struct {
        const char* profile;
        uint32_t code, word;
    } rows[] = {
        {"fault.power_down.operation = GetStorageInfo\nfault.power_down.reason = 1\n"
         "fault.power_down.disconnect = no\n",
         0x40001, 0},
        {"fault.power_down.operation = GetStorageInfo\nfault.power_down.reason = 3\n"
         "fault.power_down.data = 9\nfault.power_down.disconnect = no\n",
         0x40003, 9},
        {"fault.store_removed.operation = GetStorageInfo\n", 0x40003, 0},
        {"fault.drop.operation = GetStorageInfo\n", 0x4000D, 0},
    };
    for (const auto& row : rows) {
        TakeEvents();
        Driver d(row.profile);
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0);
        StorageRecord record = {};
        d.camera->GetStorageInfo(d.device, d.FirstStorage(), &record);
        std::vector<Recorded> got;
        for (int i = 0; i < 200 && got.empty(); ++i) {
            Sleep(10);
            got = TakeEvents();
        }
        ASSERT_FALSE(got.empty()) << row.profile;
        EXPECT_EQ(got[0].code, row.code) << row.profile;
        EXPECT_EQ(got[0].word, row.word) << row.profile;
        EXPECT_NE(got[0].thread, GetCurrentThreadId());
        d.camera->CloseDevice(d.device);
    }
}

} // namespace

namespace {

// The vcam server (the Windows build) on a free loopback port, for the PTP/IP transport.
class VcamServer {
  public:
    VcamServer(const std::string& profile, const std::string& card) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        CreatePipe(&readEnd, &writeEnd, &sa, 0);
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = writeEnd;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        const std::string exe = testing_support::ExeFolder() + "\\..\\..\\vcam\\vcam.exe";
        std::string command = "\"" + exe + "\" --quiet --port 0 --profile \"" + profile +
                              "\" --card \"" + card + "\"";
        PROCESS_INFORMATION pi = {};
        if (CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &si, &pi)) {
            process_ = pi.hProcess;
            CloseHandle(pi.hThread);
        }
        CloseHandle(writeEnd);
        // "vcam listening on 127.0.0.1:PORT"
        std::string line;
        char c;
        DWORD n = 0;
        while (process_ && line.size() < 200 && ReadFile(readEnd, &c, 1, &n, nullptr) && n == 1 &&
               c != '\n')
            line += c;
        CloseHandle(readEnd);
        const size_t colon = line.rfind(':');
        if (colon != std::string::npos)
            port = atoi(line.c_str() + colon + 1);
    }
    ~VcamServer() {
        if (process_) {
            TerminateProcess(process_, 0);
            WaitForSingleObject(process_, 5000);
            CloseHandle(process_);
        }
    }
    int port = 0;

  private:
    HANDLE process_ = nullptr;
};

TEST(DriverOverPtpIp, SendsAndQueriesAVcamServer) {
    Driver d("");
    WriteFileBytes(d.scenario.card() + "\\Existing.JPG", "jpeg");
    VcamServer server(d.scenario.Path("camera.ini"), d.scenario.card());
    ASSERT_GT(server.port, 0);
    d.scenario.SetSettings("transport = ptpip\nhosts = 127.0.0.1:" + std::to_string(server.port) +
                           "\n");
    ASSERT_TRUE(d.Load());
    uint32_t count = 0;
    std::string records;
    ASSERT_EQ(d.Enumerate(count, records), 0);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(d.camera->OpenDevice(records.data() + 12, RecordEvent, 0, &d.device), 0)
        << "the connection enumeration made is the one opened";
    uint8_t model[512] = {};
    ASSERT_EQ(d.camera->GetDevicePropValue(d.device, kPropModelName, model, 0), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(model + 1), "Tarvo Camera X1");
    uint32_t objects = 0;
    EXPECT_EQ(d.camera->GetNumObjects(d.device, d.FirstStorage(), 0, 0, &objects), 0);
    EXPECT_EQ(objects, 1u);
    const std::string bytes = PatternBytes(3 * 1024 * 1024 + 17, 11);
    ASSERT_EQ(d.Send("NET.FIR", bytes), 0);
    EXPECT_EQ(progressSeen.back(), 100u);
    EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
    std::string arrived;
    ASSERT_TRUE(ReadFileBytes(d.scenario.card() + "\\NET.FIR", arrived));
    EXPECT_TRUE(arrived == bytes);
}

TEST(DriverOverPtpIp, NothingListeningCountsNoCamera) {
    Driver d("");
    d.scenario.SetSettings("transport = ptpip\nhosts = 127.0.0.1:9, 127.0.0.1:1\n"
                           "connect_timeout_ms = 500\n");
    ASSERT_TRUE(d.Load());
    uint32_t count = 99;
    std::string records;
    EXPECT_EQ(d.Enumerate(count, records), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Driver::Items(records).size(), 0u);
}

} // namespace
