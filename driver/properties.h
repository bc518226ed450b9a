// The three device properties the program reads: battery state (0xD003), firmware version
// (0xD031) and model name (0xD032), from the camera's vendor properties where it is a Tarvo
// camera that lists them and describes them, otherwise derived from the standard battery level
// and DeviceInfo.
#pragma once

#include <cstdint>

#include "driver_result.h"
#include "ptp/initiator.h"

// Writes the property's value in the interface's form into `value` (4 bytes, or the 512-byte
// model name buffer). A vendor property refused, or described as another property or type,
// gives way to the standard facts; a property the program never reads is not supported (194).
DriverResult ReadDriverProperty(ptp::Initiator& camera, const ptp::DeviceInfo& info,
                                uint32_t propCode, void* value);
