#include "client/exchange/exchange_wiring.h"

#include "client/app/application.h"
#include "client/exchange/wininet_transport.h"
#include "client/gui/frame.h"
#include "client/win32/adapters.h"
#include "core/exchange/exchange_driver.h"
#include "core/scan/clock.h"

namespace zorvane::client {

bool exchangeScanResults(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord)
{
    const auto transport = makeWinInetTransport();
    const auto clock = makeClock();
    const ExchangeServices services{*transport, progressView(), frameNotifier(), *clock, runSettings()};
    return exchangeWithServer(processList, scanRecord, services);
}

}  // namespace zorvane::client
