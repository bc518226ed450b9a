// Hand-offs to the call thread.
#include "call_thread.h"

#include <mutex>
#include <new>

namespace {

DriverResult Guarded(const std::function<DriverResult()>& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kDriverOutOfMemory;
    } catch (...) {
        return kDriverGeneralError;
    }
}

} // namespace

CallThread::~CallThread() {
    std::lock_guard<common::Lock> turn(turn_);
    if (thread_) {
        {
            std::lock_guard<common::Lock> state(state_);
            quit_ = true;
        }
        changed_.WakeAll();
        WaitForSingleObject(thread_.get(), INFINITE);
    }
}

DWORD WINAPI CallThread::Loop(LPVOID parameter) {
    CallThread* self = static_cast<CallThread*>(parameter);
    std::unique_lock<common::Lock> state(self->state_);
    for (;;) {
        while (!self->work_ && !self->quit_)
            self->changed_.Wait(self->state_, common::kForever);
        if (self->quit_)
            break;
        const std::function<DriverResult()>* work = self->work_;
        self->work_ = nullptr;
        state.unlock();
        const DriverResult result = Guarded(*work);
        state.lock();
        self->result_ = result;
        self->done_ = true;
        state.unlock();
        self->changed_.WakeAll();
        state.lock();
    }
    return 0;
}

bool CallThread::Busy() {
    std::unique_lock<common::Lock> turn(turn_, std::try_to_lock);
    return !turn.owns_lock();
}

DriverResult CallThread::Run(const std::function<DriverResult()>& body) {
    std::lock_guard<common::Lock> turn(turn_);
    if (!thread_)
        thread_.reset(CreateThread(nullptr, 0, Loop, this, 0, nullptr));
    if (!thread_)
        return kDriverOutOfMemory;
    std::unique_lock<common::Lock> state(state_);
    work_ = &body;
    done_ = false;
    state.unlock();
    changed_.WakeAll();
    state.lock();
    while (!done_)
        changed_.Wait(state_, common::kForever);
    return result_;
}
