#pragma once
// The real zorvane-service program as a child process on a free loopback
// port, with its own database file and log, and what /proc tells about its
// memory. Used by the tests that kill, load or flood the program itself.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zorvane::testing {

class ServiceProcess {
public:
    ServiceProcess() = default;
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess()
    {
        if (pid_ > 0)
            kill(SIGKILL);
    }

    // The program under test: ZORVANE_SERVICE_UNDER_TEST when set (another
    // build of it), else the one built beside the tests.
    static std::string binary()
    {
        const char* other = std::getenv("ZORVANE_SERVICE_UNDER_TEST");
        return other && *other ? other : ZORVANE_SERVICE_BINARY;
    }

    // Starts the program on `db`, with `options` besides, and waits for its
    // "listening" line. False when it exits first or does not announce
    // itself within a minute.
    bool start(const std::filesystem::path& db, const std::filesystem::path& log,
               const std::vector<std::string>& options = {})
    {
        log_ = log;
        std::filesystem::create_directories(log.parent_path());
        const std::size_t logStart = std::filesystem::exists(log) ? std::filesystem::file_size(log) : 0;
        // Everything the child needs is made before fork: only async-signal-safe
        // calls run between fork and exec.
        const std::string program = binary();
        const std::string dbPath = db.string();
        // Load and crash runs start far more scans from loopback than the
        // default allowance of one address.
        std::vector<const char*> argv = {program.c_str(), "--listen", "127.0.0.1:0", "--db", dbPath.c_str(),
                                         "--scans-per-address", "0"};
        for (const std::string& option : options)
            argv.push_back(option.c_str());
        argv.push_back(nullptr);
        // A small allocator quarantine, so that the resident size follows the
        // memory in use rather than the sanitizer's store of freed blocks.
        std::vector<std::string> environment;
        std::string asan = "ASAN_OPTIONS=quarantine_size_mb=16";
        for (char** e = environ; *e; ++e) {
            if (std::string_view(*e).rfind("ASAN_OPTIONS=", 0) == 0)
                asan = std::string(*e) + ":quarantine_size_mb=16";
            else
                environment.emplace_back(*e);
        }
        environment.push_back(asan);
        std::vector<const char*> envp;
        for (const auto& e : environment)
            envp.push_back(e.c_str());
        envp.push_back(nullptr);
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0)
            return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Dies with the test, also when the test itself is killed.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(logFd, 2);
            ::execve(program.c_str(), const_cast<char* const*>(argv.data()), const_cast<char* const*>(envp.data()));
            ::_exit(127);
        }
        ::close(logFd);
        if (pid_ < 0)
            return false;
        for (int i = 0; i < 1200; ++i) {
            std::string text = logText().substr(logStart);
            auto at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos && text.find(',', at) != std::string::npos) {
                port_ = std::stoi(text.substr(at + 23));
                return port_ > 0;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Sends `signal` and reaps the child; its wait status.
    int kill(int signal)
    {
        int status = -1;
        if (pid_ > 0) {
            ::kill(pid_, signal);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return status;
    }

    bool alive() const
    {
        int status = 0;
        return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
    }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // A "Vm..." line of /proc/PID/status in KiB: VmRSS now, VmHWM the peak.
    std::optional<long> memoryKiB(const char* field) const
    {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        const std::string prefix = std::string(field) + ":";
        while (std::getline(status, line)) {
            if (line.rfind(prefix, 0) == 0)
                return std::stol(line.substr(prefix.size()));
        }
        return std::nullopt;
    }

    std::string logText() const
    {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::filesystem::path log_;
};

}  // namespace zorvane::testing
