#pragma once
// A clock the native tests set by hand. Sleeping advances it.

#include <cstdint>
#include <functional>
#include <vector>

#include "core/base/clock.h"

namespace zorvane::fakes {

class FakeClock : public Clock {
public:
    std::uint32_t tick = 0;
    std::uint64_t fileTime = 0;
    std::vector<std::uint32_t> sleeps;
    std::function<void(std::uint32_t)> onSleep;  // called as each sleep begins

    std::uint32_t tickCount() override { return tick; }
    std::uint64_t systemTimeAsFileTime() override { return fileTime; }
    void sleep(std::uint32_t milliseconds) override
    {
        sleeps.push_back(milliseconds);
        if (onSleep)
            onSleep(milliseconds);
        tick += milliseconds;
        fileTime += std::uint64_t{milliseconds} * 10000;
    }
};

}  // namespace zorvane::fakes
