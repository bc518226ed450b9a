// The one lock and wake-up signal for hand-offs between threads, held through the standard
// guards (std::lock_guard, std::unique_lock, std::shared_lock). Under Windows these are SRW
// locks and condition variables: the threading runtime's own hand-offs cost several times as
// much under Wine, and the embedded camera pays one per packet.
#pragma once

#include <chrono>
#include <mutex> // the guards

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <condition_variable>
#endif

namespace common {

const int kForever = -1; // a wait without a bound

#ifdef _WIN32

class Lock {
  public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    // Readers that may run side by side.
    void lock_shared() { AcquireSRWLockShared(&lock_); }
    void unlock_shared() { ReleaseSRWLockShared(&lock_); }
    SRWLOCK* native() { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class Signal {
  public:
    // Releases `lock`, held exclusively, while waiting; may return early (callers check their
    // condition).
    void Wait(Lock& lock, int timeoutMs) {
        SleepConditionVariableSRW(&signal_, lock.native(),
                                  timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), 0);
    }
    // Waits until `ready()`, asked with `lock` held, or until `timeoutMs` passed (kForever:
    // no bound); returns ready().
    template <typename Ready> bool WaitFor(Lock& lock, int timeoutMs, Ready ready);
    void WakeAll() { WakeAllConditionVariable(&signal_); }

  private:
    CONDITION_VARIABLE signal_ = CONDITION_VARIABLE_INIT;
};

#else

// Readers take it whole here: only the Windows code shares it between readers.
class Lock {
  public:
    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }
    void lock_shared() { mutex_.lock(); }
    void unlock_shared() { mutex_.unlock(); }
    std::mutex& native() { return mutex_; }

  private:
    std::mutex mutex_;
};

class Signal {
  public:
    // Releases `lock` while waiting; may return early (callers check their condition).
    void Wait(Lock& lock, int timeoutMs) {
        std::unique_lock<std::mutex> held(lock.native(), std::adopt_lock);
        if (timeoutMs < 0)
            signal_.wait(held);
        else
            signal_.wait_for(held, std::chrono::milliseconds(timeoutMs));
        held.release();
    }
    // Waits until `ready()`, asked with `lock` held, or until `timeoutMs` passed (kForever:
    // no bound); returns ready().
    template <typename Ready> bool WaitFor(Lock& lock, int timeoutMs, Ready ready);
    void WakeAll() { signal_.notify_all(); }

  private:
    std::condition_variable signal_;
};

#endif

template <typename Ready> bool Signal::WaitFor(Lock& lock, int timeoutMs, Ready ready) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (!ready()) {
        if (timeoutMs < 0) {
            Wait(lock, kForever);
            continue;
        }
        const auto left = ceil<milliseconds>(end - steady_clock::now()).count();
        if (left <= 0)
            return false;
        Wait(lock, static_cast<int>(left));
    }
    return true;
}

} // namespace common
