// Deadlines of transfers.
#include "common/deadline.h"

#include <algorithm>
#include <cstdint>

namespace common {
namespace {

using Milliseconds = std::chrono::milliseconds;

// A time point `ms` after `from`, or the far end of time where that would not fit.
Clock::time_point After(Clock::time_point from, uint64_t ms) {
    if (from == Clock::time_point::max())
        return from;
    auto room = std::chrono::duration_cast<Milliseconds>(Clock::time_point::max() - from).count();
    if (ms >= static_cast<uint64_t>(room))
        return Clock::time_point::max();
    return from + Milliseconds(ms);
}

} // namespace

int MsUntil(Clock::time_point end) {
    auto left = std::chrono::duration_cast<Milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, INT32_MAX)));
}

int MsSince(Clock::time_point start) {
    auto since = std::chrono::duration_cast<Milliseconds>(Clock::now() - start).count();
    return static_cast<int>(std::min<long long>(since, INT32_MAX));
}

Clock::time_point MsFromNow(long long ms) {
    return Clock::now() + Milliseconds(std::max(ms, 0LL));
}

Deadline::Deadline(int silenceMs)
    : silenceMs_(std::max(silenceMs, 0)), end_(Clock::time_point::max()) {}

Deadline::Deadline(int silenceMs, int totalMs, uint64_t floorBytesPerSecond)
    : silenceMs_(std::max(silenceMs, 0)), start_(Clock::now()), floor_(floorBytesPerSecond) {
    end_ = After(start_, static_cast<uint64_t>(std::max(totalMs, 0)));
}

int Deadline::WaitMs() const {
    return end_ == Clock::time_point::max() ? silenceMs_ : std::min(MsUntil(end_), silenceMs_);
}

bool Deadline::Passed() const {
    return end_ != Clock::time_point::max() && Clock::now() >= end_;
}

void Deadline::Restart() {
    if (end_ == Clock::time_point::max())
        return;
    const auto span = std::chrono::duration_cast<Milliseconds>(end_ - start_).count();
    start_ = Clock::now();
    end_ = After(start_, static_cast<uint64_t>(span));
}

void Deadline::Allow(uint64_t bytes) {
    if (floor_ == 0) {
        end_ = Clock::time_point::max();
        return;
    }
    uint64_t seconds = bytes / floor_;
    uint64_t ms =
        seconds > (1ull << 40) ? ~0ull : seconds * 1000 + (bytes % floor_) * 1000 / floor_;
    end_ = After(end_, ms);
}

} // namespace common
