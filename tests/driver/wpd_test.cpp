// USB cameras through Windows Portable Devices: enumeration and the transport under the real
// session layer, against stand-ins for the COM objects with the virtual camera behind them (real
// PTP bytes, a real card folder); and the system's own classes, which Wine does not have.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "camera_check.h"
#include "driver_interface.h"
#include "result_map.h"
#include "scenario.h"
#include "wpd_cameras.h"
#include "wpd_standin.h"

using testing_support::MakeTempFolder;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::RemoveTree;
using testing_support::WriteFileBytes;
using namespace wpd_standin;

namespace {

// A card folder and a profile file for the virtual camera, removed afterwards.
struct Folder {
    Folder() : path(MakeTempFolder("wpd")) {}
    ~Folder() { RemoveTree(path); }
    std::string path;
};

// Announces and sends a file; its new handle in `handle`, each piece pulled in `chunks`.
ptp::Result Send(ptp::Initiator& session, const std::string& name, const std::string& bytes,
                 std::vector<size_t>* chunks, uint32_t* handle = nullptr) {
    std::vector<uint32_t> storages;
    ptp::Result r = session.GetStorageIDs(storages);
    if (!r.ok() || storages.empty())
        return r;
    ptp::ObjectInfo info;
    info.objectFormat = 0x3000;
    info.objectCompressedSize = static_cast<uint32_t>(bytes.size());
    info.filename = name;
    r = session.SendObjectInfo(storages[0], 0, info);
    if (!r.ok())
        return r;
    if (handle)
        *handle = r.params[2];
    size_t offset = 0;
    ptp::DataOut out;
    out.size = bytes.size();
    out.read = [&](uint8_t* buffer, size_t count) {
        memcpy(buffer, bytes.data() + offset, count);
        offset += count;
        if (chunks)
            chunks->push_back(count);
        return true;
    };
    return session.SendObject(out);
}

TEST(Wpd, WithoutPortableDevicesThereIsNoCamera) {
    WpdCameraList cameras; // the system's classes, in the apartment it joined
    ComPtr<IPortableDeviceManager> manager;
    EXPECT_EQ(SystemWpdFactory().Make(wpd::CLSID_PortableDeviceManager, manager),
              REGDB_E_CLASSNOTREG)
        << "Wine has no Windows Portable Devices";
    cameras.Refresh();
    EXPECT_EQ(cameras.size(), 0u);
    EXPECT_EQ(cameras.OpenTransport(0), nullptr);
}

TEST(Wpd, FindsTheCameraBesideAPhoneReadsItAndSendsAFile) {
    Folder folder;
    const std::string profile = folder.path + "\\camera.ini";
    WriteFileBytes(profile, "fault.power_down.operation = GetStorageInfo\n"
                            "fault.power_down.occurrence = 1\nfault.power_down.reason = 1\n"
                            "fault.power_down.data = 7\nfault.power_down.disconnect = no\n"
                            "camera.object_prop_list = yes\n");
    Bus bus(folder.path, profile);
    {
        WpdCameraList cameras(bus.factory());
        cameras.Refresh();
        ASSERT_EQ(cameras.size(), 1u) << "the phone is no camera";
        EXPECT_EQ(cameras.name(0), "Tarvo Camera X1");
        EXPECT_EQ(bus.clientName, L"Vandrel");

        std::mutex eventsMutex;
        std::vector<ptp::Event> events;
        ptp::Initiator session;
        session.SetEventHandler([&](const ptp::Event& e) {
            std::lock_guard<std::mutex> lock(eventsMutex);
            events.push_back(e);
        });
        std::atomic<bool> lost{false};
        session.SetLostHandler([&](ptp::Link, ptp::Status) { lost = true; });
        ASSERT_TRUE(session.Attach(cameras.OpenTransport(0)).ok());
        ASSERT_TRUE(session.OpenSession(1).ok());
        EXPECT_EQ(session.responder().friendlyName, "Tarvo Camera X1");

        ptp::DeviceInfo info;
        ASSERT_TRUE(session.GetDeviceInfo(info).ok());
        EXPECT_EQ(info.model, "Tarvo Camera X1");
        EXPECT_EQ(info.deviceVersion, "1.0.1.2");
        std::vector<uint32_t> storages;
        ASSERT_TRUE(session.GetStorageIDs(storages).ok());
        ASSERT_EQ(storages.size(), 1u);
        ptp::StorageInfo storage;
        ASSERT_TRUE(session.GetStorageInfo(storages[0], storage).ok());
        EXPECT_EQ(storage.maxCapacity, uint64_t(1) << 30);
        const struct {
            uint16_t code;
            uint64_t value;
        } properties[] = {{0x5001, 80}, {0xD003, 1}, {0xD031, 0x01000102}};
        for (const auto& p : properties) {
            ptp::DevicePropDesc desc;
            ASSERT_TRUE(session.GetDevicePropDesc(p.code, desc).ok()) << std::hex << p.code;
            EXPECT_EQ(desc.current.integer, p.value) << std::hex << p.code;
        }
        ptp::DevicePropDesc model;
        ASSERT_TRUE(session.GetDevicePropDesc(0xD032, model).ok());
        EXPECT_EQ(model.current.text, "Tarvo Camera X1");

        // The power-down event the camera sent at GetStorageInfo, as a vendor event.
        const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            std::lock_guard<std::mutex> lock(eventsMutex);
            if (!events.empty() || std::chrono::steady_clock::now() > waitUntil)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        {
            std::lock_guard<std::mutex> lock(eventsMutex);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].code, 0xC001);
            EXPECT_TRUE(events[0].params == std::vector<uint32_t>({1, 7}));
        }

