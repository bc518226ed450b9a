// The field check of a USB camera on a real PC (KxCameraCheck.exe): what Windows Portable
// Devices lists and why each device is or is not counted, then one camera driven through the
// library's own transport and session: DeviceInfo, the stores, a 1 MiB file sent to the card's
// root, read back, compared and deleted, and a few seconds of events. Nothing stays on the card.
#pragma once

#include <string>

#include "wpd_com.h"

struct CameraCheckOptions {
    int listenMs = 5000; // how long events are listened for
    int timeoutMs = 10000;
};

// Runs the check, appending a plain report to `report`. 0: passed; 1: failed or refused (no
// camera, a card without room, a send that did not come back whole); 2: Windows Portable
// Devices is missing.
int RunCameraCheck(WpdFactory& factory, const CameraCheckOptions& options, std::string& report);
