// The watchdog's thread: it sleeps while nothing is armed and wakes at the armed time.
#include "ptp/watchdog.h"

namespace ptp {

Watchdog::Watchdog(std::function<void()> abort) : abort_(std::move(abort)) {
    thread_ = std::thread([this] {
        try {
            Run();
        } catch (...) {
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<common::Lock> hold(lock_);
        quit_ = true;
    }
    wake_.WakeAll();
    if (thread_.joinable())
        thread_.join();
}

void Watchdog::Arm(int waitMs) {
    bool idle = false;
    {
        std::lock_guard<common::Lock> hold(lock_);
        idle = !armed_;
        armed_ = true;
        fired_ = false;
        until_ = common::MsFromNow(waitMs);
    }
    // A thread already timing wakes at the old time and waits on: only an idle one is woken.
    if (idle)
        wake_.WakeAll();
}

bool Watchdog::Disarm() {
    std::unique_lock<common::Lock> hold(lock_);
    armed_ = false;
    wake_.WaitFor(lock_, common::kForever, [this] { return !aborting_; });
    return fired_;
}

void Watchdog::Run() {
    std::unique_lock<common::Lock> hold(lock_);
    while (!quit_) {
        if (!armed_) {
            wake_.Wait(lock_, common::kForever);
        } else if (Clock::now() < until_) {
            wake_.Wait(lock_, common::MsUntil(until_) + 1); // rounded up: no early wake-ups
        } else {
            armed_ = false;
            fired_ = aborting_ = true;
            hold.unlock();
            try {
                abort_();
            } catch (...) {
            }
            hold.lock();
            aborting_ = false;
            wake_.WakeAll();
        }
    }
}

} // namespace ptp
