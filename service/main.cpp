// zorvane-service: the reference service. Logs to stderr; stops cleanly on
// SIGTERM and SIGINT.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <chrono>
#include <thread>

#include <CLI/CLI.hpp>

#include "service/service.h"

namespace {

void logLine(std::string_view line)
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << zorvane::service::utcNowText() << " zorvane-service: " << line << std::endl;
}

// "ADDR:PORT", the address possibly in brackets for IPv6.
bool splitListen(const std::string& listen, std::string& host, int& port)
{
    auto colon = listen.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    try {
        std::size_t used = 0;
        port = std::stoi(listen.substr(colon + 1), &used);
        return used == listen.size() - colon - 1 && port >= 0 && port <= 65535 && !host.empty();
    } catch (const std::exception&) {
        return false;
    }
}

// What the command line sets.
struct Settings {
    std::string listen = "127.0.0.1:8080";
    std::string db = "var/zorvane.sqlite";
    zorvane::service::ServiceOptions service;
    zorvane::service::StoreOptions store;
    long pendingSeconds = service.pendingLifetime.count();
    long windowSeconds = service.quotaWindow.count();
    long purgeSeconds = service.purgeInterval.count();
};

// Where the service listens and keeps its scans, and how it names itself.
void addPlaceOptions(CLI::App& app, Settings& settings)
{
    app.add_option("--listen", settings.listen, "Address and port to listen on (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--db", settings.db,
                   "SQLite database file (created with its directory), or a postgresql:// URL of a database "
                   "that several instances share")
        ->capture_default_str();
    app.add_option("--public-url", settings.service.publicUrl,
                   "Base of the results addresses (default: http://ADDR:PORT of --listen)");
    app.add_option("--trusted-proxy", settings.service.trustedProxies,
                   "Address of a load balancer whose X-Forwarded-For header names the client (repeatable); "
                   "exempt from --max-connections-per-address");
}

// What is known when, and how long what is kept stays.
void addRetentionOptions(CLI::App& app, Settings& settings)
{
    app.add_option("--corroborations", settings.store.corroborations,
                   "Distinct clients that must send the same SHA-1 and size before a digest is known")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--pending-lifetime", settings.pendingSeconds,
                   "Seconds an initialised scan waits for its submission before it is removed (0: forever)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--report-days", settings.service.reportDays,
                   "Days a report is kept after its submission (0: forever)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--scans-per-address", settings.service.scansPerAddress,
                   "New scans one client address may start per window (0: no limit)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--quota-window", settings.windowSeconds, "Seconds of the window that --scans-per-address counts in")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--purge-interval", settings.purgeSeconds,
                   "Seconds between two purges of expired scans (0: no purge)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
}

// The HTTP server's limits.
void addHttpOptions(CLI::App& app, Settings& settings)
{
    auto& http = settings.service.http;
    app.add_option("--max-connections", http.maxConnections, "Open connections in all; more are closed at once")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--max-connections-per-address", http.maxConnectionsPerAddress,
                   "Open connections from one client address (0: no cap)")
        ->capture_default_str();
    app.add_option("--header-timeout", http.headerTimeoutSeconds,
                   "Seconds in which a request's line and headers must arrive, from the connection's start or "
                   "its previous request's end")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--min-body-rate", http.minBodyRate,
                   "Bytes per second that a request body, and a report being sent, must average once they have "
                   "run for --header-timeout seconds (0: no minimum)")
        ->capture_default_str();
    app.add_option("--idle-timeout", http.idleTimeoutSeconds,
                   "Seconds after which a connection on which nothing moves is closed")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--max-headers", http.maxHeaders, "Request headers in number; more are answered 431")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{8}, std::size_t{10000}));
    app.add_option("--max-header-bytes", http.maxHeaderBytes,
                   "Bytes of request line and headers together; more are answered 431")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1024}, std::size_t{1} << 20));
    app.add_option("--max-renders", settings.service.maxRenders,
                   "Reports and exports written at once; more requests get 503 with Retry-After")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1024u));
    app.add_option("--threads", http.threads, "Threads that serve connections and run requests")
        ->capture_default_str()
        ->check(CLI::Range(1u, 256u));
    app.add_option("--shutdown-grace", http.shutdownGraceSeconds,
                   "Seconds that requests in flight get to end after SIGTERM or SIGINT")
        ->capture_default_str()
        ->check(CLI::Range(0u, 8u));
}

void logSettings(const Settings& settings, const std::string& host, const zorvane::service::Service& service)
{
    logLine("listening on " + host + ":" + std::to_string(service.port()) + ", database " +
            zorvane::service::displayLocation(settings.db) + ", reports under " + service.publicUrl() + "/scan/");
    const auto& options = settings.service;
    logLine("a digest is known after " + std::to_string(settings.store.corroborations) +
            " agreeing clients; unsubmitted scans kept " + std::to_string(settings.pendingSeconds) + " s, reports " +
            std::to_string(options.reportDays) + " days; " +
            (options.scansPerAddress > 0 ? std::to_string(options.scansPerAddress) + " new scans per address per " +
                                               std::to_string(settings.windowSeconds) + " s"
                                         : std::string("no limit of new scans per address")));
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"zorvane-service: the reference Zorvane process-information service"};
    Settings settings;
    addPlaceOptions(app, settings);
    addRetentionOptions(app, settings);
    addHttpOptions(app, settings);
    CLI11_PARSE(app, argc, argv);
    settings.service.pendingLifetime = std::chrono::seconds(settings.pendingSeconds);
    settings.service.quotaWindow = std::chrono::seconds(settings.windowSeconds);
    settings.service.purgeInterval = std::chrono::seconds(settings.purgeSeconds);
    settings.store.log = [](std::string_view line) { logLine(zorvane::service::escapedForLog(line)); };

    std::string host;
    int port = 0;
    if (!splitListen(settings.listen, host, port)) {
        logLine("--listen wants ADDR:PORT, got " + settings.listen);
        return 2;
    }

    // Block the stop signals before any thread starts, so that only the
    // waiting thread below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto store = zorvane::service::openScanStore(settings.db, settings.store);
    if (!store) {
        logLine(store.error().reason);
        return 1;
    }
    zorvane::service::Service service(**store, settings.service, logLine);
    if (auto bound = service.bind(host, port); !bound) {
        logLine(bound.error().reason);
        return 1;
    }
    logSettings(settings, host, service);

    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        logLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        service.stop();
    });
    const auto served = service.run();
    // run() also returns when the server cannot start; wake the waiter.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    logLine("stopped");
    return served ? 0 : 1;
}
