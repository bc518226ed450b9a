// The virtual camera running inside the library: a responder thread on the far end of two
// in-memory pipes that carry the very same PTP/IP bytes as a network would.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "ptp/connection.h"
#include "settings.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/responder.h"

class EmbeddedCamera {
  public:
    // The number of cameras the profile attaches; false when the profile cannot be read.
    static bool CameraCount(const DriverSettings& settings, uint32_t& count, std::string& error);

    // The camera of the settings' profile and card; null with the reason when the profile
    // cannot be read.
    static std::unique_ptr<EmbeddedCamera> Start(const DriverSettings& settings,
                                                 std::string& error);
    ~EmbeddedCamera(); // stops the responder and waits for its thread

    // A new session of the camera over new connections, the card as it is: the host's end of
    // the command connection, and of the event connection in `event`. A session under way
    // ends first.
    ptp::ConnectionPtr Connect(ptp::ConnectionPtr& event);

  private:
    EmbeddedCamera() = default;
    void Stop();
    static bool LoadSettingsProfile(const DriverSettings& settings, vcam::Profile& profile,
                                    std::string& error);

    vcam::Profile profile_;
    std::unique_ptr<vcam::Card> card_;
    std::unique_ptr<vcam::Responder> responder_;
    ptp::ConnectionPtr command_, event_;
    std::thread thread_;
};
