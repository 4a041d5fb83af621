#pragma once
// Time as the scan sees it.

#include <cstdint>

namespace zorvane {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
    virtual std::uint32_t tickCount() = 0;
    // The current time as a FILETIME value: 100-ns intervals since 1601-01-01 UTC.
    virtual std::uint64_t systemTimeAsFileTime() = 0;
    // Blocks the calling thread for `milliseconds`.
    virtual void sleep(std::uint32_t milliseconds) = 0;
};

}  // namespace zorvane
