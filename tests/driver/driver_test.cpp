// The real KXPTPCLS.DLL, loaded by bare name, driven slot by slot against its embedded virtual
// camera: data crosses only through streams and records, results and events as mapped.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "driver_interface.h"
#include "ptp/codes.h"
#include "ptp/ptpip.h"
#include "identity.h"
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
    // Enumerates and reads the device list back (with another object of the library: `by`).
    DriverResult Enumerate(uint32_t& count, std::string& records, CPTPClass* by = nullptr) {
        CameraStream s = NewStream();
        DriverResult r = (by ? by : camera)->EnumerateDevices(&count, &s);
        records = Data(s);
        ReleaseMemoryStream(&s);
        return r;
    }
    DriverResult Open(CameraEventCallback callback = RecordEvent) {
        uint32_t count = 0;
        std::string records;
        DriverResult r = Enumerate(count, records);
        if (r != 0)
            return r;
        if (count < 1 || records.size() < 12)
            return -100;
        return camera->OpenDevice(records.data() + 12, callback, 0, &device);
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
    // The card as the wizard's check walks it: each object's name and format, and each whole
    // entry in `entries`. A listing whose count and handles disagree fails with -200.
    DriverResult Walk(std::map<std::string, uint16_t>& objects,
                      std::vector<std::string>* entries = nullptr) {
        objects.clear();
        DriverResult r;
        const std::vector<uint32_t> ids = List(&CPTPClass::GetStorageIDs, &r);
        if (r != 0 || ids.empty())
            return r != 0 ? r : kDriverStoreNotAvailable;
        uint32_t count = 0;
        if ((r = camera->GetNumObjects(device, ids[0], 0, 0, &count)) != 0)
            return r;
        CameraStream s = NewStream();
        r = camera->GetObjectHandles(device, ids[0], 0, 0, &s);
        const std::vector<uint32_t> handles = Items(Data(s));
        ReleaseMemoryStream(&s);
        if (r == 0 && handles.size() != count)
            return -200;
        for (size_t i = 0; r == 0 && i < handles.size(); ++i) {
            CameraStream e = NewStream();
            r = camera->GetObjectEntry(device, ids[0], 0, 0, handles[i], &e);
            const std::string entry = Data(e);
            ReleaseMemoryStream(&e);
            ObjectEntryRecord record = {};
            memcpy(&record, entry.data(), std::min(entry.size(), sizeof record));
            if (r == 0)
                objects[record.name] = record.objectFormat;
            if (r == 0 && entries)
                entries->push_back(entry);
        }
        return r;
    }
    // The names the card folder holds, as Walk gives them.
    std::vector<std::string> FolderNames() {
        std::vector<std::string> names;
        for (const auto& file : testing_support::ListFiles(scenario.card()))
            names.push_back(file.first.substr(file.first.find_last_of('\\') + 1));
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::vector<std::string> Names(const std::map<std::string, uint16_t>& objects) {
        std::vector<std::string> names;
        for (const auto& object : objects)
            names.push_back(object.first);
        return names;
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

// A bad file fails enumeration, and the trace (its own line is taken) says why.
TEST(Driver, BadSettingsFailEnumerationAsNotInstalled) {
    Driver d("");
    d.scenario.SetSettings("transport = carrier-pigeon\ntrace = trace.txt\n");
    ASSERT_TRUE(d.Load());
    uint32_t count = 7;
    std::string records;
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    EXPECT_EQ(count, 7u);
    d.scenario.SetSettings("transport = virtual\nprofile = missing.ini\ntrace = trace.txt\n");
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    std::string trace;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("trace.txt"), trace));
    for (const char* expected : {"settings not read: line 1: bad transport",
                                 "virtual camera: profile not read: cannot open"})
        EXPECT_NE(trace.find(expected), std::string::npos) << expected << "\n" << trace;
    d.scenario.SetSettings("transport = ptpip\n");
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    d.scenario.SetSettings("\x01\x02 garbage \xff\n");
    EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled);
    for (const char* bad :
         {"verify = bytes\n", "floor_kb_per_second = 2000000\n", "handshake_timeout_ms = 50\n"}) {
        d.scenario.SetSettings(std::string("transport = virtual\n") + bad);
        EXPECT_EQ(d.Enumerate(count, records), kDriverNotInstalled) << bad;
    }
}

