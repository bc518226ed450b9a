// Drives the real KXPTPCLS.DLL through its interface, as the wizard does, and prints one line
// per call: its result, how long it took and the process's peak memory so far, and the peak
// memory every half second.
//   kx_probe FOLDER [--close-after MS]
// FOLDER holds KXPTPCLS.DLL and its KXPTPCLS.ini. The calls run in the wizard's order and stop
// at the first failure. With --close-after, a second thread closes the device MS after it was
// opened, whatever call is pending then.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver_interface.h"
#include "stream.h"

namespace {

DWORD startTick = 0;
CPTPClass* camera = nullptr;
uint32_t device = 0;
DWORD closeAfterMs = 0;
HANDLE closer = nullptr;

unsigned long PeakKB() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<unsigned long>(counters.PeakWorkingSetSize / 1024);
}

// One line per call; the harness parses "name result ms peak_kb" and optional extras.
void Report(const char* name, DriverResult result, DWORD began, const std::string& extra = "") {
    std::printf("CALL %s result=%ld ms=%lu peak_kb=%lu%s%s\n", name, static_cast<long>(result),
                GetTickCount() - began, PeakKB(), extra.empty() ? "" : " ", extra.c_str());
    std::fflush(stdout);
}

extern "C" int32_t OnEvent(uint32_t code, const uint32_t* data, uint32_t, uint32_t) {
    std::printf("EVENT code=0x%lx data=0x%lx ms=%lu\n", static_cast<unsigned long>(code),
                static_cast<unsigned long>(data ? data[0] : 0), GetTickCount() - startTick);
    std::fflush(stdout);
    return 0;
}

DWORD WINAPI CloseLater(LPVOID) {
    Sleep(closeAfterMs);
    const DWORD began = GetTickCount();
    Report("CloseDevice(other-thread)", camera->CloseDevice(device), began);
    return 0;
}

// A memory stream for one call, and its data afterwards.
struct Memory {
    CameraStream stream = {};
    Memory() { CreateMemoryStream(0, 10240, 0, nullptr, 0, kStreamTagMemory, &stream); }
    ~Memory() { ReleaseMemoryStream(&stream); }
    std::string Data() {
        uint32_t length = 0;
        void* data = nullptr;
        if (GetStreamData(&stream, &length, &data) != kDriverOk || !data)
            return std::string();
        return std::string(static_cast<const char*>(data), length);
    }
    // Entry i of an item list, 0 when the list is shorter.
    uint32_t Item(int i) {
        const std::string bytes = Data();
        uint32_t value = 0;
        if (bytes.size() >= 12 + 4u * (i + 1))
            memcpy(&value, bytes.data() + 12 + 4 * i, 4);
        return value;
    }
    int32_t Count() {
        const std::string bytes = Data();
        int32_t count = 0;
        if (bytes.size() >= 8)
            memcpy(&count, bytes.data() + 4, 4);
        return count;
    }
};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

// Samples the peak memory while a call may hang, so that growth shows before a cut-off.
DWORD WINAPI SampleMemory(LPVOID) {
    for (;;) {
        Sleep(500);
        std::printf("MEMORY ms=%lu peak_kb=%lu\n", GetTickCount() - startTick, PeakKB());
        std::fflush(stdout);
    }
}

