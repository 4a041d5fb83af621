// The client address behind a load balancer, and a stop that comes before
// the service runs.

#include <gtest/gtest.h>

#include "service/service.h"
#include "service/store.h"

namespace zorvane::testing {
namespace {

TEST(ClientAddress, OnlyATrustedProxyNamesTheClient)
{
    const std::vector<std::string> proxies{"10.0.0.2", "10.0.0.3"};
    struct Case {
        const char* peer;
        const char* forwardedFor;
        const char* client;
    } cases[] = {
        {"203.0.113.9", "198.51.100.1", "203.0.113.9"},           // anyone else's header is ignored
        {"10.0.0.2", "", "10.0.0.2"},                             // a proxy without the header
        {"10.0.0.2", "198.51.100.1", "198.51.100.1"},
        {"10.0.0.2", " 192.0.2.5 , 198.51.100.1 ", "198.51.100.1"},  // the right-most entry: earlier ones may be forged
        {"10.0.0.2", "198.51.100.1, 10.0.0.3", "198.51.100.1"},    // chained proxies are skipped
        {"10.0.0.2", "2001:db8::7", "2001:db8::7"},
        {"10.0.0.2", "198.51.100.1, not-an-address", "10.0.0.2"},  // garbage gives the peer, not a guess
        {"10.0.0.2", "198.51.100.1\r\nX: y", "10.0.0.2"},
        {"10.0.0.2", "10.0.0.3, 10.0.0.2", "10.0.0.2"},            // nothing but proxies
    };
    for (const Case& c : cases)
        EXPECT_EQ(service::clientAddress(c.peer, c.forwardedFor, proxies), c.client)
            << c.peer << " / " << c.forwardedFor;
}

TEST(ServiceStop, AStopBeforeRunMakesRunReturn)
{
    // A store is never touched: the service stops before it serves anything.
    struct NoStore : service::ScanStore {
        static std::unexpected<service::Rejection> none() { return service::reject(503, "no store"); }
        service::Expected<std::vector<service::Slot>> initialiseScan(const service::ScanHeader&,
                                                                    const std::vector<std::string>&) override
        {
            return none();
        }
        service::Expected<service::InitialisedScan> findScan(std::string_view) override { return none(); }
        service::Expected<> storeSubmission(const service::Submission&, std::string_view) override { return none(); }
        service::Expected<service::StoredScan> loadScan(std::string_view) override { return none(); }
        service::Expected<service::Admission> admitScan(std::string_view, std::int64_t, std::int64_t,
                                                       std::int64_t) override
        {
            return none();
        }
        service::Expected<> deleteReport(std::string_view) override { return none(); }
        service::Expected<std::size_t> purgeExpired(const service::PurgeLimits&) override { return none(); }
    } store;
    service::Service service(store, service::ServiceOptions{}, [](std::string_view) {});
    auto bound = service.bind("127.0.0.1", 0);
    ASSERT_TRUE(bound) << bound.error().reason;
    service.stop();
    service.run();  // returns at once instead of serving for ever
}

}  // namespace
}  // namespace zorvane::testing
