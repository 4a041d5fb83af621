#pragma once
// HttpTransport over WinINet. One object holds at most one session, one
// connection and one request handle; all are closed when it is destroyed.

#include <memory>

#include "core/exchange/http_transport.h"

namespace zorvane::client {

std::unique_ptr<HttpTransport> makeWinInetTransport();

}  // namespace zorvane::client
