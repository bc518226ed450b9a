// What bounds and feeds a transfer: the deadline of an operation or handshake (the common
// one), and the callbacks that produce and consume the bytes of a data phase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/deadline.h"

namespace ptp {

using common::Clock;
using common::Deadline;

// Fills `buffer` with exactly `count` bytes of the data being sent; false aborts the phase.
using DataSource = std::function<bool(uint8_t* buffer, size_t count)>;
// Takes the next `count` bytes of a data phase; false refuses the rest.
using DataSink = std::function<bool(const uint8_t* data, size_t count)>;

} // namespace ptp
