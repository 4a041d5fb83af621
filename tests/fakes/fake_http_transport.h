#pragma once
// A scripted HttpTransport: each request gets the next scripted reply, every
// call is logged, and any operation can be made to fail.

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/conversions.h"
#include "core/exchange/http_transport.h"

namespace zorvane::testing {

class FakeHttpTransport : public HttpTransport {
public:
    struct Reply {
        std::u16string status = u"200";
        std::string body;
        // The announced length: the body's own when unset; -1 announces none.
        std::optional<std::int64_t> contentLength = std::nullopt;
        // Reads fail once this many bytes were delivered (a broken-off reply).
        std::optional<std::size_t> failReadAfter = std::nullopt;
    };
    struct Request {
        std::u16string verb;
        std::u16string target;
        std::vector<std::u16string> headers;
        std::uint32_t announcedLength = 0;
        std::string body;
        std::vector<std::uint32_t> writeSizes;
    };

    // Operations by name ("openSession", "connect", "openRequest",
    // "addRequestHeader", "sendRequest", "write", "endRequest",
    // "queryStatusCode", "read") that fail.
    std::set<std::string> failing;
    // Writes report 0 bytes while set.
    bool writeNothing = false;
    // Writes accept at most this many bytes per call.
    std::uint32_t writeLimit = UINT32_MAX;

    std::deque<Reply> replies;
    std::vector<Request> requests;
    std::vector<std::string> calls;
    // Called with each call's log entry, before the call acts (a test may
    // press Cancel at a chosen call).
    std::function<void(const std::string&)> onCall;
    int sessionsOpen = 0, connectionsOpen = 0, requestsOpen = 0;

    bool openSession(std::u16string_view agent) override
    {
        log("openSession " + toUtf8(agent));
        if (failing.contains("openSession"))
            return false;
        ++sessionsOpen;
        return true;
    }
    bool connect(std::u16string_view host, std::uint16_t port) override
    {
        log("connect " + toUtf8(host) + ":" + std::to_string(port));
        if (failing.contains("connect"))
            return false;
        ++connectionsOpen;
        return true;
    }
    bool openRequest(std::u16string_view verb, std::u16string_view target) override
    {
        log("openRequest " + toUtf8(verb) + " " + toUtf8(target));
        if (failing.contains("openRequest"))
            return false;
        ++requestsOpen;
        Request request;
        request.verb = verb;
        request.target = target;
        requests.push_back(std::move(request));
        return true;
    }
    bool addRequestHeader(std::u16string_view line) override
    {
        log("addRequestHeader");
        requests.back().headers.emplace_back(line);
        return !failing.contains("addRequestHeader");
    }
    bool sendRequest(std::uint32_t totalLength) override
    {
        log("sendRequest " + std::to_string(totalLength));
        requests.back().announcedLength = totalLength;
        return !failing.contains("sendRequest");
    }
    std::optional<std::uint32_t> write(const char* data, std::uint32_t size) override
    {
        log("write " + std::to_string(size));
        if (failing.contains("write"))
            return std::nullopt;
        const std::uint32_t n = writeNothing ? 0 : std::min(size, writeLimit);
        requests.back().body.append(data, n);
        requests.back().writeSizes.push_back(n);
        return n;
    }
    bool endRequest() override
    {
        log("endRequest");
        if (failing.contains("endRequest"))
            return false;
        current_ = replies.empty() ? Reply{u"404", "no scripted reply"} : replies.front();
        if (!replies.empty())
            replies.pop_front();
        readOffset_ = 0;
        return true;
    }
    std::optional<std::u16string> queryStatusCode() override
    {
        log("queryStatusCode");
        if (failing.contains("queryStatusCode"))
            return std::nullopt;
        return current_.status;
    }
    std::optional<std::uint64_t> queryContentLength() override
    {
        log("queryContentLength");
        if (!current_.contentLength)
            return current_.body.size();
        if (*current_.contentLength < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(*current_.contentLength);
    }
    std::optional<std::uint32_t> read(char* buffer, std::uint32_t size) override
    {
        log("read " + std::to_string(size));
        if (failing.contains("read") || (current_.failReadAfter && readOffset_ >= *current_.failReadAfter))
            return std::nullopt;
        const std::size_t end =
            current_.failReadAfter ? std::min(*current_.failReadAfter, current_.body.size()) : current_.body.size();
        const std::size_t n = std::min<std::size_t>(size, end - readOffset_);
        std::memcpy(buffer, current_.body.data() + readOffset_, n);
        readOffset_ += n;
        return static_cast<std::uint32_t>(n);
    }
    void closeRequest() override
    {
        log("closeRequest");
        --requestsOpen;
    }
    void closeConnection() override
    {
        log("closeConnection");
        --connectionsOpen;
    }
    void closeSession() override
    {
        log("closeSession");
        --sessionsOpen;
    }

    std::size_t count(std::string_view prefix) const
    {
        return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
            return call.rfind(prefix, 0) == 0;
        }));
    }

private:
    void log(std::string call)
    {
        calls.push_back(std::move(call));
        if (onCall)
            onCall(calls.back());
    }

    Reply current_;
    std::size_t readOffset_ = 0;
};

}  // namespace zorvane::testing
