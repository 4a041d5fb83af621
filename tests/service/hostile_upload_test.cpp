// Hostile uploads against the real program with its default limits: each
// gets a 4xx, the program stays up, its peak memory stays under a bound,
// and the scan that a refused submission named can still be submitted.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>

#include "generated_scan.h"
#include "protocol/base64url.h"
#include "protocol/zlib_codec.h"
#include "raw_client.h"
#include "service_process.h"

namespace zorvane::testing {
namespace {

// Far above what the largest accepted upload needs (8 MiB body, three
// fields of at most 32 MiB inflated, the sanitizers' shadow), far below
// what splitting a bomb into millions of strings takes.
constexpr long kPeakBoundKiB = 768 * 1024;
constexpr std::size_t kInflateCap = 32u << 20;

std::string deflated(std::string_view text) { return protocol::base64UrlEncode(*protocol::compressLevel9(text)); }

enum class Framing { DeclaredLength, Chunked, UntilClose };

// Sends a request of `bodyBytes` bytes and returns the status line of the
// reply, or "" when none came. Sending stops as soon as the service answers
// or stops reading, as a refusing service does.
std::string streamedStatusLine(int port, const std::string& target, std::size_t bodyBytes, Framing framing,
                               const std::string& method = "POST")
{
    RawConnection connection(port);
    if (!connection.connected())
        return "";
    const int fd = connection.fd();
    std::string head = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Content-Type: application/x-www-form-urlencoded\r\n";
    if (framing == Framing::DeclaredLength)
        head += "Content-Length: " + std::to_string(bodyBytes) + "\r\n";
    if (framing == Framing::Chunked)
        head += "Transfer-Encoding: chunked\r\n";
    if (framing == Framing::UntilClose)
        head += "Connection: close\r\n";
    head += "\r\n";

    const std::string block(64 * 1024, 'A');
    std::string pending = head;
    std::size_t sent = 0;
    bool finished = false;
    std::string reply;
    while (true) {
        if (pending.empty() && !finished) {
            if (sent >= bodyBytes) {
                if (framing == Framing::Chunked)
                    pending = "0\r\n\r\n";
                else if (framing == Framing::UntilClose)
                    ::shutdown(fd, SHUT_WR);
                finished = true;
            } else {
                std::size_t n = std::min(block.size(), bodyBytes - sent);
                sent += n;
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", n);
                pending = framing == Framing::Chunked ? size + block.substr(0, n) + "\r\n" : block.substr(0, n);
            }
        }
        pollfd p{fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        if (::poll(&p, 1, 30000) <= 0)
            break;
        if (p.revents & (POLLIN | POLLERR | POLLHUP))
            break;  // an answer, or the service closed: read what came
        ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN)
            break;
        if (n > 0)
            pending.erase(0, static_cast<std::size_t>(n));
    }
    char buffer[4096];
    ssize_t got;
    while (reply.find("\r\n") == std::string::npos && (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<std::size_t>(got));
    return reply.substr(0, std::min(reply.find("\r\n"), reply.size()));
}

// Sets column `key` of the line that starts at `start` of a raw text.
template <std::size_t N>
void setColumn(std::string& text, std::size_t start, const std::array<std::string_view, N>& columns,
               std::string_view key, std::string_view value)
{
    auto column = std::find(columns.begin(), columns.end(), key) - columns.begin();
    for (long i = 0; i < column; ++i)
        start = text.find('\t', start) + 1;
    text.replace(start, text.find('\t', start) - start, value);
}

// Sets column `key` of the last line of a raw static or dynamic text.
template <std::size_t N>
void setLastLineColumn(std::string& text, const std::array<std::string_view, N>& columns, std::string_view key,
                       std::string_view value)
{
    setColumn(text, text.rfind('\n') + 1, columns, key, value);  // npos + 1 is 0
}

// Sets column `key` of every line of a raw static or dynamic text.
template <std::size_t N>
void setEveryLineColumn(std::string& text, const std::array<std::string_view, N>& columns, std::string_view key,
                        std::string_view value)
{
    for (std::size_t start = 0;;) {
        setColumn(text, start, columns, key, value);
        start = text.find('\n', start);
        if (start == std::string::npos)
            return;
        ++start;
    }
}

struct Upload {
    std::string what;
    int expected;
    // Sends the hostile request for an initialised scan; the status it got.
    std::function<int(int port, ClientScan& scan)> send;
    // Whether the correct submission is still accepted afterwards.
    bool scanStaysOpen = true;
    // Records of the scan it is sent for.
    std::size_t records = 12;
};

int postBody(int port, const std::string& path, const std::string& body)
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    auto res = client.Post(path.c_str(), body, "application/x-www-form-urlencoded");
    return res ? res->status : 0;
}

// A submission whose raw texts and then encoded fields are changed.
Upload mutated(std::string what, int expected, std::function<void(protocol::FormFields&)> raw,
               std::function<void(protocol::FormFields&)> encoded = nullptr)
{
    return {what, expected, [raw, encoded](int port, ClientScan& scan) {
                auto fields = protocol::buildSubmitFields(scan.encoder, scan.scanRecord, scan.records);
                if (raw)
                    raw(fields);
                protocol::encodeFields(fields, true);
                if (encoded)
                    encoded(fields);
                return postBody(port, scan.submitPath(), protocol::buildBody(fields));
            }};
}

// The encoded submission as a body whose text is then changed.
Upload rewritten(std::string what, int expected, std::function<void(std::string&)> change)
{
    return {what, expected, [change](int port, ClientScan& scan) {
                std::string body = protocol::buildBody(scan.submitFields());
                change(body);
                return postBody(port, scan.submitPath(), body);
            }};
}

std::vector<Upload> hostileUploads()
{
    std::vector<Upload> uploads = {
        mutated("truncated base64", 400, nullptr, [](auto& f) { f["input_dynamic"].resize(f["input_dynamic"].size() - 3); }),
        mutated("base64 cut inside a group", 400, nullptr, [](auto& f) { f["input_static"].pop_back(); }),
        mutated("bytes that are not zlib", 400, nullptr,
                [](auto& f) { f["input"] = protocol::base64UrlEncode("\x78\x9c this is no deflate data"); }),
        mutated("a zlib stream with bytes after its end", 400, nullptr,
                [](auto& f) {
                    f["input"] = protocol::base64UrlEncode(*protocol::base64UrlDecode(f["input"]) + "tail");
                }),
        mutated("a zip bomb: 128 MiB of one letter", 400, nullptr,
                [](auto& f) { f["input_dynamic"] = deflated(std::string(128u << 20, 'A')); }),
        mutated("a text of nothing but line breaks", 400, nullptr,
                [](auto& f) { f["input_dynamic"] = deflated(std::string(kInflateCap - 1, '\n')); }),
        mutated("a scan line of nothing but tabs", 400, nullptr,
                [](auto& f) { f["input"] = deflated(std::string(kInflateCap - 1, '\t')); }),
        mutated("module lists of nothing but commas", 413,
                [](auto& f) {
                    setLastLineColumn(f["input_dynamic"], protocol::kDynamicColumns, "moduleList",
                                      std::string(kInflateCap - (64u << 10), ','));
                }),
        mutated("one record listing 4097 modules", 413,
                [](auto& f) {
                    setLastLineColumn(f["input_dynamic"], protocol::kDynamicColumns, "moduleList",
                                      std::string(4096, ','));
                }),
        mutated("a dynamic line one column short", 400,
                [](auto& f) { f["input_dynamic"].erase(f["input_dynamic"].rfind('\t'), 1); }),
        mutated("a static line one column long", 400, [](auto& f) { f["input_static"] += "\textra"; }),
        mutated("the scan line one column short", 400,
                [](auto& f) { f["input"].erase(f["input"].find('\t'), 1); }),
        mutated("one record more than initialised", 400,
                [](auto& f) {
                    auto& text = f["input_dynamic"];
                    text += "\n" + text.substr(text.rfind('\n') + 1);
                }),
        mutated("a static id the initialise did not give", 400, nullptr,
                [](auto& f) { f["static_ids"] = "1" + f["static_ids"]; }),
        mutated("columns swapped inside a line", 400,
                [](auto& f) {
                    auto& text = f["input_dynamic"];
                    std::size_t start = text.rfind('\n') + 1;
                    std::size_t first = text.find('\t', start);
                    std::size_t second = text.find('\t', first + 1);
                    std::string a = text.substr(start, first - start);
                    std::string b = text.substr(first + 1, second - first - 1);
                    text.replace(start, second - start, b + "\t" + a);
                }),
        rewritten("fields in the wrong order", 400,
                  [](std::string& body) {
                      auto fields = *protocol::parseBody(body);
                      body = "input_static=" + fields["input_static"] + "&input=" + fields["input"] +
                             "&input_dynamic=" + fields["input_dynamic"] + "&scan_id=" + fields["scan_id"] +
                             "&static_ids=" + fields["static_ids"];
                  }),
        rewritten("an unexpected field", 400, [](std::string& body) { body += "&zz=1"; }),
        rewritten("a field twice", 400, [](std::string& body) { body += "&static_ids="; }),
        rewritten("scan_id differs from the path", 400,
                  [](std::string& body) {
                      auto at = body.find("&scan_id=") + 9;
                      body[at] = body[at] == 'A' ? 'B' : 'A';
                  }),
        rewritten("a NUL byte and CR LF in scan_id", 400,
                  [](std::string& body) { body.insert(body.find("&scan_id=") + 9, std::string("\0\r\n", 3)); }),
        {"an unknown scan id", 404,
         [](int port, ClientScan& scan) {
             auto fields = scan.submitFields();
             fields["scan_id"] = "Zz0-Zz0-Zz0-Zz0-Zz0-ZA";
             return postBody(port, "/corvelle/Zz0-Zz0-Zz0-Zz0-Zz0-ZA/submitscan", protocol::buildBody(fields));
         }},
        {"a reused scan id", 409,
         [](int port, ClientScan& scan) {
             std::string body = protocol::buildBody(scan.submitFields());
             int first = postBody(port, scan.submitPath(), body);
             return first == 200 ? postBody(port, scan.submitPath(), body) : first;
         },
         false},
        {"a 100 MB submission with its length declared", 413,
         [](int port, ClientScan& scan) {
             return statusOf(streamedStatusLine(port, scan.submitPath(), 100u << 20, Framing::DeclaredLength));
         }},
        {"a 100 MB submission streamed in chunks", 413,
         [](int port, ClientScan& scan) {
             return statusOf(streamedStatusLine(port, scan.submitPath(), 100u << 20, Framing::Chunked));
         }},
        {"100,001 modules in all, 4096 per record", 413,
         [](int port, ClientScan& scan) {
             auto fields = protocol::buildSubmitFields(scan.encoder, scan.scanRecord, scan.records);
             setEveryLineColumn(fields["input_dynamic"], protocol::kDynamicColumns, "moduleList",
                                std::string(4095, ','));
             protocol::encodeFields(fields, true);
             return postBody(port, scan.submitPath(), protocol::buildBody(fields));
         },
         true, 25},
        // A request without a length or a transfer coding has no body.
        {"a 100 MB submission without a length, ended by closing", 411,
         [](int port, ClientScan& scan) {
             return statusOf(streamedStatusLine(port, scan.submitPath(), 100u << 20, Framing::UntilClose));
         }},
        // Past the memory bound: a body read whole would show in the peak.
        {"a 1 GiB body streamed in chunks to an address that takes none", 404,
         [](int port, ClientScan& scan) {
             return statusOf(streamedStatusLine(port, "/scan/" + scan.scanId(), 1u << 30, Framing::Chunked));
         }},
        {"a 1 GiB PUT to the submit address, its length declared", 405,
         [](int port, ClientScan& scan) {
             return statusOf(streamedStatusLine(port, scan.submitPath(), 1u << 30, Framing::DeclaredLength, "PUT"));
         }},
        {"a 1 GiB DELETE without a length, ended by closing", 404,
         [](int port, ClientScan&) {
             return statusOf(streamedStatusLine(port, "/", 1u << 30, Framing::UntilClose, "DELETE"));
         }},
        {"an initialise request naming 50001 records", 413,
         [](int port, ClientScan&) {
             return postBody(port, "/corvelle/initialisescan",
                             "md5s=" + protocol::base64UrlEncode(std::string(50001 * 16, '\x11')));
         }},
        {"an initialise request with invalid base64 characters", 400,
         [](int port, ClientScan&) { return postBody(port, "/corvelle/initialisescan", "md5s=AAAA+AAA"); }},
        {"a 100 MB initialise request streamed in chunks", 413,
         [](int port, ClientScan&) {
             return statusOf(streamedStatusLine(port, "/corvelle/initialisescan", 100u << 20, Framing::Chunked));
         }},
    };
    for (char c : std::string("+/% .*\x80", 7))
        uploads.push_back(mutated(std::string("the invalid base64 character '") + c + "'", 400, nullptr,
                                  [c](auto& f) { f["input"][4] = c; }));
    return uploads;
}

}  // namespace

TEST(ServiceProgramUploads, HostileUploadsGetAClientErrorWithBoundedMemory)
{
    auto dir = std::filesystem::temp_directory_path() / ("zorvane-hostile-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    ServiceProcess service;
    ASSERT_TRUE(service.start(dir / "scans.sqlite", dir / "service.log")) << service.logText();
    const long startKiB = service.memoryKiB("VmHWM").value_or(0);

    std::uint64_t seed = 1;
    for (const Upload& upload : hostileUploads()) {
        ClientScan scan = generatedScan(seed++, upload.records);
        ASSERT_EQ(initialiseAt(service.port(), scan), 200) << upload.what;
        int status = upload.send(service.port(), scan);
        EXPECT_EQ(status, upload.expected) << upload.what;
        ASSERT_TRUE(service.alive()) << upload.what << "\n" << service.logText();
        if (upload.scanStaysOpen) {
            EXPECT_EQ(postBody(service.port(), scan.submitPath(), protocol::buildBody(scan.submitFields())), 200)
                << "after " << upload.what;
        }
        std::printf("%-60s %d, peak %ld MiB\n", upload.what.c_str(), status, service.memoryKiB("VmHWM").value_or(0) / 1024);
    }

    const long peakKiB = service.memoryKiB("VmHWM").value_or(0);
    std::printf("peak resident size %ld MiB (%ld MiB after start-up), bound %ld MiB\n", peakKiB / 1024,
                startKiB / 1024, kPeakBoundKiB / 1024);
    EXPECT_LT(peakKiB, kPeakBoundKiB);
    httplib::Client client("127.0.0.1", service.port());
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    int status = service.kill(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.logText();
    std::filesystem::remove_all(dir);
}

}  // namespace zorvane::testing
