#pragma once
// Winsock for the lifetime of the object (WSAStartup 2.2, then WSACleanup
// when it started).

#include <winsock2.h>

namespace zorvane::testing {

class WinsockSession {
public:
    WinsockSession() { ok_ = WSAStartup(MAKEWORD(2, 2), &data_) == 0; }
    ~WinsockSession()
    {
        if (ok_)
            WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool ok() const { return ok_; }

private:
    WSADATA data_{};
    bool ok_ = false;
};

}  // namespace zorvane::testing
