// Hand-offs to the call thread.
#include "call_thread.h"

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
    AcquireSRWLockExclusive(&turn_);
    if (thread_) {
        AcquireSRWLockExclusive(&state_);
        quit_ = true;
        ReleaseSRWLockExclusive(&state_);
        WakeAllConditionVariable(&changed_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    ReleaseSRWLockExclusive(&turn_);
}

DWORD WINAPI CallThread::Loop(LPVOID parameter) {
    CallThread* self = static_cast<CallThread*>(parameter);
    AcquireSRWLockExclusive(&self->state_);
    for (;;) {
        while (!self->work_ && !self->quit_)
            SleepConditionVariableSRW(&self->changed_, &self->state_, INFINITE, 0);
        if (self->quit_)
            break;
        const std::function<DriverResult()>* work = self->work_;
        self->work_ = nullptr;
        ReleaseSRWLockExclusive(&self->state_);
        const DriverResult result = Guarded(*work);
        AcquireSRWLockExclusive(&self->state_);
        self->result_ = result;
        self->done_ = true;
        ReleaseSRWLockExclusive(&self->state_);
        WakeAllConditionVariable(&self->changed_);
        AcquireSRWLockExclusive(&self->state_);
    }
    ReleaseSRWLockExclusive(&self->state_);
    return 0;
}

bool CallThread::Busy() {
    if (!TryAcquireSRWLockExclusive(&turn_))
        return true;
    ReleaseSRWLockExclusive(&turn_);
    return false;
}

DriverResult CallThread::Run(const std::function<DriverResult()>& body) {
    AcquireSRWLockExclusive(&turn_);
    if (!thread_)
        thread_ = CreateThread(nullptr, 0, Loop, this, 0, nullptr);
    DriverResult result = kDriverOutOfMemory;
    if (thread_) {
        AcquireSRWLockExclusive(&state_);
        work_ = &body;
        done_ = false;
        ReleaseSRWLockExclusive(&state_);
        WakeAllConditionVariable(&changed_);
        AcquireSRWLockExclusive(&state_);
        while (!done_)
            SleepConditionVariableSRW(&changed_, &state_, INFINITE, 0);
        result = result_;
        ReleaseSRWLockExclusive(&state_);
    }
    ReleaseSRWLockExclusive(&turn_);
    return result;
}