TEST(Driver, WithoutSettingsOnlyUsbCamerasAreLookedFor) {
    // Under Wine Windows Portable Devices is missing: no camera, honestly, and no virtual card.
    Driver d("");
    RemoveDirectoryA(d.scenario.card().c_str());
    ASSERT_TRUE(d.Load());
    for (const char* settings : {"", "transport = usb\n"}) {
        if (*settings)
            d.scenario.SetSettings(settings);
        else
            DeleteFileA(d.scenario.Path("KXPTPCLS.ini").c_str());
        uint32_t count = 7;
        std::string records;
        EXPECT_EQ(d.Enumerate(count, records), 0) << settings;
        EXPECT_EQ(count, 0u) << settings;
        EXPECT_EQ(GetFileAttributesA(d.scenario.card().c_str()), INVALID_FILE_ATTRIBUTES);
    }
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
    std::map<std::string, uint16_t> objects;
    ASSERT_EQ(d.Walk(objects), 0);
    EXPECT_EQ(Driver::Names(objects),
              (std::vector<std::string>{"DCIM", "ReadMe.TXT", "Sub", "pic0001.JPG"}));
    EXPECT_EQ(objects["DCIM"], 0x3001) << "folders are associations";
}

// A camera's MTP property lists give every entry as its GetObjectInfo would, in a few
// transactions: the GetObjectInfo that would fail is never asked. One that refuses the lists
// is asked one object at a time; one that fails while listing fails the walk.
TEST(Driver, PropertyListsGiveTheEntriesObjectInfoGives) {
    const std::string lists = "camera.object_prop_list = yes\n";
    const struct {
        std::string profile;
        DriverResult expected;
    } rows[] = {
        {"", 0},
        {lists + "fault.response.operation = GetObjectInfo\n", 0},
        {lists + "fault.response.operation = GetObjectPropList\nfault.response.code = 0x2005\n", 0},
        {lists + "fault.drop.operation = GetObjectPropList\nfault.drop.occurrence = 3\n",
         kDriverConnectionLost},
    };
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        Driver d(row.profile);
        for (int i = 0; i < 20; ++i)
            WriteFileBytes(d.scenario.card() + "\\IMG_" + std::to_string(i) + ".JPG",
                           std::string(i * 100, 'j'));
        testing_support::MakeFolders(d.scenario.card() + "\\DCIM\\Sub");
        WriteFileBytes(d.scenario.card() + "\\DCIM\\Sub\\R\xC9SUM\xC9.TXT", "e");
        SetFileAttributesA((d.scenario.card() + "\\IMG_3.JPG").c_str(), FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0) << row.profile;
        std::map<std::string, uint16_t> objects;
        std::vector<std::string> entries;
        EXPECT_EQ(d.Walk(objects, &entries), row.expected) << row.profile;
        if (row.expected == 0 && expected.empty()) {
            expected = entries;
        } else if (row.expected == 0) {
            EXPECT_TRUE(entries == expected) << row.profile << " gave other entries";
        }
        EXPECT_EQ(objects.count("R\xC9SUM\xC9.TXT"), row.expected == 0 ? 1u : 0u);
        SetFileAttributesA((d.scenario.card() + "\\IMG_3.JPG").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    ASSERT_EQ(expected.size(), 23u);
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

TEST(Driver, SendsAreConfirmedOnTheCardAndFailuresLeaveNothing) {
    const struct {
        const char* profile;
        const char* settings; // added to the scenario's
        DriverResult expected;
        uint16_t format; // the object's on the card; 0: nothing may be there
    } rows[] = {
        {"", "", 0, kObjectFormatFirmware},
        {"fault.corrupt_read.offset = 70000\n", "", kDriverVerifyFailed, 0},
        {"fault.corrupt_read.offset = 70000\n", "verify = size\n", 0, kObjectFormatFirmware},
        {"card.keep_incomplete = yes\nfault.response.after_bytes = 100000\n", "",
         kDriverGeneralError, 0},
        {"camera.vendor_formats = no\n", "", 0, 0x3000},
        {"camera.vendor_formats = no\ncamera.vendor_format_refusal = 0x2006\n", "", 0, 0x3000},
        // A camera that decides for itself is never asked to: the file is at the card's root.
        {"camera.responder_decides = dcim\n", "", 0, kObjectFormatFirmware},
        {"storage.empty_slots = 0x00010000\nstorage.card_id = 0x00020001\n"
         "storage.slots_hang = yes\n",
         "", 0, kObjectFormatFirmware},
        // The upload itself refused: this camera cannot take this update.
        {"fault.response.operation = SendObjectInfo\nfault.response.code = 0x200F\n", "",
         kDriverNotSupported, 0},
        {"fault.response.operation = SendObjectInfo\nfault.response.code = 0x201D\n", "",
         kDriverNotSupported, 0},
    };
    for (const auto& row : rows) {
        Driver d(row.profile);
        d.scenario.SetSettings(std::string("transport = virtual\nprofile = camera.ini\n") +
                               "card = card\n" + row.settings);
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0) << row.profile;
        const std::string bytes = PatternBytes(300000, 5);
        EXPECT_EQ(d.Send("FW.BIN", bytes), row.expected) << row.profile << row.settings;
        std::map<std::string, uint16_t> objects;
        ASSERT_EQ(d.Walk(objects), 0) << row.profile;
        EXPECT_EQ(Driver::Names(objects), d.FolderNames()) << "the card as the camera has it";
        std::string arrived;
        if (row.format) {
            EXPECT_EQ(objects["FW.BIN"], row.format) << row.profile;
            ASSERT_TRUE(ReadFileBytes(d.scenario.card() + "\\FW.BIN", arrived));
            EXPECT_TRUE(arrived == bytes) << row.profile;
        } else {
            EXPECT_TRUE(objects.empty()) << row.profile << ": nothing of a failed send stays";
        }
    }
}

// The trace a user sends from the field: each call with its answer, each event, the facts of
// the device; never a byte of a file.
TEST(Driver, TheTraceRecordsCallsEventsAndFactsButNoFileContents) {
    Driver d("fault.power_down.operation = SendObject\nfault.power_down.disconnect = no\n"
             "fault.response.operation = GetNumObjects\nfault.response.code = 0x2013\n"
             "fault.corrupt_read.occurrence = 2\nfault.corrupt_read.offset = 4321\n"
             "property.0x5001 = 0x5001 UINT8 70 {0,70}+3\n");
    d.scenario.SetSettings("transport = virtual\nprofile = camera.ini\ncard = card\n"
                           "trace = trace.txt\n");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    const std::string bytes = PatternBytes(70000, 9);
    ASSERT_EQ(d.Send("FW.BIN", bytes), 0);
    EXPECT_EQ(d.Send("NEXT.BIN", bytes), kDriverVerifyFailed);
    uint32_t count = 0;
    EXPECT_EQ(d.camera->GetNumObjects(d.device, d.FirstStorage(), 0, 0, &count),
              kDriverStoreNotAvailable);
    d.camera->CloseDevice(d.device);
    std::string trace;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("trace.txt"), trace));
    // The first line names the library, the date and the settings in effect.
    EXPECT_EQ(trace.find(" KXPTPCLS.DLL "), 12u) << trace.substr(0, 200);
    for (const char* expected :
         {"; settings: transport = virtual, profile = ", ", timeout_ms = 10000",
          "enumerate: 1 camera(s), result 0", "device: \"Tarvo\" \"Tarvo Camera X1\" version",
          "stores: 0x00010001", "SendObjectInfo (0x100C) [0x00010001, 0xFFFFFFFF] out ",
          "SendObject (0x100D) [] out 70000 B -> OK (0x2001) []",
          "GetObject (0x1009) [0x00000001] in 70000 B -> OK",
          "event PowerDown (0xC001) [0x00000001", "announced \"FW.BIN\" as \"~kxptpcls-",
          "renamed object 0x00000001 to \"FW.BIN\"",
          // Which check failed, with what values, and what became of the file.
          "read back \"~kxptpcls-", "the bytes differ at offset 4321", "deleted \"~kxptpcls-",
          "GetNumObjects (0x1006) [0x00010001, 0x00000000, 0x00000000] -> StoreNotAvailable",
          "result 135"})
        EXPECT_NE(trace.find(expected), std::string::npos) << expected << "\n" << trace;
    EXPECT_LT(trace.size(), 12000u);
    EXPECT_EQ(trace.find(bytes.substr(1000, 12)), std::string::npos) << "no file contents";
}

