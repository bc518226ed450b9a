// Bounds the calls of a transport whose device calls cannot bound themselves (a blocking
// IPortableDevice::SendCommand, a WinUSB or libusb transfer): armed for the time a call may
// still take, it aborts the transport from a thread of its own once that passes.
#pragma once

#include <functional>
#include <thread>

#include "common/lock.h"
#include "ptp/phase.h"

namespace ptp {

class Watchdog {
  public:
    // `abort` runs on the watchdog's thread, never while Disarm or the destructor waits for it.
    explicit Watchdog(std::function<void()> abort);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Aborts unless disarmed or re-armed within `waitMs`.
    void Arm(int waitMs);
    // True when the abort ran since the last Arm.
    bool Disarm();

  private:
    void Run();

    std::function<void()> abort_;
    common::Lock lock_;
    common::Signal wake_;
    bool armed_ = false, fired_ = false, aborting_ = false, quit_ = false;
    Clock::time_point until_;
    std::thread thread_;
};

} // namespace ptp