        const std::string bytes = PatternBytes(5 << 20, 12);
        std::vector<size_t> chunks;
        uint32_t handle = 0;
        ASSERT_TRUE(Send(session, "FIRM.BIN", bytes, &chunks, &handle).ok());
        EXPECT_EQ(chunks, std::vector<size_t>(10, 512 * 1024))
            << "pulled in the buffer size the driver advised, one report each";
        std::string landed;
        ASSERT_TRUE(ReadFileBytes(folder.path + "\\FIRM.BIN", landed));
        EXPECT_TRUE(landed == bytes) << "the card holds the same bytes";
        std::string back;
        ptp::DataIn in;
        in.maxSize = bytes.size();
        in.write = [&](const uint8_t* data, size_t size) {
            back.append(reinterpret_cast<const char*>(data), size);
            return true;
        };
        ASSERT_TRUE(session.Transact(ptp::OC_GetObject, {handle}, nullptr, &in).ok());
        EXPECT_TRUE(back == bytes) << "read back in the driver's pieces";
        std::vector<std::string> names; // a request of five parameters
        ASSERT_TRUE(session
                        .GetObjectPropList(0xFFFFFFFF, 0, ptp::OPC_ObjectFileName, 0xFFFFFFFF,
                                           1 << 20,
                                           [&](const ptp::ObjectProp& prop) {
                                               names.push_back(prop.value.text);
                                               return true;
                                           })
                        .ok());
        EXPECT_EQ(names, (std::vector<std::string>{"camera.ini", "FIRM.BIN"}));

        EXPECT_EQ(bus.sessionOperations, 0) << "the class driver owns the session";

        // Unplugged while idle: the session hears of it, and the next call fails at once.
        EXPECT_FALSE(lost);
        bus.Fire(wpd::WPD_EVENT_DEVICE_REMOVED, {});
        EXPECT_TRUE(lost);
        EXPECT_EQ(MapPtpResult(session.GetStorageIDs(storages)), kDriverConnectionLost);
    }
    EXPECT_EQ(bus.openDevices, 0);
    EXPECT_EQ(bus.advised, 0);
    EXPECT_EQ(liveObjects, 0) << "every stand-in released";
    EXPECT_EQ(bus.violations(), std::vector<std::string>()) << "every sequence as documented";
}

TEST(Wpd, TheFieldCheckPassesOnTheCameraAndLeavesTheCardAsItWas) {
    Folder folder;
    Bus bus(folder.path);
    CameraCheckOptions options;
    options.listenMs = 100;
    options.timeoutMs = 2000;
    std::string report;
    EXPECT_EQ(RunCameraCheck(bus.factory(), options, report), 0) << report;
    for (const char* line : {"Pocket Phone: not counted: not a still camera",
                             "Tarvo Camera X1: counted", "model: Tarvo Camera X1",
                             "the same as sent", "DeleteObject: ok, response 0x2001", "PASSED"})
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    std::string left;
    EXPECT_FALSE(ReadFileBytes(folder.path + "\\KXCHECK.BIN", left)) << "nothing stays on the card";
    EXPECT_EQ(bus.violations(), std::vector<std::string>());
    bus.Settle();
    EXPECT_EQ(liveObjects, 0);
}

