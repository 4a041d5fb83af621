#include "service/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zorvane::service {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string addressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        // A dual-stack socket shows IPv4 peers as ::ffff:a.b.c.d.
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    return text;
}

// After a reply this large, the allocator is asked to give its free pages
// back, so that a burst of big reports does not stay resident.
constexpr std::uint64_t kTrimAfterBytes = 4u << 20;

// Pieces handed to the library at most this large; a rendered page may be
// bigger and is handed over in several.
constexpr std::size_t kStreamBlock = 64u << 10;

}  // namespace

std::vector<std::string_view> HttpRequest::headerValues(std::string_view name) const
{
    std::vector<std::string_view> values;
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            values.emplace_back(value);
    }
    return values;
}

std::optional<std::string_view> HttpRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            return std::string_view(value);
    }
    return std::nullopt;
}

std::optional<std::string_view> HttpRequest::queryValue(std::string_view name) const
{
    for (const auto& [key, value] : query) {
        if (key == name)
            return std::string_view(value);
    }
    return std::nullopt;
}

bool HttpRequest::announcesBody() const
{
    if (header("Transfer-Encoding"))
        return true;
    auto length = header("Content-Length");
    return length && length->find_first_not_of("0 \t") != std::string_view::npos;
}

// What the watchdog knows of one connection. The phase and its counters
// are written by the event-loop thread that owns the connection and read
// by the watchdog.
struct HttpServer::Connection {
    enum Phase : int {
        Head,       // waiting for a request's line and headers
        Body,       // reading a request body
        Busy,       // a handler runs, or a reply of known size is sent
        Streaming,  // a streamed reply is sent
    };
    enum Cut : int { NotCut, HeadLate, BodySlow, ReplySlow };

    int fd = -1;
    std::string address;
    bool limited = true;
    std::atomic<int> phase{Head};
    std::atomic<std::int64_t> since{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<int> cut{NotCut};
    // A streamed reply is being produced (a report reads the store): that
    // time is the server's, not the reader's, so the rate is not checked
    // meanwhile and the time is left out of it afterwards.
    std::atomic<bool> producing{false};
    // Whether a request's access line has told of the cut.
    std::atomic<bool> cutLogged{false};

    void enter(Phase next)
    {
        bytes = 0;
        since = nowNanoseconds();
        phase = next;
    }
};

// One request, from its request line to its end.
struct HttpServer::Exchange {
    Connection* connection = nullptr;
    std::int64_t started = 0;
    std::string target;
    HttpRequest request;
    bool headSeen = false;
    // The reply that head() gave a request without a body.
    std::optional<HttpReply> pending;
    bool inFlight = false;
    std::size_t dropped = 0;
    bool tooLarge = false;
    int status = 0;
    std::uint64_t bytes = 0;
};

namespace {

struct StreamState {
    std::unique_ptr<HttpStream> stream;
    HttpServer::Exchange* exchange = nullptr;
    std::string buffer;
    std::size_t offset = 0;
    std::uint64_t produced = 0;
};

}  // namespace

// The library's callbacks; `cls` is the server.
struct Callbacks {
    static MHD_Result accept(void* cls, const sockaddr* address, socklen_t)
    {
        auto* server = static_cast<HttpServer*>(cls);
        const unsigned cap = server->options_.maxConnectionsPerAddress;
        if (cap == 0)
            return MHD_YES;
        const std::string text = addressText(address);
        std::lock_guard lock(server->connectionsMutex_);
        auto it = server->perAddress_.find(text);
        return it == server->perAddress_.end() || it->second < cap ? MHD_YES : MHD_NO;
    }

