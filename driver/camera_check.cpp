// The field check's steps, each written to the report as it goes.
#include "camera_check.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/lock.h"
#include "ptp/codes.h"
#include "ptp/initiator.h"
#include "wpd_cameras.h"

namespace {

const uint64_t kCheckSize = 1u << 20;        // the file sent and read back
const uint64_t kRoomNeeded = 2 * kCheckSize; // a card with less free is not written to
const char kCheckName[] = "KXCHECK.BIN";

class Report {
  public:
    explicit Report(std::string& text) : text_(text) {}
    template <typename... Args> void Line(const char* format, Args... args) {
        char line[512];
        std::snprintf(line, sizeof line, format, args...);
        text_ += line;
        text_ += "\r\n";
    }
    void Result(const char* what, const ptp::Result& r) {
        Line("%s: %s, response 0x%04X", what, ptp::StatusName(r.status), r.code);
    }

  private:
    std::string& text_;
};

const char* VerdictName(WpdCameraList::Verdict verdict) {
    switch (verdict) {
    case WpdCameraList::Verdict::Camera:
        return "counted: a still camera that takes the MTP extension commands";
    case WpdCameraList::Verdict::Busy:
        return "counted: held by another program (opening it says busy)";
    case WpdCameraList::Verdict::NotCamera:
        return "not counted: not a still camera";
    case WpdCameraList::Verdict::NoMtpCommands:
        return "not counted: its driver does not take the MTP extension commands";
    case WpdCameraList::Verdict::Unreadable:
        break;
    }
    return "not counted: could not be opened or described";
}

uint8_t PatternByte(uint64_t i) {
    return static_cast<uint8_t>((i * 131 + (i >> 8) * 7 + 0x5A) & 0xFF);
}

// The send, read-back and comparison on `storage`; the object deleted whatever happens.
bool SendAndReadBack(ptp::Initiator& session, uint32_t storage, Report& report) {
    ptp::ObjectInfo info;
    info.storageId = storage;
    info.objectFormat = 0x3000;
    info.objectCompressedSize = static_cast<uint32_t>(kCheckSize);
    info.filename = kCheckName;
    ptp::Result r = session.SendObjectInfo(storage, ptp::kRootParent, info);
    report.Result("SendObjectInfo", r);
    if (!r.ok())
        return false;
    const uint32_t handle = r.params[2];
    uint64_t offset = 0;
    ptp::DataOut out;
    out.size = kCheckSize;
    out.read = [&](uint8_t* buffer, size_t count) {
        for (size_t i = 0; i < count; ++i)
            buffer[i] = PatternByte(offset + i);
        offset += count;
        return true;
    };
    r = session.SendObject(out);
    report.Result("SendObject (1 MiB)", r);
    bool whole = r.ok();
    if (whole) {
        uint64_t at = 0;
        bool same = true;
        ptp::DataIn in;
        in.maxSize = kCheckSize;
        in.write = [&](const uint8_t* data, size_t count) {
            for (size_t i = 0; i < count; ++i)
                same = same && data[i] == PatternByte(at + i);
            at += count;
            return true;
        };
        r = session.Transact(ptp::OC_GetObject, {handle}, nullptr, &in);
        report.Result("GetObject", r);
        whole = r.ok() && same && at == kCheckSize;
        report.Line("read back: %llu bytes, %s", static_cast<unsigned long long>(at),
                    whole ? "the same as sent" : "NOT the same as sent");
    }
    r = session.DeleteObject(handle);
    report.Result("DeleteObject", r);
    return whole && r.ok();
}

// The model name the wizard compares with the update's list: the camera's own vendor property
// where it names our extension and describes the property as text, else DeviceInfo's Model.
std::string WizardModelName(ptp::Initiator& session, const ptp::DeviceInfo& info) {
    if (info.NamesExtension(ptp::kTarvoExtension) &&
        info.SupportsProperty(ptp::DPC_Vandrel_ModelName)) {
        ptp::DevicePropDesc desc;
        if (session.GetDevicePropDesc(ptp::DPC_Vandrel_ModelName, desc).ok() &&
            desc.propertyCode == ptp::DPC_Vandrel_ModelName && desc.dataType == ptp::DTC_STR)
            return desc.current.text;
    }
    return info.model;
}

} // namespace

