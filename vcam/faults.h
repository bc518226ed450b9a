// When the profile's faults fire. Faults only decides; the session carries out what it says.
// One Faults lives for one connection: occurrences and bytes are counted per connection.
#pragma once

#include <cstdint>
#include <map>

#include "common/deadline.h"
#include "vcam/profile.h"

namespace vcam {

// What a fault asks for at one point of a session.
struct FaultActions {
    bool drop = false;      // close both connections without an answer
    bool powerDown = false; // send the power-down event (and drop, unless told otherwise)
    bool removeCard = false;
    bool rescan = false;       // read the card folder again and announce the changes
    uint16_t responseCode = 0; // answer with this instead of doing the operation; 0: none
    bool staleReply = false;   // first send a reply to the previous transaction
    bool earlyReply = false;   // answer a second time, ahead of the next request
};

class Faults {
  public:
    explicit Faults(const Profile& profile) : profile_(profile) {}

    // How long to wait before handling this operation.
    uint32_t DelayFor(uint16_t operation) const;
    // Counts one more arrival of `operation` and says which faults fire on it.
    FaultActions AtOperation(uint16_t operation);
    // Counts SendObject payload bytes; each byte trigger fires once, when it is crossed.
    FaultActions AfterBytes(uint64_t bytes);
    uint64_t bytesReceived() const { return bytesReceived_; }
    // True when the GetObject that has just arrived sends back a corrupt byte.
    bool CorruptsThisRead() const;

  private:
    bool Fires(const Trigger& trigger, uint16_t operation, uint32_t occurrence) const;
    bool Crossed(const Trigger& trigger, bool& fired) const;

    const Profile& profile_;
    std::map<uint16_t, uint32_t> occurrences_;
    uint64_t bytesReceived_ = 0;
    bool busyOpened_ = false;
    common::Clock::time_point busyUntil_;
    bool dropFired_ = false, powerDownFired_ = false, storeRemovedFired_ = false,
         responseFired_ = false, rescanFired_ = false;
};

} // namespace vcam
