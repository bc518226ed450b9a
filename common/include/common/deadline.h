// Deadlines: the one way this code says how long something may still take.
#pragma once

#include <chrono>
#include <cstdint>

namespace common {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `end`, at least 0.
int MsUntil(Clock::time_point end);
// Milliseconds since `start`.
int MsSince(Clock::time_point start);
// The time point `ms` from now (none of a negative `ms`).
Clock::time_point MsFromNow(long long ms);

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
    // Starts the bounds again from now: a bound that runs from when something began to arrive.
    void Restart();
    int silenceMs() const { return silenceMs_; }

  private:
    int silenceMs_;
    Clock::time_point start_;
    Clock::time_point end_;
    uint64_t floor_ = 0;
};

} // namespace common