// The wizard's calls in its order; false at the first failure.
bool RunSequence(const std::string& folder) {
    DWORD began = GetTickCount();
    Memory devices;
    uint32_t count = 0;
    DriverResult r = camera->EnumerateDevices(&count, &devices.stream);
    Report("EnumerateDevices", r, began, "count=" + std::to_string(count));
    if (r != kDriverOk || count == 0)
        return false;
    const std::string records = devices.Data();
    if (records.size() < 12)
        return false;
    began = GetTickCount();
    r = camera->OpenDevice(records.data() + 12, OnEvent, 0, &device);
    Report("OpenDevice", r, began);
    if (r != kDriverOk)
        return false;
    if (closeAfterMs)
        closer = CreateThread(nullptr, 0, CloseLater, nullptr, 0, nullptr);

    began = GetTickCount();
    Memory ids;
    r = camera->GetStorageIDs(device, &ids.stream);
    const uint32_t storage = ids.Item(0);
    Report("GetStorageIDs", r, began, "first=" + Hex(storage));
    if (r != kDriverOk)
        return false;

    began = GetTickCount();
    StorageRecord info = {};
    r = camera->GetStorageInfo(device, storage, &info);
    Report("GetStorageInfo", r, began,
           "access=" + std::to_string(info.accessCapability) +
               " free=" + std::to_string(static_cast<unsigned long long>(info.freeSpace)));
    if (r != kDriverOk)
        return false;

    for (uint32_t code : {kPropBattery, kPropFirmwareVersion, kPropModelName}) {
        uint8_t value[kModelNameBufferSize] = {};
        began = GetTickCount();
        r = camera->GetDevicePropValue(device, code, value, 0);
        uint32_t word = 0;
        memcpy(&word, value, 4);
        const std::string name = "GetDevicePropValue(" + Hex(code) + ")";
        Report(name.c_str(), r, began, "value=" + Hex(word));
        if (r != kDriverOk)
            return false;
    }

    began = GetTickCount();
    Memory handles;
    r = camera->GetObjectHandles(device, storage, 0, 0, &handles.stream);
    const uint32_t first = handles.Item(0);
    Report("GetObjectHandles", r, began, "count=" + std::to_string(handles.Count()));
    if (r != kDriverOk)
        return false;

    began = GetTickCount();
    Memory entry;
    r = camera->GetObjectEntry(device, storage, 0, 0, first, &entry.stream);
    const std::string bytes = entry.Data();
    Report("GetObjectEntry", r, began,
           "name=" + (bytes.size() > 31 ? std::string(bytes.c_str() + 31) : std::string()));
    if (r != kDriverOk)
        return false;

    // A small firmware file, announced and sent as the wizard sends one.
    const std::string path = folder + "\\PROBE.FIR";
    std::string payload(65536 + 17, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + 3);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, payload.data(), static_cast<DWORD>(payload.size()), &written, nullptr);
    CloseHandle(file);
    ObjectInfoRecord record = {};
    record.objectFormat = kObjectFormatFirmware;
    record.objectSize = static_cast<uint32_t>(payload.size());
    strcpy(record.name, "PROBE.FIR");
    record.nameCount = static_cast<uint8_t>(strlen(record.name) + 1);
    uint32_t outs[3] = {};
    began = GetTickCount();
    r = camera->SendObjectInfo(device, 0, 0, &record, &outs[0], &outs[1], &outs[2]);
    Report("SendObjectInfo", r, began, "handle=" + Hex(outs[2]));
    if (r != kDriverOk)
        return false;
    CameraStream stream = {};
    CreateFileStream(path.c_str(), 1, nullptr, 0, kStreamTagSendFile, &stream);
    began = GetTickCount();
    r = camera->SendObject(device, record.objectSize, &stream);
    ReleaseFileStream(&stream);
    Report("SendObject", r, began);
    return r == kDriverOk;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kx_probe FOLDER [--close-after MS]\n");
        return 2;
    }
    const std::string folder = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--close-after") == 0)
            closeAfterMs = static_cast<DWORD>(atol(argv[i + 1]));
    }
    startTick = GetTickCount();
    CloseHandle(CreateThread(nullptr, 0, SampleMemory, nullptr, 0, nullptr));
    HMODULE library = LoadLibraryA((folder + "\\KXPTPCLS.DLL").c_str());
    auto find = [library](const char* name) {
        return library ? reinterpret_cast<void*>(GetProcAddress(library, name)) : nullptr;
    };
    auto get = reinterpret_cast<pGet_kxCPTPClassFn>(find(KX_GET_CLASS_EXPORT));
    auto release = reinterpret_cast<Free_kxCPTPClassFn>(find(KX_FREE_CLASS_EXPORT));
    if (!get || !release) {
        std::printf("LOAD failed\n");
        return 1;
    }
    camera = get();
    const bool completed = RunSequence(folder);
    if (closer) {
        WaitForSingleObject(closer, INFINITE);
        CloseHandle(closer);
    } else if (device) {
        const DWORD began = GetTickCount();
        Report("CloseDevice", camera->CloseDevice(device), began);
    }
    const DWORD began = GetTickCount();
    release(camera);
    Report("Free", 0, began);
    FreeLibrary(library);
    std::printf("END completed=%d ms=%lu peak_kb=%lu\n", completed ? 1 : 0,
                GetTickCount() - startTick, PeakKB());
    return 0;
}
