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
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Watchdog::Arm(int waitMs) {
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle = !armed_;
        armed_ = true;
        fired_ = false;
        until_ = common::MsFromNow(waitMs);
    }
    // A thread already timing wakes at the old time and waits on: only an idle one is woken.
    if (idle)
        wake_.notify_all();
}

bool Watchdog::Disarm() {
    std::unique_lock<std::mutex> lock(mutex_);
    armed_ = false;
    wake_.wait(lock, [this] { return !aborting_; });
    return fired_;
}

void Watchdog::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        if (!armed_) {
            wake_.wait(lock);
        } else if (Clock::now() < until_) {
            wake_.wait_until(lock, until_);
        } else {
            armed_ = false;
            fired_ = aborting_ = true;
            lock.unlock();
            try {
                abort_();
            } catch (...) {
            }
            lock.lock();
            aborting_ = false;
            wake_.notify_all();
        }
    }
}

} // namespace ptp
