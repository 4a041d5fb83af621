#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

// Starts the real program on a free loopback port, waits for its
// "listening" line, sends `signal` and returns its exit status.
int exitStatusAfter(int signal, std::string& log)
{
    auto dir = std::filesystem::temp_directory_path() / ("zorvane-shutdown-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return -1;
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        std::string db = (dir / "db.sqlite").string();
        ::execl(ZORVANE_SERVICE_BINARY, ZORVANE_SERVICE_BINARY, "--listen", "127.0.0.1:0", "--db", db.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[512];
    ssize_t got;
    bool signalled = false;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        log.append(buffer, static_cast<std::size_t>(got));
        if (!signalled && log.find("listening on") != std::string::npos) {
            ::kill(child, signal);
            signalled = true;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::filesystem::remove_all(dir);
    return status;
}

}  // namespace

TEST(ServiceProgram, StopsCleanlyOnSigtermAndSigint)
{
    for (int signal : {SIGTERM, SIGINT}) {
        std::string log;
        int status = exitStatusAfter(signal, log);
        ASSERT_TRUE(WIFEXITED(status)) << log;
        EXPECT_EQ(WEXITSTATUS(status), 0) << log;
        EXPECT_NE(log.find("stopped"), std::string::npos) << log;
    }
}