    static void connection(void* cls, MHD_Connection* mhd, void** context, MHD_ConnectionNotificationCode code)
    {
        auto* server = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto c = std::make_unique<HttpServer::Connection>();
            const auto* fd = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD);
            const auto* peer = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            c->fd = fd ? fd->connect_fd : -1;
            c->address = peer ? addressText(peer->client_addr) : std::string();
            const auto& unlimited = server->options_.unlimitedAddresses;
            c->limited = std::find(unlimited.begin(), unlimited.end(), c->address) == unlimited.end();
            c->enter(HttpServer::Connection::Head);
            std::lock_guard lock(server->connectionsMutex_);
            if (c->limited)
                ++server->perAddress_[c->address];
            server->connections_.push_back(c.get());
            *context = c.release();
            return;
        }
        auto* c = static_cast<HttpServer::Connection*>(*context);
        if (!c)
            return;
        // A connection cut before its request line had none to log; the
        // cut still leaves its trace.
        if (c->cut.load() != HttpServer::Connection::NotCut && !c->cutLogged && server->handlers_.accessLog) {
            HttpServer::Exchange unseen;
            unseen.connection = c;
            unseen.started = c->since;
            unseen.target = "-";
            unseen.request.peer = c->address;
            server->handlers_.accessLog(server->accessLine(unseen, 0, MHD_REQUEST_TERMINATED_WITH_ERROR));
        }
        {
            std::lock_guard lock(server->connectionsMutex_);
            auto& all = server->connections_;
            all.erase(std::remove(all.begin(), all.end(), c), all.end());
            if (c->limited) {
                auto it = server->perAddress_.find(c->address);
                if (it != server->perAddress_.end() && --it->second == 0)
                    server->perAddress_.erase(it);
            }
        }
        delete c;
        *context = nullptr;
    }

    static HttpServer::Connection* connectionOf(MHD_Connection* mhd)
    {
        const auto* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<HttpServer::Connection*>(info->socket_context) : nullptr;
    }

    // Called once the request line is in, before the headers: from here
    // on the request is logged, whatever becomes of it.
    static void* requestLine(void*, const char* uri, MHD_Connection* mhd)
    {
        auto* exchange = new HttpServer::Exchange;
        exchange->connection = connectionOf(mhd);
        exchange->started = nowNanoseconds();
        exchange->target = uri ? uri : "";
        exchange->target = exchange->target.substr(0, exchange->target.find('?'));
        if (exchange->connection)
            exchange->request.peer = exchange->connection->address;
        return exchange;
    }

    static void completed(void* cls, MHD_Connection* mhd, void** context, MHD_RequestTerminationCode code)
    {
        auto* server = static_cast<HttpServer*>(cls);
        std::unique_ptr<HttpServer::Exchange> exchange(static_cast<HttpServer::Exchange*>(*context));
        *context = nullptr;
        if (!exchange)
            return;
        int status = exchange->status;
        if (status == 0) {
            const auto* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_HTTP_STATUS);
            status = info ? static_cast<int>(info->http_status) : 0;
        }
        if (server->handlers_.accessLog)
            server->handlers_.accessLog(server->accessLine(*exchange, status, code));
        if (exchange->connection) {
            exchange->connection->cutLogged = exchange->connection->cut.load() != HttpServer::Connection::NotCut;
            exchange->connection->enter(HttpServer::Connection::Head);
        }
        if (exchange->inFlight) {
            std::lock_guard lock(server->stateMutex_);
            --server->inFlight_;
            server->stateChanged_.notify_all();
        }
    }

    static MHD_Result request(void* cls, MHD_Connection* mhd, const char* url, const char* method, const char*,
                              const char* data, std::size_t* size, void** context)
    {
        auto* server = static_cast<HttpServer*>(cls);
        auto* exchange = static_cast<HttpServer::Exchange*>(*context);
        if (!exchange) {
            // The request line bypassed the line callback (it cannot, but
            // the library owns that order): keep the request anyway.
            exchange = static_cast<HttpServer::Exchange*>(requestLine(cls, url, mhd));
            *context = exchange;
        }
        if (!exchange->headSeen)
            return requestHead(server, mhd, *exchange, url, method);
        if (*size > 0)
            return requestBodyPiece(server, *exchange, data, size);
        return requestEnd(server, mhd, *exchange);
    }

    // Whether the request's head holds more headers, or more bytes, than
    // the server takes.
    static bool headTooLarge(const HttpServer* server, MHD_Connection* mhd)
    {
        const int count = MHD_get_connection_values(mhd, MHD_HEADER_KIND, nullptr, nullptr);
        const auto* head = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        return count < 0 || static_cast<std::size_t>(count) > server->options_.maxHeaders ||
               (head && head->header_size > server->options_.maxHeaderBytes);
    }

    // The headers and the query's arguments (the head's size bounds both).
    static void readHeaders(MHD_Connection* mhd, HttpRequest& request)
    {
        for (auto [kind, into] : {std::pair{MHD_HEADER_KIND, &request.headers},
                                  std::pair{MHD_GET_ARGUMENT_KIND, &request.query}}) {
            MHD_get_connection_values_n(
                mhd, kind,
                [](void* list, MHD_ValueKind, const char* key, std::size_t keySize, const char* value,
                   std::size_t valueSize) {
                    static_cast<std::vector<std::pair<std::string, std::string>>*>(list)->emplace_back(
                        std::string(key, keySize), std::string(value ? value : "", value ? valueSize : 0));
                    return MHD_YES;
                },
                into);
        }
    }

    // The first call of a request: its line and headers are in.
    static MHD_Result requestHead(HttpServer* server, MHD_Connection* mhd, HttpServer::Exchange& exchange,
                                  const char* url, const char* method)
    {
        exchange.headSeen = true;
        {
            std::lock_guard lock(server->stateMutex_);
            ++server->inFlight_;
            exchange.inFlight = true;
        }
        HttpRequest& request = exchange.request;
        request.method = method;
        request.path = url;
        request.client = request.peer;
        if (exchange.connection)
            exchange.connection->enter(HttpServer::Connection::Busy);
        if (headTooLarge(server, mhd)) {
            HttpReply reply;
            reply.status = 431;
            reply.text = "more than " + std::to_string(server->options_.maxHeaders) + " headers or " +
                         std::to_string(server->options_.maxHeaderBytes) + " bytes of request head\n";
            reply.close = true;
            return queue(server, mhd, exchange, std::move(reply));
        }
        readHeaders(mhd, request);
        auto reply = server->handlers_.head(request);
        // A reply queued before the whole request is in makes the library
        // drop the rest and close the connection: right for a refused body,
        // so a request without one is answered on the next call, once it is
        // complete.
        if (reply && request.announcesBody())
            return queue(server, mhd, exchange, std::move(*reply));
        exchange.pending = std::move(reply);
        if (!exchange.pending && request.announcesBody() && exchange.connection)
            exchange.connection->enter(HttpServer::Connection::Body);
        return MHD_YES;
    }

    // A piece of the body: kept up to the cap, then read and dropped up to
    // kDiscardFactor times the cap.
    static MHD_Result requestBodyPiece(HttpServer* server, HttpServer::Exchange& exchange, const char* data,
                                       std::size_t* size)
    {
        HttpRequest& request = exchange.request;
        const std::size_t cap = server->options_.maxBodyBytes;
        if (!exchange.tooLarge && request.body.size() + *size <= cap) {
            request.body.append(data, *size);
        } else {
            if (!exchange.tooLarge) {
                exchange.tooLarge = true;
                exchange.dropped = request.body.size();
                std::string().swap(request.body);
            }
            exchange.dropped += *size;
            if (exchange.dropped > cap * HttpServer::kDiscardFactor)
                return MHD_NO;
        }
        if (exchange.connection)
            exchange.connection->bytes += *size;
        *size = 0;
        return MHD_YES;
    }

    // The last call of a request: all of it is in.
    static MHD_Result requestEnd(HttpServer* server, MHD_Connection* mhd, HttpServer::Exchange& exchange)
    {
        if (exchange.connection)
            exchange.connection->enter(HttpServer::Connection::Busy);
        if (exchange.pending) {
            HttpReply reply = std::move(*exchange.pending);
            exchange.pending.reset();
            return queue(server, mhd, exchange, std::move(reply));
        }
        if (exchange.tooLarge) {
            HttpReply reply = server->handlers_.tooLarge(exchange.request);
            reply.close = true;
            return queue(server, mhd, exchange, std::move(reply));
        }
        return queue(server, mhd, exchange, server->handlers_.complete(exchange.request));
    }

    static ssize_t readStream(void* cls, std::uint64_t, char* into, std::size_t max)
    {
        auto* state = static_cast<StreamState*>(cls);
        struct Producing {
            HttpServer::Connection* connection;
            std::int64_t start = nowNanoseconds();
            explicit Producing(HttpServer::Connection* c) : connection(c)
            {
                if (connection)
                    connection->producing = true;
            }
            ~Producing()
            {
                if (!connection)
                    return;
                connection->since += nowNanoseconds() - start;
                connection->producing = false;
            }
        } producing(state->offset == state->buffer.size() ? state->exchange->connection : nullptr);
        while (state->offset == state->buffer.size()) {
            state->offset = 0;
            if (state->buffer.capacity() > 4 * kStreamBlock)
                std::string().swap(state->buffer);
            else
                state->buffer.clear();
            if (!state->stream->next(state->buffer))
                return state->stream->failed() ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
        }
        const std::size_t n = std::min(max, state->buffer.size() - state->offset);
        std::memcpy(into, state->buffer.data() + state->offset, n);
        state->offset += n;
        state->produced += n;
        state->exchange->bytes += n;
        if (state->exchange->connection)
            state->exchange->connection->bytes += n;
        return static_cast<ssize_t>(n);
    }

    static void freeStream(void* cls)
    {
        std::unique_ptr<StreamState> state(static_cast<StreamState*>(cls));
        const bool big = state->produced >= kTrimAfterBytes;
        state.reset();
        if (big)
            malloc_trim(0);
    }

    static MHD_Result queue(HttpServer* server, MHD_Connection* mhd, HttpServer::Exchange& exchange, HttpReply reply)
    {
        MHD_Response* response = nullptr;
        auto next = HttpServer::Connection::Busy;
        if (reply.stream) {
            auto state = std::make_unique<StreamState>();
            state->stream = std::move(reply.stream);
            state->exchange = &exchange;
            response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, readStream, state.get(),
                                                         freeStream);
            if (response)
                state.release();
            next = HttpServer::Connection::Streaming;
        } else if (reply.staticText) {
            response = MHD_create_response_from_buffer(reply.staticText->size(),
                                                       const_cast<char*>(reply.staticText->data()),
                                                       MHD_RESPMEM_PERSISTENT);
            exchange.bytes = reply.staticText->size();
        } else {
            response = MHD_create_response_from_buffer(reply.text.size(), reply.text.data(), MHD_RESPMEM_MUST_COPY);
            exchange.bytes = reply.text.size();
        }
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, "Content-Type", reply.contentType.c_str());
        for (const auto& [name, value] : reply.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        if (reply.close || server->draining_)
            MHD_add_response_header(response, "Connection", "close");
        exchange.status = reply.status;
        const MHD_Result queued = MHD_queue_response(mhd, static_cast<unsigned>(reply.status), response);
        MHD_destroy_response(response);
        if (exchange.connection)
            exchange.connection->enter(next);
        return queued;
    }
};

