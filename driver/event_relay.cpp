#include "event_relay.h"

#include <mutex>

void EventRelay::Attach(const ptp::Initiator* from, OpenCamera* camera) {
    std::lock_guard<common::Lock> hold(lock_);
    from_ = from;
    camera_ = camera;
    callback_ = nullptr;
    lost_ = false;
}

bool EventRelay::Arm(CameraEventCallback callback) {
    std::lock_guard<common::Lock> hold(lock_);
    // A loss that no callback heard of (before Attach too): the camera's later events would
    // never come.
    if (lost_ || (from_ && from_->lost()))
        return false;
    callback_ = callback;
    return true;
}

void EventRelay::Detach() {
    std::unique_lock<common::Lock> hold(lock_);
    from_ = nullptr;
    camera_ = nullptr;
    callback_ = nullptr;
    while (handing_)
        idle_.Wait(lock_, common::kForever);
}

template <typename Take> void EventRelay::Hand(const ptp::Initiator* from, bool loss, Take take) {
    OpenCamera* camera = nullptr;
    CameraEventCallback callback = nullptr;
    {
        std::unique_lock<common::Lock> hold(lock_);
        // One at a time, in the order they came: a loss reported on the call thread waits for
        // an event the transport's thread is handing on.
        while (handing_ && from == from_)
            idle_.Wait(lock_, common::kForever);
        if (from != from_ || !camera_)
            return;
        handing_ = true;
        lost_ = lost_ || loss; // with the callback taken below: a loss is heard or fails Arm
        camera = camera_;
        callback = callback_;
    }
    const RaisedEvent raised = take(*camera);
    if (raised.code && callback) {
        uint32_t data[2] = {raised.dataWord, 0}; // valid for the duration of the call
        callbackThread_ = GetCurrentThreadId();
        callback(raised.code, data, 0, 0);
        callbackThread_ = 0;
    }
    {
        std::lock_guard<common::Lock> hold(lock_);
        handing_ = false;
    }
    idle_.WakeAll();
}

void EventRelay::Event(const ptp::Initiator* from, const ptp::Event& event) {
    Hand(from, false, [&](OpenCamera& camera) { return camera.OnEvent(event); });
}

void EventRelay::Lost(const ptp::Initiator* from) {
    Hand(from, true, [](OpenCamera& camera) { return camera.OnLost(); });
}
