// Fuzzes a whole initiator session: the input is everything a responder sends, split between
// its command and event connections (the first two bytes give the event share). The session
// runs the handshake, OpenSession, typed calls with data-in and data-out phases, GetObject,
// DeleteObject and CloseSession, and reads events, with short timeouts so each input ends fast.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptp/initiator.h"
#include "ptp/ptpip_transport.h"

using namespace ptp;

namespace {

const uint64_t kObjectBound = 4096;

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void Check(const Result& result) {
    Check(result.params.size() <= Params::kCapacity);
}

void RunSession(Initiator& host) {
    Check(host.OpenSession(1));
    DeviceInfo device;
    Check(host.GetDeviceInfo(device));
    std::vector<uint32_t> ids;
    Check(host.GetStorageIDs(ids));
    StorageInfo storage;
    Check(host.GetStorageInfo(ids.empty() ? 0x00010001 : ids[0], storage));
    ObjectInfo object;
    Check(host.GetObjectInfo(1, object));

    uint64_t received = 0;
    DataIn in;
    in.maxSize = kObjectBound;
    in.write = [&received](const uint8_t*, size_t size) {
        received += size;
        return true;
    };
    Check(host.GetObject(1, in));
    Check(received <= kObjectBound);

    object.filename = "FW.BIN";
    object.objectCompressedSize = 3000;
    Check(host.SendObjectInfo(0x00010001, 0xFFFFFFFF, object));
    DataOut out;
    out.size = 3000;
    out.read = [](uint8_t* buffer, size_t size) {
        std::fill(buffer, buffer + size, 0x5A);
        return true;
    };
    Check(host.SendObject(out));
    DevicePropDesc desc;
    Check(host.GetDevicePropDesc(DPC_BatteryLevel, desc));
    uint32_t count = 0;
    Check(host.GetNumObjects(0xFFFFFFFF, 0, 0, count));
    Check(host.DeleteObject(1));
    Check(host.CloseSession());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t eventSize = 0;
    if (size >= 2) {
        eventSize = std::min<size_t>(data[0] | data[1] << 8, size - 2);
        data += 2;
        size -= 2;
    }
    // Room for the whole input one way and everything the session sends the other way, so
    // nothing waits for a reader.
    const size_t capacity = size + (1 << 16);
    auto command = MakePipePair(capacity);
    auto event = MakePipePair(capacity);
    command.second->Send(data + eventSize, size - eventSize);
    event.second->Send(data, eventSize);

    InitiatorConfig config;
    config.timeoutMs = 2;
    config.handshakeTimeoutMs = 20;
    config.maxDatasetSize = 8192;
    config.maxDrainSize = 16384;
    Initiator host(config);
    host.SetEventHandler([](const Event& e) { Check(e.params.size() <= Params::kCapacity); });
    ConnectionPtr hostEvent = std::move(event.first);
    PtpIpConfig ptpip;
    ptpip.timeoutMs = config.timeoutMs;
    ptpip.dataChunk = 1024;
    if (host.Attach(PtpIpOver(ptpip, std::move(command.first),
                              [&hostEvent] { return std::move(hostEvent); }))
            .ok())
        RunSession(host);
    host.Shutdown();
    return 0;
}
