// Abort flags: an int owned by a task or by the control loop, set from its
// thread (or a watchdog) and read by the channels and file readers working
// for it on other threads. The flag stays a plain int so that the interfaces
// that take one (Channel::SetFlag(int*), FileReader::setAbortFlag(int*))
// keep their shape; every read and every write goes through these two
// functions, which reach it through std::atomic_ref, so no access is a data
// race. A flag is only ever set and cleared; nothing else is published
// through it, so the reads need no stronger ordering than acquire.
#pragma once

#include <atomic>

// Whether the flag at `flag` holds a non-zero value; false for null.
inline bool AbortRequested(int* flag) {
    return flag != nullptr && std::atomic_ref<int>(*flag).load(std::memory_order_acquire) != 0;
}

// Sets the flag at `flag` to `value` (1 asks for an abort, 0 clears it).
inline void SetAbortFlag(int* flag, int value = 1) {
    if (flag != nullptr) std::atomic_ref<int>(*flag).store(value, std::memory_order_release);
}
