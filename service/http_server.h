#pragma once
// The service's HTTP server, over libmicrohttpd: an event loop on a few
// threads, so that a slow or idle connection costs a socket and a little
// memory, never a thread. Besides the library's own limits (connections in
// all, memory per connection, idle time) it enforces connections per
// address, a deadline for each request's head, a minimum rate for request
// bodies and streamed replies, caps on the number and size of request
// headers, and a stop that gives requests in flight a bounded time to end.
// Byte ranges are never served: every reply is whole.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "service/rejection.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace zorvane::service {

struct HttpOptions {
    // Threads of the event loop; a request runs its handler on one of
    // them, so they also bound how many requests reach the store at once.
    unsigned threads = 8;
    // Open connections in all, and from one client address; more are
    // closed as soon as they are accepted. 0: no per-address cap.
    unsigned maxConnections = 512;
    unsigned maxConnectionsPerAddress = 32;
    // A request's line and headers must be complete this long after the
    // connection opened or its previous request ended.
    unsigned headerTimeoutSeconds = 10;
    // Once a request body or a streamed reply has run for the header
    // timeout, it must have averaged at least this many bytes per second
    // over its whole time, or the connection is closed. 0: no minimum.
    std::size_t minBodyRate = 1024;
    // A connection on which nothing moves for this long is closed.
    unsigned idleTimeoutSeconds = 30;
    // Request headers in number, and the request line with all headers in
    // bytes; more is answered 431.
    std::size_t maxHeaders = 64;
    std::size_t maxHeaderBytes = 16u << 10;
    // After stop(), requests in flight have this long to end before every
    // connection is closed.
    unsigned shutdownGraceSeconds = 5;
    // Request bodies are kept up to this size; a larger one is read to its
    // end (up to kDiscardFactor times this), dropped, and answered by the
    // handlers' tooLarge().
    std::size_t maxBodyBytes = 8u << 20;
    // Client addresses exempt from the per-address cap: load balancers,
    // whose connections carry many clients' requests.
    std::vector<std::string> unlimitedAddresses;
};

struct HttpRequest {
    std::string method;
    // Percent-decoded, without the query.
    std::string path;
    // The connection's peer address, and the address the access log
    // names (the handlers may put the forwarded client's there).
    std::string peer;
    std::string client;
    std::vector<std::pair<std::string, std::string>> headers;
    // The query's arguments, percent-decoded, in order; an argument
    // without "=" has an empty value.
    std::vector<std::pair<std::string, std::string>> query;
    std::string body;

    // Every value of a header, in order; names compare case-insensitively.
    std::vector<std::string_view> headerValues(std::string_view name) const;
    std::optional<std::string_view> header(std::string_view name) const;
    // The first value of a query argument; names compare exactly.
    std::optional<std::string_view> queryValue(std::string_view name) const;
    // Whether the head announces a body (a length above 0, or a transfer
    // coding).
    bool announcesBody() const;
};

// A reply body of unknown length, written as it is sent (chunked).
class HttpStream {
public:
    virtual ~HttpStream() = default;
    // Appends the next piece to `out` (possibly nothing); false once the
    // body is complete or failed() says it cannot be.
    virtual bool next(std::string& out) = 0;
    virtual bool failed() const = 0;
};

struct HttpReply {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string text;
    // A body that outlives the server, sent without a copy, instead of text.
    const std::string* staticText = nullptr;
    // A streamed body instead of either.
    std::unique_ptr<HttpStream> stream;
    // Closes the connection once the reply is sent.
    bool close = false;
};

struct HttpHandlers {
    // Called once a request's head is complete. A reply answers the
    // request at once (a body is then never read); none reads the body and
    // then calls complete(). May set request.client.
    std::function<std::optional<HttpReply>(HttpRequest& request)> head;
    // Called with the whole body (possibly empty).
    std::function<HttpReply(HttpRequest& request)> complete;
    // Called for a body larger than maxBodyBytes, once it has been read.
    std::function<HttpReply(const HttpRequest& request)> tooLarge;
    // One line per request: method, path, status, bytes, time, client.
    std::function<void(std::string_view line)> accessLog;
};

class HttpServer {
public:
    // A body past the cap is read and dropped up to this many times the cap
    // before the connection is closed without a reply.
    static constexpr std::size_t kDiscardFactor = 16;

    HttpServer(HttpOptions options, HttpHandlers handlers);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Opens the listening socket; port 0 takes a free one.
    Expected<> bind(const std::string& host, int port);
    int port() const { return port_; }

    // Serves until stop(); then lets requests in flight end for up to the
    // shutdown grace and closes every connection. A stop() before run()
    // makes run() return at once. Refused when the server could not start.
    Expected<> run();
    void stop();

    struct Connection;
    struct Exchange;

private:
    friend struct Callbacks;

    void watch();
    void cutSlowConnections();
    std::string accessLine(const Exchange& exchange, int status, int termination) const;

    const HttpOptions options_;
    const HttpHandlers handlers_;
    int listenFd_ = -1;
    bool ipv6_ = false;
    int port_ = 0;
    MHD_Daemon* daemon_ = nullptr;

    // Open connections, and how many each limited address holds; the
    // watchdog closes a connection's socket only while it is listed here,
    // that is, before the library closes the descriptor.
    std::mutex connectionsMutex_;
    std::vector<Connection*> connections_;
    std::map<std::string, unsigned, std::less<>> perAddress_;

    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    bool stopRequested_ = false;
    bool watching_ = false;
    int inFlight_ = 0;
    std::atomic<bool> draining_{false};
};

}  // namespace zorvane::service