TEST(Driver, TheTraceKeepsItsBoundAcrossRuns) {
    Driver d("");
    d.scenario.SetSettings("transport = virtual\nprofile = camera.ini\ntrace = trace.txt\n");
    // A trace grown to its bound by earlier runs takes one line more, which says so.
    WriteFileBytes(d.scenario.Path("trace.txt"), std::string((8u << 20) - 100, 'x'));
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    d.camera->CloseDevice(d.device);
    std::string trace;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("trace.txt"), trace));
    EXPECT_LE(trace.size(), 8u << 20);
    EXPECT_NE(trace.find("trace: size limit reached"), std::string::npos);
}

// Announces A.BIN (its handle in `announced`), then sends it from a file that does not exist;
// SendObject's result, or -1 when the announcement failed.
DriverResult SendAnnouncedMissingFile(Driver& d, uint32_t* announced = nullptr) {
    ObjectInfoRecord info = {};
    info.objectSize = 10;
    info.nameCount = 6;
    strcpy(info.name, "A.BIN");
    uint32_t storage, parent, handle;
    if (d.camera->SendObjectInfo(d.device, 0, 0, &info, &storage, &parent, &handle) != 0)
        return -1;
    if (announced)
        *announced = handle;
    CameraStream file;
    memset(&file, 0, sizeof file);
    CreateFileStream(d.scenario.Path("no-such-file").c_str(), 1, nullptr, 0, 3, &file);
    const DriverResult r = d.camera->SendObject(d.device, 10, &file);
    ReleaseFileStream(&file);
    return r;
}

