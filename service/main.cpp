// zorvane-service: the reference service. Logs to stderr; stops cleanly on
// SIGTERM and SIGINT.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

#include <CLI/CLI.hpp>

#include "service/hash_sets.h"
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

// What `import-hashes` sets.
struct SetSettings {
    std::string set;
    std::string kind;
    std::string file;
    bool list = false;
    std::string remove;
};

CLI::App* addSetCommand(CLI::App& app, Settings& settings, SetSettings& sets)
{
    auto* command = app.add_subcommand(
        "import-hashes", "Import a known-file set (the reference library's RDS text files or SQLite database, or a "
                         "list of MD5 or SHA-1 digests), list the sets, or remove one");
    command->add_option("--db", settings.db, "The service's database, as the service takes it")->capture_default_str();
    auto* name = command->add_option("--set", sets.set, "Name of the set to import; replaces the set of that name");
    auto* kind = command->add_option("--kind", sets.kind, "good (known software) or bad (known malicious)")
                     ->check(CLI::IsMember({"good", "bad"}));
    auto* file = command->add_option("FILE", sets.file, "NSRLFile.txt, an RDS SQLite database, or a digest list");
    auto* list = command->add_flag("--list", sets.list, "List the sets kept");
    auto* remove = command->add_option("--remove", sets.remove, "Remove the set of this name");
    name->needs(kind, file);
    kind->needs(name);
    file->needs(name);
    list->excludes(name, remove);
    remove->excludes(name);
    return command;
}

// Set by SIGINT or SIGTERM during an import, which then stops between two
// batches and keeps nothing.
std::atomic<bool> stopImport{false};

void onStopSignal(int)
{
    stopImport.store(true);
}

// Rows read and their rate on one line of the terminal, rewritten about
// once a second; nothing when stderr is not a terminal.
class ImportProgress {
public:
    void update(std::uint64_t rows)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!terminal_ || now - shown_ < std::chrono::seconds(1))
            return;
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        std::fprintf(stderr, "\r\033[K%llu rows read, %.0f rows/s", static_cast<unsigned long long>(rows),
                     seconds > 0 ? static_cast<double>(rows) / seconds : 0.0);
        std::fflush(stderr);
        drawn_ = true;
    }
    ~ImportProgress()
    {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
    }

private:
    const bool terminal_ = ::isatty(STDERR_FILENO) == 1;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown_ = start_;
    bool drawn_ = false;
};

int failSetCommand(const std::string& reason)
{
    std::cerr << "zorvane-service import-hashes: " << reason << std::endl;
    return 1;
}

int importSet(zorvane::service::ScanStore& store, const SetSettings& sets)
{
    namespace zs = zorvane::service;
    auto opened = zs::openHashSet(sets.file);
    if (!opened)
        return failSetCommand(opened.error().reason);
    auto& reader = *opened->reader;
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    stop.sa_flags = SA_RESETHAND;  // a second signal ends the program at once
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    zs::ImportOptions options;
    options.stop = &stopImport;
    std::optional<zs::Expected<zs::ImportSummary>> imported;
    {
        ImportProgress progress;
        options.progress = [&](std::uint64_t rows) { progress.update(rows); };
        imported = zs::importHashSet(store, reader, sets.set, sets.kind == "bad", options);
    }
    for (const std::string& note : reader.notes())
        std::cerr << "zorvane-service import-hashes: " << note << std::endl;
    if (!*imported)
        return failSetCommand(imported->error().reason);
    const zs::ImportSummary& summary = **imported;
    const std::string skipped = reader.skipped().describe();
    std::printf("imported %lld rows (%s) into the %s set \"%s\", %llu skipped%s%s%s, in %.1f s\n",
                static_cast<long long>(summary.set.rows), std::string(zs::formatName(opened->format)).c_str(),
                sets.kind.c_str(), summary.set.name.c_str(), static_cast<unsigned long long>(summary.skipped),
                skipped.empty() ? "" : " (", skipped.c_str(), skipped.empty() ? "" : ")", summary.seconds);
    return 0;
}

// import-hashes: --list, --remove NAME, or an import.
int runSetCommand(const Settings& settings, const SetSettings& sets)
{
    namespace zs = zorvane::service;
    if (!sets.list && sets.remove.empty() && sets.set.empty())
        return failSetCommand("name --set NAME --kind good|bad FILE, --list, or --remove NAME");
    zs::StoreOptions options = settings.store;
    options.log = [](std::string_view line) {
        std::cerr << "zorvane-service import-hashes: " << zs::escapedForLog(line) << std::endl;
    };
    auto store = zs::openScanStore(settings.db, options);
    if (!store)
        return failSetCommand(store.error().reason);
    if (sets.list) {
        auto listed = (*store)->listSets();
        if (!listed)
            return failSetCommand(listed.error().reason);
        if (listed->empty())
            std::printf("no known-file sets\n");
        for (const zs::HashSetInfo& set : *listed)
            std::printf("%s\t%s\t%lld rows\timported %s UTC\n", set.name.c_str(), set.bad ? "bad" : "good",
                        static_cast<long long>(set.rows), set.importedAt.c_str());
        return 0;
    }
    if (!sets.remove.empty()) {
        if (auto removed = (*store)->removeSet(sets.remove); !removed)
            return failSetCommand(removed.error().status == zs::kNotFound ? "no set is named " + sets.remove
                                                                          : removed.error().reason);
        std::printf("removed the set \"%s\"\n", sets.remove.c_str());
        return 0;
    }
    return importSet(**store, sets);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"zorvane-service: the reference Zorvane process-information service"};
    Settings settings;
    addPlaceOptions(app, settings);
    addRetentionOptions(app, settings);
    addHttpOptions(app, settings);
    SetSettings sets;
    auto* setCommand = addSetCommand(app, settings, sets);
    CLI11_PARSE(app, argc, argv);
    if (setCommand->parsed())
        return runSetCommand(settings, sets);
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
