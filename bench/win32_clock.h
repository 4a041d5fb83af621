#pragma once
// Wall-clock seconds from the performance counter, for the Windows benchmarks.

#include <windows.h>

namespace zorvane::bench {

inline double performanceSeconds()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace zorvane::bench