HttpServer::HttpServer(HttpOptions options, HttpHandlers handlers)
    : options_(std::move(options)), handlers_(std::move(handlers))
{
}

HttpServer::~HttpServer()
{
    if (daemon_)
        MHD_stop_daemon(daemon_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

Expected<> HttpServer::bind(const std::string& host, int port)
{
    auto refused = [&] { return reject(kUnavailable, "cannot listen on " + host + ":" + std::to_string(port)); };
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found) != 0)
        return refused();
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        // No SO_REUSEPORT: a second service on a taken port must fail to
        // bind, not share the port.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            ::close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        ipv6_ = bound.ss_family == AF_INET6;
        listenFd_ = fd;
        return {};
    }
    return refused();
}

Expected<> HttpServer::run()
{
    {
        std::lock_guard lock(stateMutex_);
        if (stopRequested_)
            return {};
        if (listenFd_ < 0)
            return reject(kUnavailable, "the HTTP server has no listening socket");
    }
    // The library keeps request heads in each connection's memory pool:
    // room for the largest head we take, and the reads and writes beside it.
    const std::size_t pool = std::max<std::size_t>(32u << 10, 2 * options_.maxHeaderBytes + (16u << 10));
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC;
    if (ipv6_)
        flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, 0, &Callbacks::accept, this, &Callbacks::request, this, MHD_OPTION_LISTEN_SOCKET, listenFd_,
        MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, options_.threads), MHD_OPTION_CONNECTION_LIMIT,
        std::max(1u, options_.maxConnections), MHD_OPTION_CONNECTION_TIMEOUT, options_.idleTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::connection, this,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this, MHD_OPTION_URI_LOG_CALLBACK,
        &Callbacks::requestLine, this, MHD_OPTION_END);
    if (!daemon_)
        return reject(kUnavailable, "cannot start the HTTP server (sockets, threads or memory)");

    std::unique_lock lock(stateMutex_);
    watching_ = true;
    lock.unlock();
    std::thread watchdog([this] { watch(); });
    lock.lock();
    stateChanged_.wait(lock, [this] { return stopRequested_; });

    // New connections stay in the backlog until the socket closes after the
    // daemon stops; replies from now on close their connections.
    draining_ = true;
    lock.unlock();
    MHD_quiesce_daemon(daemon_);
    lock.lock();
    stateChanged_.wait_for(lock, std::chrono::seconds(options_.shutdownGraceSeconds), [this] { return inFlight_ == 0; });
    watching_ = false;
    stateChanged_.notify_all();
    lock.unlock();
    watchdog.join();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    ::close(listenFd_);
    listenFd_ = -1;
    return {};
}

