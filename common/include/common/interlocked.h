// State that threads share without a lock (the user-interface thread, the copy worker and the
// driver's event thread) is read and written whole, with a full fence, through these.
#pragma once

#include <windows.h>

inline LONG ReadShared(LONG volatile* value) {
    return InterlockedCompareExchange(value, 0, 0);
}

inline void WriteShared(LONG volatile* value, LONG to) {
    InterlockedExchange(value, to);
}

inline void AddShared(LONG volatile* value, LONG amount) {
    InterlockedExchangeAdd(value, amount);
}

template <typename Pointer> Pointer ReadSharedPointer(Pointer* value) {
    return reinterpret_cast<Pointer>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(value), nullptr, nullptr));
}

template <typename Pointer> void WriteSharedPointer(Pointer* value, Pointer to) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(value),
                               reinterpret_cast<PVOID>(to));
}
