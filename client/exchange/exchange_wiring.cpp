#include "client/exchange/exchange_wiring.h"

#include "client/exchange/wininet_transport.h"
#include "client/gui/frame.h"
#include "core/exchange/exchange_driver.h"

namespace zorvane::client {

bool exchangeScanResults(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord, Clock& clock,
                         GuiCommon& gui)
{
    const auto transport = makeWinInetTransport();
    const ExchangeServices services{*transport, gui.progressView(), gui.frameNotifier(), clock, gui.settings()};
    return exchangeWithServer(processList, scanRecord, services);
}

}  // namespace zorvane::client
