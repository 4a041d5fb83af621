#include "recording_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <fstream>

#include "support.h"
#include "winsock_session.h"

namespace zorvane::testing {

namespace {

class Socket {
public:
    Socket() : s_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
    ~Socket()
    {
        if (s_ != INVALID_SOCKET)
            closesocket(s_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return s_; }

private:
    SOCKET s_;
};

std::string hexEncode(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string hexDecode(std::string_view hex)
{
    auto value = [](char c) { return c <= '9' ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10; };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(value(hex[i]) << 4 | value(hex[i + 1])));
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name))
            return value;
    return std::nullopt;
}

std::optional<RecordingServer> RecordingServer::attach()
{
    std::ifstream portFile(buildTreePath(L"recording-server\\port").c_str());
    int port = 0;
    if (!(portFile >> port) || port <= 0 || port > 65535)
        return std::nullopt;
    RecordingServer server(static_cast<std::uint16_t>(port), "");
    auto channel = server.control("POST", "/_control/channel", "");
    if (!channel || channel->empty())
        return std::nullopt;
    server.channel_ = *channel;
    return server;
}

std::optional<std::string> RecordingServer::control(std::string_view method, std::string_view path,
                                                    std::string_view body) const
{
    WinsockSession winsock;
    if (!winsock.ok())
        return std::nullopt;
    Socket socket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket.get() == INVALID_SOCKET ||
        connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    std::string request = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                          "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                          std::string(body);
    for (std::size_t sent = 0; sent < request.size();) {
        const int n = send(socket.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0)
            return std::nullopt;
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    char buffer[4096];
    for (int n; (n = recv(socket.get(), buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(n));
    const auto headEnd = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.", 0) != 0 || reply.compare(9, 3, "200") != 0 || headEnd == std::string::npos)
        return std::nullopt;
    return reply.substr(headEnd + 4);
}

bool RecordingServer::script(int status, std::string_view body)
{
    return scriptLine(std::to_string(status) + " " + hexEncode(body));
}

bool RecordingServer::scriptLine(std::string_view line)
{
    return control("POST", "/_control/script/" + channel_, std::string(line) + "\n").has_value();
}

std::string RecordingServer::hex(std::string_view bytes) { return hexEncode(bytes); }

std::optional<std::vector<RecordedRequest>> RecordingServer::requests() const
{
    const auto log = control("GET", "/_control/log/" + channel_, "");
    if (!log)
        return std::nullopt;
    std::vector<RecordedRequest> requests;
    std::size_t start = 0;
    while (start < log->size()) {
        auto end = log->find('\n', start);
        if (end == std::string::npos)
            end = log->size();
        const std::string line = log->substr(start, end - start);
        start = end + 1;
        if (line.rfind("request ", 0) == 0) {
            RecordedRequest request;
            const auto a = line.find(' ', 8);
            const auto b = line.find(' ', a + 1);
            request.connection = std::stoi(line.substr(8, a - 8));
            request.method = line.substr(a + 1, b - a - 1);
            request.target = line.substr(b + 1);
            requests.push_back(std::move(request));
        } else if (line.rfind("header ", 0) == 0 && !requests.empty()) {
            const auto colon = line.find(": ", 7);
            requests.back().headers.emplace_back(line.substr(7, colon - 7), line.substr(colon + 2));
        } else if (line.rfind("body ", 0) == 0 && !requests.empty()) {
            requests.back().body = hexDecode(line.substr(5));
        }
    }
    return requests;
}

}  // namespace zorvane::testing
