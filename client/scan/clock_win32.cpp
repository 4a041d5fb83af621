#include <windows.h>

#include "client/scan/adapters.h"
#include "core/base/clock.h"

namespace zorvane::client {

namespace {

class Win32Clock : public Clock {
public:
    std::uint32_t tickCount() override { return GetTickCount(); }
    std::uint64_t systemTimeAsFileTime() override
    {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    }
    void sleep(std::uint32_t milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

std::unique_ptr<Clock> makeClock() { return std::make_unique<Win32Clock>(); }

}  // namespace zorvane::client
