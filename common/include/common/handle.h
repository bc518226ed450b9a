// The owners of Windows handles: each released once, by its own call, when its owner ends.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace common {

class Handle {
  public:
    Handle() = default;
    // Takes `handle`; null and INVALID_HANDLE_VALUE both stand for none.
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : handle_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr) {
        if (handle_)
            CloseHandle(handle_);
        handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

// The owner of what one call releases: a folder search (FindClose), a GDI object
// (DeleteObject), a memory device context (DeleteDC). INVALID_HANDLE_VALUE stands for none too.
template <typename T, BOOL(WINAPI* Release)(T)> class Owned {
  public:
    Owned() = default;
    explicit Owned(T value) : value_(IsNone(value) ? nullptr : value) {}
    ~Owned() {
        if (value_)
            Release(value_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    T get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }

  private:
    static bool IsNone(T value) { return reinterpret_cast<HANDLE>(value) == INVALID_HANDLE_VALUE; }
    T value_ = nullptr;
};

using FindHandle = Owned<HANDLE, FindClose>;
using GdiObject = Owned<HGDIOBJ, DeleteObject>;
using MemoryDc = Owned<HDC, DeleteDC>;

} // namespace common
