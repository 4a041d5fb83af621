#pragma once
// The HTTP client as ServerConnection uses it, shaped like WinINet's request
// life cycle: one session, one connection to the host, and one request at a
// time on it. The Win32 adapter is WinINet; the native tests use a fake.
// Used only on the scan worker thread; every call may block.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

class HttpTransport {
public:
    virtual ~HttpTransport() = default;

    // InternetOpenW with the system's configured proxy settings.
    virtual bool openSession(std::u16string_view userAgent) = 0;
    // InternetConnectW for plain HTTP on the open session.
    virtual bool connect(std::u16string_view host, std::uint16_t port) = 0;
    // HttpOpenRequestW on the connection, with caching of the response off
    // and the connection kept alive for the next request.
    virtual bool openRequest(std::u16string_view verb, std::u16string_view target) = 0;
    // HttpAddRequestHeadersW with one header line, added as it stands.
    virtual bool addRequestHeader(std::u16string_view line) = 0;
    // HttpSendRequestExW announcing the total body length.
    virtual bool sendRequest(std::uint32_t totalLength) = 0;
    // InternetWriteFile: the count actually written, or none on failure.
    virtual std::optional<std::uint32_t> write(const char* data, std::uint32_t size) = 0;
    // HttpEndRequestW.
    virtual bool endRequest() = 0;
    // HttpQueryInfoW of the status code as text (at most 9 characters).
    virtual std::optional<std::u16string> queryStatusCode() = 0;
    // HttpQueryInfoW of the announced reply length (Content-Length); none
    // when the reply announces none or announces no plain number.
    virtual std::optional<std::uint64_t> queryContentLength() = 0;
    // InternetReadFile: the count read (0 at the end), or none on failure.
    virtual std::optional<std::uint32_t> read(char* buffer, std::uint32_t size) = 0;

    // Each closes its handle if open; closing the connection or the session
    // requires the handles below it to be closed first.
    virtual void closeRequest() = 0;
    virtual void closeConnection() = 0;
    virtual void closeSession() = 0;
};

}  // namespace zorvane