void HttpServer::stop()
{
    std::lock_guard lock(stateMutex_);
    stopRequested_ = true;
    stateChanged_.notify_all();
}

void HttpServer::watch()
{
    std::unique_lock lock(stateMutex_);
    while (watching_) {
        stateChanged_.wait_for(lock, std::chrono::milliseconds(250));
        if (!watching_)
            break;
        lock.unlock();
        cutSlowConnections();
        lock.lock();
    }
}

namespace {

// Whether bytes sent on a socket wait for its peer to take them.
bool unsentBytesWait(int fd)
{
    int unsent = 0;
    return ::ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent > 0;
}

}  // namespace

void HttpServer::cutSlowConnections()
{
    const std::int64_t now = nowNanoseconds();
    const double grace = static_cast<double>(options_.headerTimeoutSeconds);
    const double rate = static_cast<double>(options_.minBodyRate);
    std::lock_guard lock(connectionsMutex_);
    for (Connection* c : connections_) {
        if (c->cut != Connection::NotCut || c->fd < 0)
            continue;
        const double elapsed = static_cast<double>(now - c->since) / 1e9;
        Connection::Cut why = Connection::NotCut;
        switch (c->phase) {
        case Connection::Head:
            why = elapsed > grace ? Connection::HeadLate : Connection::NotCut;
            break;
        case Connection::Body:
        case Connection::Streaming:
            // A reader that took all that was sent is not the slow one: the
            // reply is being produced, for this connection or for another
            // one that its event-loop thread serves.
            if (c->phase == Connection::Streaming && (c->producing || !unsentBytesWait(c->fd)))
                break;
            if (rate > 0 && elapsed > grace && static_cast<double>(c->bytes) < rate * (elapsed - grace))
                why = c->phase == Connection::Body ? Connection::BodySlow : Connection::ReplySlow;
            break;
        default:
            break;
        }
        if (why == Connection::NotCut)
            continue;
        // The library closes the descriptor only after it has told us the
        // connection closed, which waits for this lock: the descriptor is
        // still this connection's.
        c->cut = why;
        ::shutdown(c->fd, SHUT_RDWR);
    }
}

