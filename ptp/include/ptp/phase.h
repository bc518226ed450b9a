// What bounds and feeds a transfer: the deadline of an operation or handshake, and the
// callbacks that produce and consume the bytes of a data phase.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace ptp {

using Clock = std::chrono::steady_clock;

// Two bounds on a transfer: the longest silence of the peer between two pieces, and an end
// by which the whole must be over. The end grows with the bytes allowed at a floor throughput,
// so a peer that trickles, or streams without end, cannot hold a call for ever.
class Deadline {
  public:
    // Only the silence bound.
    explicit Deadline(int silenceMs);
    // Ends totalMs from now; Allow moves the end by the time the bytes need at the floor
    // throughput (with a floor of 0, Allow lifts the end).
    Deadline(int silenceMs, int totalMs, uint64_t floorBytesPerSecond);

    // How long to wait for the next piece: the silence bound, cut at the end (0 once passed).
    int WaitMs() const;
    bool Passed() const;
    // Lets `bytes` more take the time they need at the floor throughput.
    void Allow(uint64_t bytes);
    int silenceMs() const { return silenceMs_; }

  private:
    int silenceMs_;
    Clock::time_point end_;
    uint64_t floor_ = 0;
};

// Fills `buffer` with exactly `count` bytes of the data being sent; false aborts the phase.
using DataSource = std::function<bool(uint8_t* buffer, size_t count)>;
// Takes the next `count` bytes of a data phase; false refuses the rest.
using DataSink = std::function<bool(const uint8_t* data, size_t count)>;

} // namespace ptp
