#pragma once
// Scans made up from a seed, and the two exchanges run against a service
// at a given port with fresh connections, as many clients at once do.

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>

#include "service_fixture.h"

namespace zorvane::testing {

inline std::u16string hexDigest(std::uint64_t high, std::uint64_t low)
{
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    std::u16string text;
    for (std::uint64_t part : {high, low})
        for (int shift = 60; shift >= 0; shift -= 4)
            text.push_back(kHex[(part >> shift) & 0xF]);
    return text;
}

// `count` records in the client's order: about half the files come from a
// pool of digests that every generated scan shares (so that concurrent
// scans wait for the same files), the rest are new; one record in eight
// has no digest. Every third record is a file that no process runs; a
// process lists the files before it as modules.
inline ClientScan generatedScan(std::uint64_t seed, std::size_t count)
{
    std::mt19937_64 random(seed);
    ClientScan scan;
    std::u16string modules;
    for (std::size_t k = 0; k < count; ++k) {
        std::u16string number = fromUtf8(std::to_string(k));
        std::u16string md5;
        switch (random() % 8) {
        case 0: break;
        case 1: case 2: case 3: md5 = hexDigest(0x5eed, random() % 40); break;
        default: md5 = hexDigest(random(), random()); break;
        }
        FileFacts file{u"C:\\Program Files\\Gen\\file" + number + u".dll", md5, u"2." + number};
        if (k % 3 == 0) {
            scan.records.push_back(makeRecord(file));
            modules += (modules.empty() ? u"" : u",") + file.path;
        } else {
            scan.records.push_back(makeRecord(file, fromUtf8(std::to_string(1000 + k)), modules));
        }
    }
    return scan;
}

struct Ingest {
    bool initialised = false;  // the initialise reply arrived and was applied
    int submitStatus = 0;      // 0: no reply to the submit request
    std::string scanId;
    std::size_t records = 0;
    std::string submitBody;
    std::string error;
};

// The initialise exchange alone; its status (0: no reply). The reply is
// applied to the scan's records.
inline int initialiseAt(int port, ClientScan& scan)
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    auto reply = client.Post("/corvelle/initialisescan", scan.initialiseBody(), "application/x-www-form-urlencoded");
    if (!reply)
        return 0;
    return reply->status == 200 && !scan.applyReply(reply->body) ? -1 : reply->status;
}

// Both exchanges over new connections to 127.0.0.1:port; `initialised`,
// when given, counts the initialise replies applied.
inline Ingest ingest(int port, ClientScan& scan, std::atomic<int>* initialised = nullptr)
{
    Ingest result;
    result.records = scan.records.size();
    auto post = [port](const std::string& path, const std::string& body) {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(30, 0);
        client.set_read_timeout(60, 0);
        return client.Post(path.c_str(), body, "application/x-www-form-urlencoded");
    };
    auto reply = post("/corvelle/initialisescan", scan.initialiseBody());
    if (!reply || reply->status != 200) {
        result.error = reply ? "initialise: " + std::to_string(reply->status) + " " + reply->body
                             : "initialise: " + httplib::to_string(reply.error());
        return result;
    }
    if (!scan.applyReply(reply->body)) {
        result.error = "initialise reply not applied: " + reply->body;
        return result;
    }
    result.initialised = true;
    result.scanId = scan.scanId();
    if (initialised)
        ++*initialised;
    result.submitBody = protocol::buildBody(scan.submitFields());
    auto submitted = post(scan.submitPath(), result.submitBody);
    if (!submitted) {
        result.error = "submit: " + httplib::to_string(submitted.error());
        return result;
    }
    result.submitStatus = submitted->status;
    if (submitted->status != 200)
        result.error = "submit: " + std::to_string(submitted->status) + " " + submitted->body;
    return result;
}

}  // namespace zorvane::testing
