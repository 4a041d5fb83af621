#include "fault_support.h"

#include <winsock2.h>
#include <windows.h>

#include "support.h"
#include "winsock_session.h"

namespace zorvane::testing {

std::optional<std::uint16_t> unusedLoopbackPort()
{
    WinsockSession winsock;
    if (!winsock.ok())
        return std::nullopt;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    std::optional<std::uint16_t> port;
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    closesocket(s);
    return port;
}

std::wstring launchRecorderPath() { return testProgram(L"launch_recorder"); }

std::wstring launchRecorderMarker(const std::wstring& name)
{
    const std::wstring marker = buildTreePath(L"test-programs\\" + name + L".ran");
    DeleteFileW(marker.c_str());
    SetEnvironmentVariableW(L"ZORVANE_LAUNCH_MARKER", marker.c_str());
    return marker;
}

bool launchRecorded(const std::wstring& marker)
{
    return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string narrowPath(const std::wstring& path) { return std::string(path.begin(), path.end()); }

}  // namespace zorvane::testing