TEST(Wpd, TheFieldCheckSaysWhenPortableDevicesIsMissing) {
    std::string report;
    EXPECT_EQ(RunCameraCheck(SystemWpdFactory(), CameraCheckOptions(), report), 2);
    EXPECT_NE(report.find("Windows Portable Devices is missing"), std::string::npos) << report;
}

// Each MTP extension command failing in turn, the device's own ways that the documentation
// allows, and the transport's own bounds. `afterward` is what a later call gets; `bound` the
// session's limit on a dataset (0: its default); `event` one the session must have heard.
enum class Drive { NumObjects, DeviceInfo, Send, ReadBack, Open };

struct FailureRow {
    const char* what;
    FaultPlan plan;
    Drive drive;
    DriverResult result; // MapPtpResult of the failed call
    bool lost;           // the session heard that the camera is gone
    DriverResult afterward;
    uint64_t bound;
    void (*setup)(Bus&);
    uint16_t event;
};

const HRESULT kBusy = HRESULT_FROM_WIN32(ERROR_BUSY);
const HRESULT kDriverTimeout = HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT);
const HRESULT kDiskFull = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
const DriverResult kLost = kDriverConnectionLost;
const FaultPlan kNoFault = {0, 0, Fault::None, S_OK};
// The third WRITE_DATA: SendObjectInfo's dataset is the first, the file's first piece the second.
const DWORD kWriteData = 16;

void Plain(Bus&) {}

// clang-format off
const FailureRow kFailures[] = {
    {"another program holds the camera", {12, 1, Fault::Fail, kBusy},
     Drive::NumObjects, kDriverBusy, false, kLost, 0, Plain, 0},
    {"the driver's own timeout, in the results", {13, 1, Fault::InResults, kDriverTimeout},
     Drive::DeviceInfo, kDriverNoAnswer, false, kLost, 0, Plain, 0},
    {"a read that never returns is cancelled at the deadline", {15, 1, Fault::Hang, S_OK},
     Drive::DeviceInfo, kDriverNoAnswer, false, kLost, 0, Plain, 0},
    {"a read that claims more bytes than asked for", {15, 1, Fault::Overflow, S_OK},
     Drive::DeviceInfo, kDriverGeneralError, false, kLost, 0, Plain, 0},
    {"the device closed under the write", {14, 1, Fault::Fail, wpd::E_WPD_DEVICE_NOT_OPEN},
     Drive::Send, kLost, true, kLost, 0, Plain, 0},
    {"the device removed in the middle of the file", {16, 3, Fault::Vanish, S_OK},
     Drive::Send, kLost, true, kLost, 0, Plain, 0},
    {"ending the transfer fails", {17, 1, Fault::Fail, E_FAIL},
     Drive::DeviceInfo, kLost, true, kLost, 0, Plain, 0},
    {"a dataset over the bound is read to its end, then the transfer ends; the session stays",
     kNoFault, Drive::DeviceInfo, kDriverGeneralError, false, kDriverOk, 64, Plain, 0},
    {"the card fills mid-file: the camera's StoreFull comes with the end of the transfer",
     {kWriteData, 3, Fault::StoreFull, kDiskFull},
     Drive::Send, kDriverGeneralError, false, kDriverOk, 0, Plain, 0},
    {"a write the driver fails still ends the transfer, whose answer is the camera's",
     {kWriteData, 3, Fault::Fail, E_FAIL},
     Drive::Send, kLost, false, kDriverOk, 0, Plain, 0},
    {"a phase of unknown size that ends on a piece boundary ends with an empty read", kNoFault,
     Drive::DeviceInfo, kDriverOk, false, kDriverOk, 0,
     [](Bus& bus) { bus.unknownSize = true, bus.readChunk = 1; }, 0},
    {"a phase of unknown size under the caller's bound ends with a short read", kNoFault,
     Drive::DeviceInfo, kDriverOk, false, kDriverOk, 0, [](Bus& bus) { bus.unknownSize = true; }, 0},
    {"reads keep to the buffer size the driver advises", kNoFault,
     Drive::ReadBack, kDriverOk, false, kDriverOk, 0, [](Bus& bus) { bus.readChunk = 1000; }, 0},
    {"a send without a transfer context, which is optional", kNoFault,
     Drive::Send, kDriverOk, false, kDriverOk, 0, [](Bus& bus) { bus.omitWriteContext = true; }, 0},
    {"a short write: the rest of the piece goes in the next", kNoFault,
     Drive::Send, kDriverOk, false, kDriverOk, 0, [](Bus& bus) { bus.shortWrites = true; }, 0},
    {"the card taken out: its storage's removal is StoreRemoved", {12, 1, Fault::CardRemoved, S_OK},
     Drive::NumObjects, kDriverOk, false, kDriverOk, 0, Plain, ptp::EC_StoreRemoved},
    {"a photo taken: the object's arrival is ObjectAdded", {12, 1, Fault::PhotoAdded, S_OK},
     Drive::NumObjects, kDriverOk, false, kDriverOk, 0, Plain, ptp::EC_ObjectAdded},
    {"a camera another program holds is counted, and opening it says busy", kNoFault,
     Drive::Open, kDriverBusy, false, kLost, 0, [](Bus& bus) { bus.busy = true; }, 0},
    {"an Open that never returns ends at the handshake bound", kNoFault,
     Drive::Open, kDriverNoAnswer, false, kLost, 0, [](Bus& bus) { bus.hangOpenAt = 2; }, 0},
    {"a camera without the MTP extension commands is not counted", kNoFault,
     Drive::NumObjects, kDriverOk, false, kDriverOk, 0, [](Bus& bus) { bus.plainCamera = true; }, 0},
};
// clang-format on

