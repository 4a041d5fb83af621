#pragma once
// A plain TCP connection to the service on loopback, for requests no HTTP
// client library would send: floods, dribbles, replies left unread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvane::testing {

class RawConnection {
public:
    // Connects to 127.0.0.1:port from `source` (any 127.x address: the
    // service sees each as a client address of its own).
    RawConnection(int port, const char* source = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && (::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                         ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Sends all of `bytes`; false once the service closed or stopped
    // reading for `timeoutMs`.
    bool send(std::string_view bytes, int timeoutMs = 30000)
    {
        while (!bytes.empty()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, timeoutMs) <= 0 || (p.revents & (POLLERR | POLLHUP)))
                return false;
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // The reply's status line and headers, or what came before the service
    // closed or fell silent for `timeoutMs`.
    std::string readHead(int timeoutMs = 30000)
    {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        return head.substr(0, head.find("\r\n\r\n"));
    }

private:
    int fd_ = -1;
};

// The status of a reply head ("HTTP/1.1 200 OK..."), 0 when there is none.
inline int statusOf(std::string_view head)
{
    return head.size() >= 12 && head.substr(0, 5) == "HTTP/" ? std::stoi(std::string(head.substr(9, 3))) : 0;
}

}  // namespace zorvane::testing
