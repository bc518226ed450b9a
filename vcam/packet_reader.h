// Reading whole PTP/IP packets against deadlines: once a packet has begun it must arrive whole
// in time, however the peer splits it, so a trickle cannot hold a reader longer than that.
#pragma once

#include <chrono>
#include <functional>

#include "ptp/connection.h"
#include "ptp/ptpip.h"

namespace vcam {

using common::Clock;
using common::MsUntil;

using StopCheck = std::function<bool()>;

// Reads one control packet (body at most kMaxControlBody) whole by the end of `deadline`.
// Timeout when it is not all in by then; Closed also when `stopped` (optional) turns true
// meanwhile.
ptp::Status ReadPacketBefore(ptp::Connection& connection, ptp::Packet& packet,
                             const ptp::Deadline& deadline, const StopCheck& stopped = nullptr);

// Waits within `wait` for a packet to begin (*idle tells whether nothing at all arrived); once
// its first byte is in, the whole packet must follow within `complete`, started again then.
ptp::Status ReadNextPacket(ptp::Connection& connection, ptp::Packet& packet,
                           const ptp::Deadline& wait, ptp::Deadline complete, bool* idle);

} // namespace vcam
