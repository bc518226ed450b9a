// Hands the open camera's events to it and what it makes of them to the caller's callback,
// outside any lock: one event at a time, and none once Detach has returned.
#pragma once

#include <windows.h>

#include <atomic>

#include "common/lock.h"
#include "driver_interface.h"
#include "open_camera.h"

class EventRelay {
  public:
    // The events of `from` go to `camera` from now on; the callback hears of none yet.
    void Attach(const ptp::Initiator* from, OpenCamera* camera);
    // The caller hears of the events from now on; false when the link was lost before.
    bool Arm(CameraEventCallback callback);
    // Waits for an event being handed on; nothing reaches the camera or the callback after.
    // Never from inside the callback.
    void Detach();

    void Event(const ptp::Initiator* from, const ptp::Event& event);
    void Lost(const ptp::Initiator* from);

    // True on the thread that runs the caller's callback, while it runs.
    bool InCallback() const { return callbackThread_ == GetCurrentThreadId(); }

  private:
    template <typename Take> void Hand(const ptp::Initiator* from, bool loss, Take take);

    common::Lock lock_;
    common::Signal idle_;
    const ptp::Initiator* from_ = nullptr;
    OpenCamera* camera_ = nullptr;
    CameraEventCallback callback_ = nullptr;
    bool handing_ = false; // an event is being handed on, outside the lock
    bool lost_ = false;
    std::atomic<DWORD> callbackThread_{0};
};
