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

CallThread::CallThread() {
    InitializeCriticalSection(&turn_);
}

CallThread::~CallThread() {
    EnterCriticalSection(&turn_);
    if (thread_) {
        quit_ = true;
        SetEvent(workReady_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (workReady_)
        CloseHandle(workReady_);
    if (workDone_)
        CloseHandle(workDone_);
    LeaveCriticalSection(&turn_);
    DeleteCriticalSection(&turn_);
}

DWORD WINAPI CallThread::Loop(LPVOID parameter) {
    CallThread* self = static_cast<CallThread*>(parameter);
    while (WaitForSingleObject(self->workReady_, INFINITE) == WAIT_OBJECT_0 && !self->quit_) {
        self->result_ = Guarded(*self->work_);
        SetEvent(self->workDone_);
    }
    return 0;
}

DriverResult CallThread::Run(const std::function<DriverResult()>& body) {
    EnterCriticalSection(&turn_);
    if (!thread_) {
        workReady_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        workDone_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        thread_ =
            workReady_ && workDone_ ? CreateThread(nullptr, 0, Loop, this, 0, nullptr) : nullptr;
    }
    DriverResult result = kDriverOutOfMemory;
    if (thread_) {
        work_ = &body;
        SetEvent(workReady_);
        WaitForSingleObject(workDone_, INFINITE);
        result = result_;
    }
    LeaveCriticalSection(&turn_);
    return result;
}