int RunCameraCheck(WpdFactory& factory, const CameraCheckOptions& options, std::string& text) {
    Report report(text);
    WpdCameraList cameras(factory, options.timeoutMs);
    std::vector<WpdCameraList::Device> all;
    const HRESULT listed = cameras.Refresh(&all);
    if (listed == REGDB_E_CLASSNOTREG) {
        report.Line("Windows Portable Devices is missing: its classes are not registered.");
        return 2;
    }
    report.Line("Portable devices: %u (listing: 0x%08lX)", static_cast<unsigned>(all.size()),
                static_cast<unsigned long>(listed));
    for (const WpdCameraList::Device& device : all)
        report.Line("- %s: %s (0x%08lX)\r\n  %ls", device.name.c_str(), VerdictName(device.verdict),
                    static_cast<unsigned long>(device.hr), device.pnpDeviceId.c_str());
    if (cameras.size() == 0) {
        report.Line("No camera counted. FAILED");
        return 1;
    }

    ptp::InitiatorConfig config;
    config.timeoutMs = config.handshakeTimeoutMs = options.timeoutMs;
    ptp::Initiator session(config);
    common::Lock eventsLock;
    std::vector<ptp::Event> events;
    session.SetEventHandler([&](const ptp::Event& e) {
        std::lock_guard<common::Lock> hold(eventsLock);
        events.push_back(e);
    });
    report.Line("Opening %s", cameras.name(0).c_str());
    ptp::Result r = session.Attach(cameras.OpenTransport(0));
    report.Result("Open", r);
    if (r.ok())
        r = session.OpenSession(1);
    ptp::DeviceInfo info;
    if (r.ok())
        r = session.GetDeviceInfo(info);
    report.Result("GetDeviceInfo", r);
    if (!r.ok()) {
        report.Line("FAILED");
        return 1;
    }
    report.Line("Manufacturer: %s; model: %s; version: %s; serial: %s", info.manufacturer.c_str(),
                info.model.c_str(), info.deviceVersion.c_str(), info.serialNumber.c_str());
    const std::string model = WizardModelName(session, info);
    report.Line("Model name as the wizard reads it: \"%s\"", model.c_str());
    report.Line("  An update for this camera lists it under [Camera Model Name] exactly so; check "
                "one with: VandrelCheck --camera-model \"%s\" UPDATE_FOLDER REPORT_FOLDER",
                model.c_str());
    report.Line("Vendor extension: %u (%s); %u operations, %u events, %u properties",
                static_cast<unsigned>(info.vendorExtensionId), info.vendorExtensionDesc.c_str(),
                static_cast<unsigned>(info.operationsSupported.size()),
                static_cast<unsigned>(info.eventsSupported.size()),
                static_cast<unsigned>(info.devicePropertiesSupported.size()));

    std::vector<uint32_t> storages;
    r = session.GetStorageIDs(storages);
    report.Result("GetStorageIDs", r);
    uint32_t chosen = 0;
    for (uint32_t storage : storages) {
        ptp::StorageInfo facts;
        if (ptp::IsEmptySlot(storage))
            continue;
        ptp::Result got = session.GetStorageInfo(storage, facts);
        report.Line("Store 0x%08X: %s; type %u, file system %u, access %u, %llu of %llu bytes "
                    "free, \"%s\"",
                    storage, ptp::StatusName(got.status), facts.storageType, facts.filesystemType,
                    facts.accessCapability, static_cast<unsigned long long>(facts.freeSpaceInBytes),
                    static_cast<unsigned long long>(facts.maxCapacity),
                    facts.storageDescription.c_str());
        if (got.ok() && !chosen && facts.accessCapability == 0 &&
            facts.freeSpaceInBytes >= kRoomNeeded)
            chosen = storage;
    }
    bool passed = false;
    if (!chosen)
        report.Line("No writable store with 2 MiB free: nothing is written.");
    else
        passed = SendAndReadBack(session, chosen, report);

    report.Line("Listening for events for %d ms", options.listenMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(options.listenMs));
    {
        std::lock_guard<common::Lock> hold(eventsLock);
        for (const ptp::Event& e : events)
            report.Line("event 0x%04X (%u parameters)", e.code,
                        static_cast<unsigned>(e.params.size()));
    }
    session.CloseSession();
    session.Shutdown();
    report.Line(passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
