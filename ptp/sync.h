// A lock and a wake-up signal for hand-offs between two threads. Under Windows these are SRW
// locks and condition variables: the threading runtime's own hand-offs cost several times as
// much under Wine, and the embedded camera pays one per packet.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <chrono>
#include <condition_variable>
#include <mutex>
#endif

namespace ptp {

#ifdef _WIN32

class Lock {
  public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class Signal {
  public:
    // Releases `lock` while waiting; may return early (callers check their condition).
    void Wait(Lock& lock, int timeoutMs) {
        SleepConditionVariableSRW(&signal_, lock.native(), static_cast<DWORD>(timeoutMs), 0);
    }
    void WakeAll() { WakeAllConditionVariable(&signal_); }

  private:
    CONDITION_VARIABLE signal_ = CONDITION_VARIABLE_INIT;
};

#else

class Lock {
  public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    std::mutex& native() { return mutex_; }

  private:
    std::mutex mutex_;
};

class Signal {
  public:
    // Releases `lock` while waiting; may return early (callers check their condition).
    void Wait(Lock& lock, int timeoutMs) {
        std::unique_lock<std::mutex> held(lock.native(), std::adopt_lock);
        signal_.wait_for(held, std::chrono::milliseconds(timeoutMs));
        held.release();
    }
    void WakeAll() { signal_.notify_all(); }

  private:
    std::condition_variable signal_;
};

#endif

} // namespace ptp
