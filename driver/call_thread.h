// The library's own call thread: every driver call runs there, one at a time. Only it and the
// library's other threads ever start, join or wait in the threading runtime, which keeps
// records of such threads that would outlive the library if a caller's thread left them; the
// caller's side of a hand-off uses Win32 primitives alone.
#pragma once

#include <windows.h>

#include <functional>

#include "common/handle.h"
#include "common/lock.h"
#include "driver_result.h"

class CallThread {
  public:
    CallThread() = default;
    ~CallThread(); // waits for the call under way, then ends the thread
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    // Runs `body` on the call thread and returns its result; nothing thrown leaves it (out of
    // memory: 3, anything else: 2). Callers from several threads take turns.
    DriverResult Run(const std::function<DriverResult()>& body);
    // True while a caller holds its turn (a call is under way or about to start).
    bool Busy();

  private:
    static DWORD WINAPI Loop(LPVOID self);

    // SRW locks and condition variables: under Wine a round trip through them costs a third
    // of one through events, and a fraction of one through the threading runtime.
    common::Lock turn_;  // held by the caller whose call runs
    common::Lock state_; // guards the fields below
    common::Signal changed_;
    common::Handle thread_;
    const std::function<DriverResult()>* work_ = nullptr; // set: a call waits to run
    bool done_ = false;
    bool quit_ = false;
    DriverResult result_ = kDriverOk;
};
