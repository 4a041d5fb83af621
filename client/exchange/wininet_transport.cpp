#include "client/exchange/wininet_transport.h"

#include <algorithm>

#include "client/win32/unique_internet.h"
#include "client/win32/wide.h"

namespace zorvane::client {

namespace {

#ifndef _WIN64
static_assert(sizeof(INTERNET_BUFFERSW) == 40, "the announced-length structure of the 32-bit API");
#endif

class WinInetTransport : public HttpTransport {
public:
    bool openSession(std::u16string_view userAgent) override
    {
        if (session_)
            return false;
        const std::u16string agent(userAgent);
        session_.reset(InternetOpenW(win32::wide(agent), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        return static_cast<bool>(session_);
    }

    bool connect(std::u16string_view host, std::uint16_t port) override
    {
        if (!session_ || connection_)
            return false;
        const std::u16string name(host);
        connection_.reset(InternetConnectW(session_.get(), win32::wide(name), port, nullptr, nullptr,
                                           INTERNET_SERVICE_HTTP, 0, 0));
        return static_cast<bool>(connection_);
    }

    bool openRequest(std::u16string_view verb, std::u16string_view target) override
    {
        if (!connection_ || request_)
            return false;
        const std::u16string verbText(verb);
        const std::u16string object(target);
        request_.reset(HttpOpenRequestW(connection_.get(), win32::wide(verbText), win32::wide(object), nullptr,
                                        nullptr, nullptr, INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION,
                                        0));
        return static_cast<bool>(request_);
    }

    bool addRequestHeader(std::u16string_view line) override
    {
        const std::u16string text(line);
        return request_ && HttpAddRequestHeadersW(request_.get(), win32::wide(text), static_cast<DWORD>(text.size()),
                                                  HTTP_ADDREQ_FLAG_ADD);
    }

    bool sendRequest(std::uint32_t totalLength) override
    {
        if (!request_)
            return false;
        INTERNET_BUFFERSW buffers{};
        buffers.dwStructSize = sizeof buffers;
        buffers.dwBufferTotal = totalLength;
        return HttpSendRequestExW(request_.get(), &buffers, nullptr, 0, 0);
    }

    std::optional<std::uint32_t> write(const char* data, std::uint32_t size) override
    {
        DWORD written = 0;
        if (!request_ || !InternetWriteFile(request_.get(), data, size, &written))
            return std::nullopt;
        return written;
    }

    bool endRequest() override { return request_ && HttpEndRequestW(request_.get(), nullptr, 0, 0); }

    std::optional<std::u16string> queryStatusCode() override
    {
        wchar_t status[10] = {};
        DWORD size = sizeof status;
        if (!request_ || !HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE, status, &size, nullptr))
            return std::nullopt;
        return win32::fromWide(status, std::min<DWORD>(size / sizeof(wchar_t), 9));
    }

    std::optional<std::uint64_t> queryContentLength() override
    {
        wchar_t text[32] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        if (!request_ || !HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
            return std::nullopt;
        const std::size_t length = std::min<std::size_t>(size / sizeof(wchar_t), 31);
        if (length == 0 || length > 19)
            return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (text[i] < L'0' || text[i] > L'9')
                return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
        }
        return value;
    }

    std::optional<std::uint32_t> read(char* buffer, std::uint32_t size) override
    {
        DWORD got = 0;
        if (!request_ || !InternetReadFile(request_.get(), buffer, size, &got))
            return std::nullopt;
        return got;
    }

    void closeRequest() override { request_.reset(); }
    void closeConnection() override { connection_.reset(); }
    void closeSession() override { session_.reset(); }

private:
    // Declared so that destruction closes the request first, the session last.
    win32::UniqueInternet session_;
    win32::UniqueInternet connection_;
    win32::UniqueInternet request_;
};

}  // namespace

std::unique_ptr<HttpTransport> makeWinInetTransport() { return std::make_unique<WinInetTransport>(); }

}  // namespace zorvane::client
