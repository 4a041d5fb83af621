#pragma once
// The last step of a scan: the initialise and submit exchanges with the
// service, with the progress page kept informed, and the results address
// handed to the browser and the frame.

#include <string>
#include <vector>

#include "core/base/record.h"
#include "core/exchange/server_connection.h"
#include "protocol/form_fields.h"
#include "protocol/request_encoder.h"

namespace zorvane {

class Clock;
class FrameNotifier;
class ProgressView;
struct RunSettings;

// What the exchange reaches outside the portable code.
struct ExchangeServices {
    HttpTransport& transport;
    ProgressView& progress;
    FrameNotifier& frame;
    Clock& clock;
    const RunSettings& settings;
};

// The state of one scan's exchange; destroying it closes every handle.
struct ScanExchange {
    ScanExchange(HttpTransport& transport, const RunSettings& settings);

    bool compress = true;
    protocol::RequestEncoder encoder;
    ServerConnection connection;
    protocol::FormFields fields;
};

// Longest results address the frame's buffer holds (1024 units with the
// terminating zero). A longer one is neither stored nor opened.
inline constexpr std::size_t kMaxResultsAddress = 1023;
inline constexpr std::uint32_t kBrowserPauseMs = 3000;

// Runs both exchanges on the scan worker thread. True when the submit reply
// came with status "200"; the progress page is then hidden and the frame told
// that the scan is complete. On any failure the status shows kSendFailed, the
// page stays, and nothing is opened. Only a web address (isWebAddress) of at
// most kMaxResultsAddress characters is stored and opened; any other reply
// is a success without an address. The cancel flag is polled before each
// request, before every chunk of a body and before the address is opened:
// once it is set nothing more is sent or opened and the result is false
// (the frame is shutting down then, and ends a worker blocked in a call).
bool exchangeWithServer(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord,
                        const ExchangeServices& services);

}  // namespace zorvane
