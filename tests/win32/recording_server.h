#pragma once
// The Wine tests' side of tests/tools/recording_server.py, which the CTest
// fixture "recording_server" starts on 127.0.0.1 and which writes its port to
// <build>/recording-server/port. Each RecordingServer uses its own channel
// (the first segment of the request target), so tests may run side by side.
// Control requests go over plain Winsock, apart from the code under test.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::testing {

struct RecordedRequest {
    int connection = 0;  // numbers the server's accepted TCP connections
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the first header of this name (case-insensitive).
    std::optional<std::string> header(std::string_view name) const;
};

class RecordingServer {
public:
    // Attaches to the fixture's server with a fresh channel. Empty when the
    // server is not running (its port file is missing) or does not answer.
    static std::optional<RecordingServer> attach();

    std::uint16_t port() const { return port_; }
    // A target prefix for this server's channel: "/<channel>/".
    std::string prefix() const { return "/" + channel_ + "/"; }

    // Queues one reply for the channel's next request.
    bool script(int status, std::string_view body);
    // Queues one script line as tests/tools/recording_server.py documents
    // it ("trickle 200 HEX", "refuse", "hold 30", ...).
    bool scriptLine(std::string_view line);
    // Bytes as the hex text of a script line.
    static std::string hex(std::string_view bytes);
    // The channel's requests so far, in arrival order; empty on failure.
    std::optional<std::vector<RecordedRequest>> requests() const;

private:
    RecordingServer(std::uint16_t port, std::string channel) : port_(port), channel_(std::move(channel)) {}
    std::optional<std::string> control(std::string_view method, std::string_view path, std::string_view body) const;

    std::uint16_t port_;
    std::string channel_;
};

}  // namespace zorvane::testing