// A caller that sends after an announcement that failed is told so, and nothing goes: no
// object would be there to confirm.
TEST(Driver, ASendWithoutAnAnnouncementSendsNothing) {
    Driver d("fault.response.operation = SendObjectInfo\nfault.response.code = 0x2002\n");
    d.scenario.SetSettings("transport = virtual\nprofile = camera.ini\ntrace = trace.txt\n");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    WriteFileBytes(d.scenario.Path("A.BIN"), "0123456789");
    ObjectInfoRecord info = {};
    info.objectSize = 10;
    info.nameCount = 6;
    strcpy(info.name, "A.BIN");
    uint32_t storage, parent, handle;
    EXPECT_EQ(d.camera->SendObjectInfo(d.device, 0, 0, &info, &storage, &parent, &handle),
              kDriverGeneralError);
    CameraStream file;
    memset(&file, 0, sizeof file);
    ASSERT_EQ(CreateFileStream(d.scenario.Path("A.BIN").c_str(), 1, nullptr, 0, 3, &file), 0);
    EXPECT_EQ(d.camera->SendObject(d.device, 10, &file), kDriverGeneralError);
    ReleaseFileStream(&file);
    d.camera->CloseDevice(d.device);
    std::string trace;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("trace.txt"), trace));
    EXPECT_EQ(trace.find("SendObject (0x100D)"), std::string::npos) << trace;
    EXPECT_NE(trace.find("send: no object was announced"), std::string::npos) << trace;
    EXPECT_TRUE(d.FolderNames().empty());
}

TEST(Driver, FileStreamFailuresPassThrough) {
    Driver d("");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    EXPECT_EQ(SendAnnouncedMissingFile(d), kStreamOpenFailed);
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

// A callback that calls the library back, as it must not: refused at once, not a deadlock.
CPTPClass* reentered = nullptr;
uint32_t reenteredDevice = 0;
std::atomic<DriverResult> closedFromCallback{-100}, askedFromCallback{-100};
int32_t CloseFromCallback(uint32_t, const uint32_t*, uint32_t, uint32_t) {
    StorageRecord record;
    askedFromCallback = reentered->GetStorageInfo(reenteredDevice, 0x00010001, &record);
    closedFromCallback = reentered->CloseDevice(reenteredDevice);
    return 0;
}

TEST(Driver, TheLibraryCalledFromItsEventCallbackRefusesAtOnce) {
    Driver d("fault.power_down.operation = GetStorageInfo\nfault.power_down.occurrence = 1\n"
             "fault.power_down.disconnect = no\n");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(CloseFromCallback), 0);
    reentered = d.camera;
    reenteredDevice = d.device;
    StorageRecord record;
    d.camera->GetStorageInfo(d.device, d.FirstStorage(), &record);
    for (int i = 0; i < 200 && closedFromCallback == -100; ++i)
        Sleep(50);
    EXPECT_EQ(closedFromCallback, kDriverBusy) << "the callback returned";
    EXPECT_EQ(askedFromCallback, kDriverBusy);
    EXPECT_EQ(d.camera->CloseDevice(d.device), 0) << "the device stayed open";
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

// GetStorageInfo on a thread of its own.
struct PendingCall {
    Driver* d;
    uint32_t storage;
    DriverResult result = -100;

    static DWORD WINAPI Run(LPVOID self) {
        PendingCall* c = static_cast<PendingCall*>(self);
        StorageRecord record = {};
        c->result = c->d->camera->GetStorageInfo(c->d->device, c->storage, &record);
        return 0;
    }
};

TEST(Driver, CloseDeviceFromAnotherThreadEndsAHungCall) {
    Driver d("delay.ms = 600000\ndelay.operation = GetStorageInfo\n");
    d.scenario.SetSettings("transport = virtual\nprofile = camera.ini\ncard = card\n"
                           "timeout_ms = 600000\n");
    ASSERT_TRUE(d.Load());
    ASSERT_EQ(d.Open(), 0);
    PendingCall call{&d, d.FirstStorage()};
    HANDLE thread = CreateThread(nullptr, 0, PendingCall::Run, &call, 0, nullptr);
    Sleep(1000); // the call is under way by now, waiting for a camera that says nothing
    EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
    ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0) << "the call ended";
    CloseHandle(thread);
    EXPECT_EQ(call.result, kDriverConnectionLost);
    uint32_t count = 0;
    EXPECT_EQ(d.camera->GetNumObjects(d.device, call.storage, 0, 0, &count), kDriverNoCamera);
    EXPECT_EQ(d.Open(), 0) << "the camera opens again";
}

