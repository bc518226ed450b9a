// The PTP/IP GUID by which this PC introduces itself to a camera.
#pragma once

#include <string>

#include "ptp/ptpip.h"

// The same for every run on one Windows installation and different between installations,
// derived from what Windows already keeps (nothing is stored: the wizard keeps no state).
ptp::Guid InstallationGuid();
// The GUID of an installation known by `identity`: a name-based GUID (RFC 4122 layout).
ptp::Guid GuidOfIdentity(const std::string& identity);
