// zorvane_split_scan: drives the two exchanges of one scan against two
// service instances on loopback, with bodies made by the client's encoders.
//
//   zorvane_split_scan split PORT_A PORT_B   initialise on A, submit to B
//   zorvane_split_scan race PORT_A PORT_B    initialise on A, then send the
//                                            same submit to A and B at once
//
// Prints the scan id and each reply; exits 0 when split stored the scan
// (200) and when race saw exactly one 200 and one 409.

#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

#include "service_fixture.h"

namespace {

using namespace zorvane;
using namespace zorvane::testing;

httplib::Result post(int port, const std::string& path, const std::string& body)
{
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(60, 0);
    return c.Post(path.c_str(), body, "application/x-www-form-urlencoded");
}

std::string describe(const httplib::Result& res)
{
    if (!res)
        return "no reply (" + httplib::to_string(res.error()) + ")";
    return std::to_string(res->status) + " " + res->body;
}

// Digests nobody sent before, so that the submit carries new files' facts.
std::u16string freshDigest(int n)
{
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%016x", static_cast<unsigned>(::getpid()),
                  static_cast<unsigned>(std::time(nullptr)), static_cast<unsigned>(n));
    return widenLatin1(text);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || (std::string(argv[1]) != "split" && std::string(argv[1]) != "race")) {
        std::cerr << "usage: zorvane_split_scan split|race PORT_A PORT_B\n";
        return 2;
    }
    const std::string mode = argv[1];
    const int ports[2] = {std::atoi(argv[2]), std::atoi(argv[3])};

    const FileFacts dll{u"C:\\Windows\\System32\\split.dll", freshDigest(mode == "race" ? 3 : 1)};
    const FileFacts exe{u"C:\\Windows\\System32\\split.exe", freshDigest(mode == "race" ? 4 : 2)};
    ClientScan scan;
    scan.records = {makeRecord(dll), makeRecord(exe, u"4100", dll.path), makeRecord(exe, u"4101", dll.path)};

    auto reply = post(ports[0], "/corvelle/initialisescan", scan.initialiseBody());
    std::cout << "initialise on :" << ports[0] << ": " << describe(reply) << "\n";
    if (!reply || reply->status != 200 || !scan.applyReply(reply->body))
        return 1;
    const std::string body = protocol::buildBody(scan.submitFields());
    std::cout << "scan " << scan.scanId() << "\n";

    if (mode == "split") {
        auto stored = post(ports[1], scan.submitPath(), body);
        std::cout << "submit on :" << ports[1] << ": " << describe(stored) << "\n";
        return stored && stored->status == 200 ? 0 : 1;
    }

    std::optional<httplib::Result> results[2];
    std::barrier start(2);
    std::thread threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = std::thread([&, i] {
            start.arrive_and_wait();
            results[i] = post(ports[i], scan.submitPath(), body);
        });
    }
    for (auto& t : threads)
        t.join();
    int ok = 0, conflict = 0;
    for (int i = 0; i < 2; ++i) {
        const httplib::Result& res = *results[i];
        std::cout << "submit on :" << ports[i] << ": " << describe(res) << "\n";
        ok += res && res->status == 200;
        conflict += res && res->status == 409;
    }
    return ok == 1 && conflict == 1 ? 0 : 1;
}
