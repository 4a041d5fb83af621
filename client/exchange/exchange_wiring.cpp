#include "client/exchange/exchange_wiring.h"

#include "client/app/application.h"
#include "client/exchange/wininet_transport.h"
#include "client/gui/frame.h"
#include "core/exchange/exchange_driver.h"
#include "core/scan/clock.h"

namespace zorvane::client {

namespace {

// The exchange only pauses before opening the browser.
class SleepClock : public Clock {
public:
    std::uint32_t tickCount() override { return GetTickCount(); }
    std::uint64_t systemTimeAsFileTime() override
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    }
    void sleep(std::uint32_t milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

bool exchangeScanResults(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord)
{
    const auto transport = makeWinInetTransport();
    SleepClock clock;
    const ExchangeServices services{*transport, progressView(), frameNotifier(), clock, runSettings()};
    return exchangeWithServer(processList, scanRecord, services);
}

}  // namespace zorvane::client