TEST(Driver, CardAnswersFromMemoryAreNeverStale) {
    const struct {
        const char* profile;
        const char* change; // what happens between two walks of the card
    } rows[] = {
        {"fault.rescan.operation = GetStorageInfo\n", "a file appears, the camera says so"},
        {"fault.rescan.operation = GetStorageInfo\n", "a file goes, the camera says so"},
        {"camera.object_prop_list = yes\nfault.rescan.operation = GetStorageInfo\n",
         "a file appears among many listed, the camera says so"},
        {"", "a file appears, a new session"},
        {"card.keep_incomplete = yes\nfault.response.after_bytes = 1000\n"
         "fault.response.operation = DeleteObject\n",
         "a failed send leaves an object"},
        {"fault.store_removed.operation = GetStorageInfo\n", "the card is taken out"},
    };
    for (const auto& row : rows) {
        const std::string change = row.change;
        Driver d(row.profile);
        WriteFileBytes(d.scenario.card() + "\\OLD.JPG", "old");
        for (int i = 0; change.find("many") != std::string::npos && i < 20; ++i)
            WriteFileBytes(d.scenario.card() + "\\P" + std::to_string(i) + ".JPG", "p");
        ASSERT_TRUE(d.Load());
        ASSERT_EQ(d.Open(), 0) << change;
        std::map<std::string, uint16_t> objects;
        ASSERT_EQ(d.Walk(objects), 0) << change;
        if (change.find("appears") != std::string::npos)
            WriteFileBytes(d.scenario.card() + "\\NEW.JPG", "new");
        if (change.find("goes") != std::string::npos)
            DeleteFileA((d.scenario.card() + "\\OLD.JPG").c_str());
        if (change.find("new session") != std::string::npos) {
            EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
            ASSERT_EQ(d.Open(), 0);
        }
        if (change.find("send") != std::string::npos) {
            EXPECT_NE(d.Send("FW.BIN", PatternBytes(5000, 1)), 0);
        }
        StorageRecord record = {};
        d.camera->GetStorageInfo(d.device, 0x00010001, &record); // when the camera tells
        // The camera's events arrive on their own connection: each walk is answered as the
        // camera answered at that moment, so the change shows within a few walks.
        const bool removed = change.find("taken out") != std::string::npos;
        DriverResult r = 0;
        for (int i = 0; i < 250; ++i, Sleep(20)) {
            r = d.Walk(objects);
            if (removed ? r != 0 : Driver::Names(objects) == d.FolderNames())
                break;
        }
        if (removed)
            EXPECT_EQ(r, kDriverStoreNotAvailable) << change;
        else
            EXPECT_EQ(Driver::Names(objects), d.FolderNames()) << change;
        EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
    }
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

// Starts `server` and loads the library with settings that reach it, and `more`.
bool LoadOverVcam(Driver& d, testing_support::CameraServer& server, const std::string& more = "") {
    if (!server.Start())
        return false;
    d.scenario.SetSettings(server.Settings() + more);
    return d.Load();
}

TEST(DriverOverPtpIp, PropertiesOfOddCamerasAreCheckedAndRead) {
    const uint32_t kState = ptp::DPC_Vandrel_BatteryState;
    const uint32_t kFirmware = ptp::DPC_Vandrel_FirmwareVersion;
    // A camera of no vendor extension that lists BatteryLevel and the property it describes,
    // its one description answering every question; and then its DeviceVersion.
    const std::string odd = "camera.rename = no\ncamera.vendor_extension =\n"
                            "camera.vendor_properties = no\ncamera.device_version = 1.0\n"
                            "property.every = ";
    const std::string version = odd + "0x5001 UINT8 80\ncamera.device_version =";
    const std::string ours = "camera.rename = no\n"; // "tarvo.com: 1.0", vendor properties
    const struct {
        std::string profile;
        uint32_t asked;
        DriverResult expected;
        uint32_t value;
    } rows[] = {
        // BatteryLevel without the vendor state: its place in its range decides.
        {odd + "0x5001 UINT64 0 0..0x4000000000000000", kState, 0, 2},
        {odd + "0x5001 UINT64 0x2000000000000000 0..0x4000000000000000", kState, 0, 1},
        {odd + "0x5001 UINT8 55 50..100", kState, 0, 2},
        {odd + "0x5001 UINT8 90 50..100", kState, 0, 1},
        {odd + "0x5001 INT8 0x30 0xF6..0x32", kState, 0, 1}, // -10..50
        // A description of another property, or of another type, is refused.
        {odd + "0xD031 UINT32 0x01000102", kState, kDriverGeneralError, 0},
        {odd + "0xD003 UINT8 1", kState, kDriverGeneralError, 0},
        {odd + "0x5001 STR", kState, kDriverGeneralError, 0},
        // The version as the camera displays it, when it has no vendor version.
        {version + " 3-1.2.0", kFirmware, 0, 0x01020000},
        {version + " V1.10", kFirmware, 0, 0x010A0000},
        {version, kFirmware, 0, 0},
        {version + " 2.300.1", kFirmware, 0, 0x02FF0100},
        // A vendor property described as another is not there: BatteryLevel (80 %) stands in.
        {ours + "property.0xD003 = 0xD031 UINT32 0x01000102", kState, 0, 1},
        // Without the vendor state, BatteryLevel's range as wide as its type allows.
        {ours + "property.0xD003 = none\nproperty.0x5001 = 0x5001 UINT64 0 0..0x4000000000000000",
         kState, 0, 2},
    };
    for (const auto& row : rows) {
        Driver d(row.profile + "\n");
        testing_support::VcamServer server(d.scenario.folder());
        ASSERT_TRUE(LoadOverVcam(d, server)) << row.profile;
        ASSERT_EQ(d.Open(), 0) << row.profile;
        uint32_t value = 0xEEEEEEEE;
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, row.asked, &value, 0), row.expected)
            << row.profile;
        if (row.expected == 0) {
            EXPECT_EQ(value, row.value) << row.profile;
        }
        uint8_t model[512] = {};
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropModelName, model, 0), 0);
        EXPECT_STREQ(reinterpret_cast<char*>(model + 1), "Tarvo Camera X1");
        d.camera->CloseDevice(d.device);
    }
}