TEST(Wpd, EachFailureGivesItsDriverResult) {
    for (const FailureRow& row : kFailures) {
        SCOPED_TRACE(row.what);
        Folder folder;
        Bus bus(folder.path);
        bus.plan = row.plan;
        row.setup(bus);
        const auto start = std::chrono::steady_clock::now();
        {
            WpdCameraList cameras(bus.factory(), 1000);
            cameras.Refresh();
            ASSERT_EQ(cameras.size(), 1u) << "the camera alone";
            ptp::InitiatorConfig config;
            config.timeoutMs = 1000;
            config.handshakeTimeoutMs = 1000;
            if (row.bound)
                config.maxDatasetSize = row.bound;
            ptp::Initiator session(config);
            std::atomic<bool> lost{false};
            session.SetLostHandler([&](ptp::Link, ptp::Status) { lost = true; });
            std::mutex eventsMutex;
            std::vector<uint16_t> events;
            session.SetEventHandler([&](const ptp::Event& e) {
                std::lock_guard<std::mutex> lock(eventsMutex);
                events.push_back(e.code);
            });
            std::string failure; // what a trace would say of the link's last failure
            session.SetCallObserver([&](const ptp::CallRecord& call) {
                if (!call.failure.empty())
                    failure = call.failure;
            });
            ptp::Result r = session.Attach(cameras.OpenTransport(0));
            if (row.drive != Drive::Open) {
                ASSERT_TRUE(r.ok());
                ASSERT_TRUE(session.OpenSession(1).ok());
            }
            ptp::DeviceInfo info;
            uint32_t count = 0, handle = 0;
            const std::string small = PatternBytes(64 << 10, 5);
            switch (row.drive) {
            case Drive::NumObjects:
                r = session.GetNumObjects(0xFFFFFFFF, 0, 0, count);
                break;
            case Drive::DeviceInfo:
                r = session.GetDeviceInfo(info);
                break;
            case Drive::Send:
                r = Send(session, "PART.BIN", PatternBytes(2 << 20, 3), nullptr);
                break;
            case Drive::ReadBack: {
                r = Send(session, "BACK.BIN", small, nullptr, &handle);
                std::string back;
                ptp::DataIn in;
                in.maxSize = small.size();
                in.write = [&](const uint8_t* data, size_t size) {
                    back.append(reinterpret_cast<const char*>(data), size);
                    return true;
                };
                if (r.ok())
                    r = session.Transact(ptp::OC_GetObject, {handle}, nullptr, &in);
                EXPECT_TRUE(back == small) << "read back whole";
                break;
            }
            case Drive::Open:
                break;
            }
            EXPECT_EQ(MapPtpResult(r), row.result) << ptp::StatusName(r.status);
            if (row.plan.fault == Fault::Fail && r.status != ptp::Status::Ok) {
                char hr[24];
                snprintf(hr, sizeof hr, "0x%08lX", static_cast<unsigned long>(row.plan.hr));
                EXPECT_NE(failure.find(hr), std::string::npos) << failure;
            }
            EXPECT_EQ(lost, row.lost);
            std::vector<uint32_t> storages;
            EXPECT_EQ(MapPtpResult(session.GetStorageIDs(storages)), row.afterward);
            if (row.event) {
                std::lock_guard<std::mutex> lock(eventsMutex);
                EXPECT_NE(std::find(events.begin(), events.end(), row.event), events.end())
                    << "the session heard " << std::hex << row.event;
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        bus.Settle();
        EXPECT_EQ(bus.openDevices, 0);
        EXPECT_EQ(bus.advised, 0);
        EXPECT_EQ(liveObjects, 0);
        EXPECT_EQ(bus.violations(), std::vector<std::string>()) << "every sequence as documented";
    }
}

// The device's removal, heard mid-file on the API's own thread, ends the session from the
// listener's call: the transport shuts down from inside its own event, and the send fails.
TEST(Wpd, ASessionEndedFromItsListenersCallShutsDown) {
    Folder folder;
    Bus bus(folder.path);
    bus.plan = {kWriteData, 3, Fault::Vanish, S_OK};
    {
        WpdCameraList cameras(bus.factory(), 1000);
        cameras.Refresh();
        ptp::InitiatorConfig config;
        config.timeoutMs = config.handshakeTimeoutMs = 1000;
        ptp::Initiator session(config);
        std::atomic<bool> lost{false};
        session.SetLostHandler([&](ptp::Link, ptp::Status) {
            session.Shutdown();
            lost = true;
        });
        ASSERT_TRUE(session.Attach(cameras.OpenTransport(0)).ok());
        ASSERT_TRUE(session.OpenSession(1).ok());
        EXPECT_EQ(MapPtpResult(Send(session, "PART.BIN", PatternBytes(2 << 20, 3), nullptr)),
                  kLost);
        EXPECT_TRUE(lost);
    }
    bus.Settle();
    EXPECT_EQ(bus.advised, 0);
    EXPECT_EQ(liveObjects, 0);
}

int32_t IgnoreEvent(uint32_t, const uint32_t*, uint32_t, uint32_t) {
    return 0;
}

// Ends this program with the fault's code: the debugger Wine starts for a fault would end it
// with 0, which reads as a pass.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The real library, freed as the wizard frees it while an Open it gave up on still hangs: that
// Open's thread keeps it loaded, and it is unloaded once the Open returns and the thread ends.
TEST(Wpd, AnOpenLeftHangingKeepsTheLibraryLoadedUntilItReturns) {
    Folder folder;
    Bus bus(folder.path);
    bus.hangOpenAt = 2;                      // enumeration opens the camera first
    SetUnhandledExceptionFilter(EndOnFault); // a thread running in a freed library faults
    const ComApartment apartment;
    bus.RegisterClasses();
    {
        testing_support::Scenario scenario;
        scenario.SetSettings("timeout_ms = 500\n"); // a USB camera
        scenario.UseLibraryHere();
        HMODULE library = LoadLibraryA("KXPTPCLS.DLL");
        SetDllDirectoryA(nullptr);
        ASSERT_TRUE(library);
        auto get = reinterpret_cast<pGet_kxCPTPClassFn>(
            reinterpret_cast<void*>(GetProcAddress(library, KX_GET_CLASS_EXPORT)));
        auto release = reinterpret_cast<Free_kxCPTPClassFn>(
            reinterpret_cast<void*>(GetProcAddress(library, KX_FREE_CLASS_EXPORT)));
        CPTPClass* camera = get ? get() : nullptr;
        ASSERT_TRUE(camera && release);
        CameraStream stream = {};
        CreateMemoryStream(0, 1024, 0, nullptr, 0, kStreamTagMemory, &stream);
        uint32_t count = 0, length = 0, device = 0;
        void* records = nullptr;
        EXPECT_EQ(camera->EnumerateDevices(&count, &stream), kDriverOk);
        EXPECT_EQ(count, 1u);
        ASSERT_EQ(GetStreamData(&stream, &length, &records), kDriverOk);
        ASSERT_GT(length, 12u);
        EXPECT_EQ(camera->OpenDevice(static_cast<char*>(records) + 12, IgnoreEvent, 0, &device),
                  kDriverNoAnswer);
        ReleaseMemoryStream(&stream);
        release(camera);
        FreeLibrary(library);
        EXPECT_EQ(GetModuleHandleA("KXPTPCLS.DLL"), library) << "held by the Open that goes on";
        bus.Settle(); // the Open returns, in the library's code
        for (int i = 0; i < 500 && GetModuleHandleA("KXPTPCLS.DLL"); ++i)
            Sleep(10);
        EXPECT_EQ(GetModuleHandleA("KXPTPCLS.DLL"), nullptr) << "unloaded once the Open ended";
    }
    bus.UnregisterClasses();
    EXPECT_EQ(bus.openDevices, 0);
    EXPECT_EQ(liveObjects, 0) << "every stand-in released";
}

} // namespace
