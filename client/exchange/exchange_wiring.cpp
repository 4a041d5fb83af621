// Placeholder until the server exchange lands.
#include "client/exchange/exchange_wiring.h"

namespace zorvane::client {

bool exchangeScanResults(std::vector<ProcessRecord>&, ProcessRecord&) { return false; }

}  // namespace zorvane::client