TEST(DriverOverPtpIp, AnAnnouncedFileThatCannotBeReadIsDeleted) {
    Driver d("");
    testing_support::VcamServer server(d.scenario.folder());
    ASSERT_TRUE(LoadOverVcam(d, server, "trace = trace.txt\n"));
    ASSERT_EQ(d.Open(), 0);
    uint32_t announced = 0;
    EXPECT_EQ(SendAnnouncedMissingFile(d, &announced), kStreamOpenFailed);
    // The library's trace of its calls: the last one deletes the handle announced.
    std::string trace;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("trace.txt"), trace));
    char handle[16];
    snprintf(handle, sizeof handle, "0x%08X", announced);
    const size_t deleted = trace.rfind(std::string("DeleteObject (0x100B) [") + handle);
    ASSERT_NE(deleted, std::string::npos) << trace;
    EXPECT_EQ(trace.find(" (0x1", trace.find('\n', deleted)), std::string::npos) << trace;
    d.camera->CloseDevice(d.device);
}

// A camera that pairs with an initiator knows it by its GUID: one per PC, the same each run.
TEST(DriverOverPtpIp, ThePcIntroducesItselfByAGuidOfItsOwn) {
    Driver d("");
    testing_support::VcamServer server(d.scenario.folder(), "camera.ini", "card", "vcam.log");
    ASSERT_TRUE(LoadOverVcam(d, server));
    ASSERT_EQ(d.Open(), 0);
    d.camera->CloseDevice(d.device);
    server.Kill();
    // The camera's trace: initiator "NAME" (GUID 32 hex digits, in the order sent) connected.
    std::string log;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("vcam.log"), log));
    const size_t at = log.find("(GUID ");
    ASSERT_TRUE(at != std::string::npos && at + 6 + 32 <= log.size()) << log;
    ptp::Guid sent{};
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(strtoul(log.substr(at + 6 + 2 * i, 2).c_str(), nullptr, 16));
    EXPECT_TRUE(sent == InstallationGuid()) << "the same on every run";
    EXPECT_FALSE(sent == GuidOfIdentity("another PC"));
    EXPECT_TRUE(GuidOfIdentity("another PC") == GuidOfIdentity("another PC"));
    EXPECT_EQ(sent[6] >> 4, 8) << "a name-based GUID of its vendor's making";
    EXPECT_EQ(sent[8] >> 6, 2);
}

TEST(DriverOverPtpIp, AnEventConnectionLostBeforeTheOpenIsNotSwallowed) {
    TakeEvents();
    Driver d("fault.close_events = yes\n");
    testing_support::VcamServer server(d.scenario.folder());
    ASSERT_TRUE(LoadOverVcam(d, server));
    uint32_t count = 0;
    std::string records;
    ASSERT_EQ(d.Enumerate(count, records), 0);
    ASSERT_EQ(count, 1u);
    Sleep(500); // the library notices the loss meanwhile, with no callback to hear of it
    const DriverResult r = d.camera->OpenDevice(records.data() + 12, RecordEvent, 0, &d.device);
    // Either the open fails, or the loss reaches the callback once it exists.
    std::vector<Recorded> got;
    for (int i = 0; r == 0 && i < 250 && got.empty(); ++i, Sleep(20))
        got = TakeEvents();
    if (r != 0) {
        EXPECT_EQ(r, kDriverConnectionLost);
    } else {
        ASSERT_EQ(got.size(), 1u) << "the loss is reported";
        EXPECT_EQ(got[0].code, 0x4000Du);
    }
}