std::string HttpServer::accessLine(const Exchange& exchange, int status, int termination) const
{
    const HttpRequest& request = exchange.request;
    const auto milliseconds = (nowNanoseconds() - exchange.started) / 1000000;
    std::string line = (request.method.empty() ? std::string("-") : request.method) + " " +
                       (exchange.headSeen ? request.path : exchange.target) + " " +
                       (status ? std::to_string(status) : std::string("-")) + " " + std::to_string(exchange.bytes) +
                       " bytes " + std::to_string(milliseconds) + " ms from " +
                       (request.client.empty() ? request.peer : request.client);
    const int cut = exchange.connection ? exchange.connection->cut.load() : Connection::NotCut;
    if (cut == Connection::HeadLate)
        line += ", cut: no complete head within " + std::to_string(options_.headerTimeoutSeconds) + " s";
    else if (cut == Connection::BodySlow)
        line += ", cut: body slower than " + std::to_string(options_.minBodyRate) + " bytes/s";
    else if (cut == Connection::ReplySlow)
        line += ", cut: reply read slower than " + std::to_string(options_.minBodyRate) + " bytes/s";
    else if (termination == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED)
        line += ", cut: idle for " + std::to_string(options_.idleTimeoutSeconds) + " s";
    else if (termination == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN)
        line += ", cut: shutting down";
    else if (termination == MHD_REQUEST_TERMINATED_CLIENT_ABORT || termination == MHD_REQUEST_TERMINATED_READ_ERROR)
        line += ", the client went away";
    else if (termination == MHD_REQUEST_TERMINATED_WITH_ERROR)
        line += exchange.tooLarge ? ", cut: body far over the cap" : ", not completed";
    return line;
}

}  // namespace zorvane::service
