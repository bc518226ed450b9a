// The library's own call thread: every driver call runs there, one at a time. Only it and the
// library's other threads ever start, join or wait in the threading runtime, which keeps
// records of such threads that would outlive the library if a caller's thread left them; the
// caller's side of a hand-off uses Win32 primitives alone.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

#include "driver_result.h"

class CallThread {
  public:
    CallThread();
    ~CallThread(); // waits for the call under way, then ends the thread
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    // Runs `body` on the call thread and returns its result; nothing thrown leaves it (out of
    // memory: 3, anything else: 2). Callers from several threads take turns.
    DriverResult Run(const std::function<DriverResult()>& body);

  private:
    static DWORD WINAPI Loop(LPVOID self);

    CRITICAL_SECTION turn_; // one caller at a time
    HANDLE thread_ = nullptr;
    HANDLE workReady_ = nullptr, workDone_ = nullptr;
    const std::function<DriverResult()>* work_ = nullptr;
    DriverResult result_ = kDriverOk;
    std::atomic<bool> quit_{false};
};