TEST(DriverOverPtpIp, SendsAndQueriesAVcamServer) {
    Driver d("");
    WriteFileBytes(d.scenario.card() + "\\Existing.JPG", "jpeg");
    testing_support::VcamServer server(d.scenario.folder());
    ASSERT_TRUE(LoadOverVcam(d, server));
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

TEST(DriverOverPtpIp, ACameraHeldElsewhereIsBusyAndAFailedOpenLetsItGo) {
    Driver d("");
    testing_support::VcamServer server(d.scenario.folder());
    ASSERT_TRUE(LoadOverVcam(d, server));
    auto get = reinterpret_cast<pGet_kxCPTPClassFn>(
        reinterpret_cast<void*>(GetProcAddress(d.module, KX_GET_CLASS_EXPORT)));
    auto release = reinterpret_cast<Free_kxCPTPClassFn>(
        reinterpret_cast<void*>(GetProcAddress(d.module, KX_FREE_CLASS_EXPORT)));
    CPTPClass* other = get();
    uint32_t count = 0, otherCount = 0;
    std::string records, otherRecords;
    ASSERT_EQ(d.Enumerate(count, records), 0);
    ASSERT_EQ(count, 1u) << "this object now holds the camera's one session";
    EXPECT_EQ(d.Enumerate(otherCount, otherRecords, other), kDriverBusy);

    std::string wrong = records.substr(12);
    wrong[0] = 5; // no such camera: the open fails, and lets the session go
    EXPECT_EQ(d.camera->OpenDevice(wrong.data(), RecordEvent, 0, &d.device), kDriverNoCamera);
    EXPECT_EQ(d.Enumerate(otherCount, otherRecords, other), 0);
    EXPECT_EQ(otherCount, 1u);
    release(other); // and so does an object freed
    EXPECT_EQ(d.Open(), 0);
    EXPECT_EQ(d.camera->CloseDevice(d.device), 0);
}

TEST(DriverOverPtpIp, NothingListeningCountsNoCamera) {
    Driver d("");
    d.scenario.SetSettings("transport = ptpip\nhosts = 127.0.0.1:9, 127.0.0.1:1\n"
                           "connect_timeout_ms = 500\ntrace = trace.txt\n");
    ASSERT_TRUE(d.Load());
    uint32_t count = 99;
    std::string records;
    EXPECT_EQ(d.Enumerate(count, records), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Driver::Items(records).size(), 0u);
    // Each attempt is in the trace with the socket's own error.
    std::string trace;
    ASSERT_TRUE(ReadFileBytes(d.scenario.Path("trace.txt"), trace));
    for (const char* expected :
         {"connect 127.0.0.1:9: socket error 10061", "connect 127.0.0.1:1: socket error 10061"})
        EXPECT_NE(trace.find(expected), std::string::npos) << expected << "\n" << trace;
}

// Cameras nobody here wrote, through the library as the wizard uses it: what each says of
// itself, its card as the wizard walks it, and a file of a few megabytes sent, confirmed and
// found on the card byte for byte; or, where the camera lists no way to take a file, refused
// at the open, before the checks go on to a copy, with nothing sent.
TEST(DriverOverPtpIp, CamerasNobodyHereWroteAreReadAndSentTo) {
    using testing_support::Peer;
    const struct {
        Peer peer;
        const char* model;
        uint32_t firmware; // its DeviceVersion, as the camera displays it
        uint32_t battery;
        uint64_t capacity, free; // 0: the card folder's disk
        uint16_t access;
        DriverResult opened;
    } rows[] = {
        {Peer::kUmtpResponder, "The Viveris Product !", 0, 1, 0, 0, 0, 0},
        {Peer::kGphotoVcamera, "VC", 0x02050B00, 1, 0x42424242, 0x21212121, 2, kDriverNotSupported},
    };
    for (const auto& row : rows) {
        const std::string peer = testing_support::PeerName(row.peer);
        Driver d("");
        const std::map<std::string, std::string> card = {
            {"readme.txt", "On the card.\r\n"},
            {"DCIM\\100TARVO\\IMG_0001.JPG", PatternBytes(3000, 7)},
            {"MISC\\NOTES.TXT", "notes"},
        };
        for (const auto& file : card) {
            const std::string path = d.scenario.card() + "\\" + file.first;
            testing_support::MakeFolders(path.substr(0, path.find_last_of('\\')));
            WriteFileBytes(path, file.second);
        }
        testing_support::PeerServer server(row.peer, d.scenario.folder(), "card", "peer.log");
        ASSERT_TRUE(LoadOverVcam(d, server, "trace = trace.txt\n")) << peer;
        uint32_t count = 0;
        std::string records;
        ASSERT_EQ(d.Enumerate(count, records), 0) << peer;
        ASSERT_EQ(count, 1u) << peer;
        ASSERT_EQ(d.camera->OpenDevice(records.data() + 12, RecordEvent, 0, &d.device), row.opened)
            << peer;
        if (row.opened != 0) {
            std::string trace;
            ReadFileBytes(d.scenario.Path("trace.txt"), trace);
            EXPECT_NE(trace.find("lists neither SendObjectInfo nor SendObject"), std::string::npos)
                << peer << ": the trace says why\n"
                << trace;
            EXPECT_EQ(trace.find("SendObjectInfo (0x100C)"), std::string::npos) << peer;
            server.Kill();
            continue;
        }

        uint8_t model[512] = {};
        uint32_t battery = 0, firmware = 0xEEEEEEEE;
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropModelName, model, 0), 0) << peer;
        EXPECT_STREQ(reinterpret_cast<char*>(model + 1), row.model) << peer;
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropFirmwareVersion, &firmware, 0), 0)
            << peer;
        EXPECT_EQ(firmware, row.firmware) << peer;
        EXPECT_EQ(d.camera->GetDevicePropValue(d.device, kPropBattery, &battery, 0), 0) << peer;
        EXPECT_EQ(battery, row.battery) << peer;

        StorageRecord store;
        memset(&store, 0xEE, sizeof store);
        ASSERT_EQ(d.camera->GetStorageInfo(d.device, d.FirstStorage(), &store), 0) << peer;
        ULARGE_INTEGER available, total, free;
        ASSERT_TRUE(GetDiskFreeSpaceExA(d.scenario.card().c_str(), &available, &total, &free));
        EXPECT_EQ(store.maxCapacity, row.capacity ? row.capacity : total.QuadPart) << peer;
        if (row.free)
            EXPECT_EQ(store.freeSpace, row.free) << peer;
        else
            EXPECT_TRUE(store.freeSpace > 0 && store.freeSpace <= store.maxCapacity) << peer;
        EXPECT_EQ(store.accessCapability, row.access) << peer;

        // The walk finds the card's root at least (some cameras list every level for parent
        // 0), nothing that is not on the card, and the root file's entry as it is.
        std::map<std::string, uint16_t> objects;
        std::vector<std::string> entries;
        const DriverResult walked = d.Walk(objects, &entries);
        EXPECT_EQ(walked, 0) << peer;
        const std::set<std::string> names = {"readme.txt",   "DCIM", "100TARVO",
                                             "IMG_0001.JPG", "MISC", "NOTES.TXT"};
        size_t readmes = 0;
        for (const std::string& entry : entries) {
            ObjectEntryRecord record = {};
            memcpy(&record, entry.data(), std::min(entry.size(), sizeof record));
            EXPECT_EQ(names.count(record.name), 1u) << peer << ": " << record.name;
            if (std::string(record.name) != "readme.txt")
                continue;
            ++readmes;
            EXPECT_EQ(record.sizeLow, card.at("readme.txt").size()) << peer;
            EXPECT_TRUE(record.parentObject == 0 || record.parentObject == 0xFFFFFFFF) << peer;
        }
        if (walked == 0) {
            EXPECT_EQ(readmes, 1u) << peer;
            EXPECT_TRUE(objects.count("DCIM") && objects.count("MISC")) << peer;
        }

        const std::string bytes = PatternBytes(3 * 1024 * 1024 + 17, 13);
        EXPECT_EQ(d.Send("NET.FIR", bytes), 0) << peer;
        EXPECT_EQ(d.camera->CloseDevice(d.device), 0) << peer;
        std::string arrived;
        EXPECT_EQ(progressSeen.back(), 100u) << peer;
        ASSERT_TRUE(ReadFileBytes(d.scenario.card() + "\\NET.FIR", arrived)) << peer;
        EXPECT_TRUE(arrived == bytes) << peer;
        // The card holds what it held, and the file sent: nothing under another name.
        std::vector<std::string> expected = {"IMG_0001.JPG", "NOTES.TXT", "readme.txt", "NET.FIR"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(d.FolderNames(), expected) << peer;
        server.Kill();
    }
}

} // namespace
