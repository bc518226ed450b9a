// Where cameras come from: one source per settings transport lists the cameras it reaches and
// connects to one of them. The operations above never learn which source they talk through;
// a new transport is one more CameraSource and one more case in MakeCameraSource.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver_result.h"
#include "ptp/initiator.h"
#include "ptp/ptpip_transport.h"
#include "settings.h"

// Makes every initiator a source hands out: configured from the settings, with the library's
// event and loss handlers set.
using InitiatorFactory = std::function<std::unique_ptr<ptp::Initiator>()>;

// Made, used and destroyed on the library's call thread.
class CameraSource {
  public:
    // Lets go of everything the source still holds (connections enumeration made, the
    // embedded camera); the initiator that Open handed out must be gone first.
    virtual ~CameraSource() = default;

    // Lists the cameras reachable now, replacing the last list: one name each, for the device
    // record (cut to fit). An empty list with 0 means no camera; a failure is the result.
    virtual DriverResult Enumerate(std::vector<std::string>& names) = 0;

    // Connects to camera `index` of the last list, at most once per source: on success
    // `initiator` is attached (handshake done, events started) and its session not yet open.
    // The other cameras of the list are let go.
    virtual DriverResult Open(size_t index, std::unique_ptr<ptp::Initiator>& initiator) = 0;
};

// Tells the trace what a source tried and why it failed.
using SourceNote = std::function<void(const std::string& text)>;

// The source that the settings name; over PTP/IP (to the embedded camera too) this PC
// introduces itself by `guid`. An initiator a source hands out can reach its camera again.
std::unique_ptr<CameraSource> MakeCameraSource(const DriverSettings& settings,
                                               InitiatorFactory newInitiator, const ptp::Guid& guid,
                                               SourceNote note);
