// The PTP/IP GUID by which this PC introduces itself to a camera.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using InitiatorGuid = std::array<uint8_t, 16>;

// The same for every run on one Windows installation and different between installations,
// derived from what Windows already keeps (nothing is stored: the wizard keeps no state).
InitiatorGuid InstallationGuid();
// The GUID of an installation known by `identity`: a name-based GUID (RFC 4122 layout).
InitiatorGuid GuidOfIdentity(const std::string& identity);
