// Camera operations: the only code that calls the driver library. One link per process.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver_interface.h"

// Receives the camera's power and disconnect events (code, data, value); its result is ignored.
typedef void (*CameraEventHandlerFn)(uint32_t eventCode, const uint32_t* eventData,
                                     uint32_t eventValue);

// isOpen, eventHandler and cameraLost meet the driver's event thread and the copy worker: they
// are read and written through interlocked.h.
struct CameraLink {
    HMODULE library;
    CPTPClass* camera;
    uint32_t device;
    LONG isOpen;
    CameraEventHandlerFn eventHandler;
    LONG cameraLost; // set on every power or disconnect event, never cleared
};

extern CameraLink cameraLink;

enum : DriverResult { kFileOnCard = -1 };

enum : uint32_t {
    kBatterySufficient = 1,
    kBatteryLow = 2,
};

DriverResult CameraOpen(CameraEventHandlerFn eventHandler, uint32_t* cameraCount);
DriverResult CameraClose();
DriverResult CameraGetBatteryState(uint32_t* state);
DriverResult CameraGetFirmwareVersion(char* text);
DriverResult CameraGetModelName(char* text);
DriverResult CameraGetCardInfo(uint32_t* access, uint32_t* capacity, uint32_t* freeSpace);
DriverResult CameraSendFile(const char* localPath, const uint32_t* size, const char* cameraPath,
                            StreamProgressFn progress);
// kFileOnCard when the name is on the card, 0 when it is not. A lookup that fails is neither:
// its result goes to *failure (0 when the lookup itself went through) and is also returned.
DriverResult CameraFileExists(const char* name, DriverResult* failure);
DriverResult CameraPrepareFolder(const char* cameraPath);
