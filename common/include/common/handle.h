// Owners of what Windows hands over, one for each function that gives it back: what an owner
// holds is given back once, when the owner ends or takes another.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <objbase.h>

namespace common {

// `Release` names the value's type, what stands for none besides null, and how it is given back.
template <typename Release> class Owner {
  public:
    using Value = typename Release::Value;

    Owner() = default;
    // Takes `value`; null and what Release says is none both stand for none.
    explicit Owner(Value value) : value_(Release::None(value) ? Value() : value) {}
    ~Owner() { reset(); }
    Owner(Owner&& other) noexcept : value_(other.release()) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    Value get() const { return value_; }
    explicit operator bool() const { return value_ != Value(); }
    void reset(Value value = Value()) {
        if (value_ != Value())
            Release::GiveBack(value_);
        value_ = Release::None(value) ? Value() : value;
    }
    Value release() {
        Value value = value_;
        value_ = Value();
        return value;
    }
    // Where a function that hands one over through a pointer writes it (null when it fails);
    // what was held is given back first.
    Value* receive() {
        reset();
        return &value_;
    }

  private:
    Value value_ = Value();
};

struct ClosedHandle {
    using Value = HANDLE;
    static bool None(HANDLE handle) { return handle == INVALID_HANDLE_VALUE; }
    static void GiveBack(HANDLE handle) { CloseHandle(handle); }
};
using Handle = Owner<ClosedHandle>;

// A search of FindFirstFile.
struct ClosedFind {
    using Value = HANDLE;
    static bool None(HANDLE search) { return search == INVALID_HANDLE_VALUE; }
    static void GiveBack(HANDLE search) { FindClose(search); }
};
using FindHandle = Owner<ClosedFind>;

struct ClosedKey {
    using Value = HKEY;
    static bool None(HKEY) { return false; }
    static void GiveBack(HKEY key) { RegCloseKey(key); }
};
using RegistryKey = Owner<ClosedKey>;

// A GDI object (a bitmap, a brush) and a memory device context.
struct DeletedObject {
    using Value = HGDIOBJ;
    static bool None(HGDIOBJ) { return false; }
    static void GiveBack(HGDIOBJ object) { DeleteObject(object); }
};
using GdiObject = Owner<DeletedObject>;
struct DeletedDc {
    using Value = HDC;
    static bool None(HDC) { return false; }
    static void GiveBack(HDC dc) { DeleteDC(dc); }
};
using MemoryDc = Owner<DeletedDc>;

// Memory that a COM call hands over, to be freed with CoTaskMemFree.
template <typename T> struct FreedTaskMemory {
    using Value = T*;
    static bool None(T*) { return false; }
    static void GiveBack(T* memory) { CoTaskMemFree(memory); }
};
template <typename T> using TaskMemory = Owner<FreedTaskMemory<T>>;

} // namespace common
