#include <algorithm>
#include <functional>

#include "protocol/base64url.h"
#include "protocol/zlib_codec.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

std::string compressedField(std::string_view text)
{
    return protocol::base64UrlEncode(*protocol::compressLevel9(text));
}

ClientScan smallScan()
{
    ClientScan scan;
    scan.records = {makeRecord({u"C:\\Windows\\System32\\ntdll.dll", u"ffeeddccbbaa99887766554433221100"}),
                    makeRecord({u"C:\\Windows\\explorer.exe", u"00112233445566778899aabbccddeeff"}, u"40",
                               u"C:\\Windows\\System32\\ntdll.dll")};
    return scan;
}

struct Mutation {
    const char* what;
    // Changes the raw (not yet encoded) submit fields.
    std::function<void(protocol::FormFields&)> raw;
    // Changes the encoded fields.
    std::function<void(protocol::FormFields&)> encoded;
};

void replaceFirst(std::string& text, std::string_view from, std::string_view to)
{
    auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

// Sets one column of the last dynamic line.
void setLastDynamicColumn(protocol::FormFields& fields, std::string_view key, std::string_view value)
{
    std::string& text = fields["input_dynamic"];
    std::size_t lineStart = text.rfind('\n') + 1;  // npos + 1 is 0
    auto column = std::find(protocol::kDynamicColumns.begin(), protocol::kDynamicColumns.end(), key) -
                  protocol::kDynamicColumns.begin();
    std::size_t start = lineStart;
    for (long i = 0; i < column; ++i)
        start = text.find('\t', start) + 1;
    std::size_t end = text.find('\t', start);
    text.replace(start, end - start, value);
}

}  // namespace

// Every malformed submission gets a 4xx with a one-line reason, and the
// scan stays exactly as the initialise request left it: the correct
// submission afterwards is stored.
TEST_F(ServiceTest, MalformedSubmissionsAreRefusedWithoutStoringAnything)
{
    const std::vector<Mutation> mutations = {
        {"static_ids naming another file", nullptr, [](auto& f) { f["static_ids"] = "999999"; }},
        {"static_ids missing an id", nullptr,
         [](auto& f) { f["static_ids"] = f["static_ids"].substr(0, f["static_ids"].find(',')); }},
        {"input with one column too few",
         [](auto& f) { f["input"] = f["input"].substr(f["input"].find('\t') + 1); }, nullptr},
        {"a dynamic line with one column too many", [](auto& f) { f["input_dynamic"] += "\textra"; }, nullptr},
        {"a static line with one column too few",
         [](auto& f) { replaceFirst(f["input_static"], "\t", ""); }, nullptr},
        {"one dynamic line missing",
         [](auto& f) { f["input_dynamic"] = f["input_dynamic"].substr(0, f["input_dynamic"].rfind('\n')); },
         nullptr},
        {"a lone backslash", [](auto& f) { replaceFirst(f["input_dynamic"], "\\\\", "\\"); }, nullptr},
        {"a module list naming a file outside the scan",
         [](auto& f) { setLastDynamicColumn(f, "moduleList", "999999"); }, nullptr},
        {"truncated base64", nullptr, [](auto& f) { f["input_dynamic"].resize(f["input_dynamic"].size() - 3); }},
        {"base64 of bytes that are not zlib", nullptr,
         [](auto& f) { f["input_static"] = protocol::base64UrlEncode("this is no zlib stream"); }},
        {"a cut zlib stream", nullptr,
         [](auto& f) {
             auto bytes = *protocol::base64UrlDecode(f["input"]);
             f["input"] = protocol::base64UrlEncode(bytes.substr(0, bytes.size() - 4));
         }},
        {"a missing field", nullptr, [](auto& f) { f.erase("input_static"); }},
        {"scan_id of another scan", nullptr, [](auto& f) { f["scan_id"] = "AAAAAAAAAAAAAAAAAAAAAA"; }},
    };

    ClientScan scan = smallScan();
    initialise(scan);
    for (const Mutation& m : mutations) {
        auto fields = protocol::buildSubmitFields(scan.encoder, scan.scanRecord, scan.records);
        if (m.raw)
            m.raw(fields);
        ASSERT_TRUE(protocol::encodeFields(fields, true));
        if (m.encoded)
            m.encoded(fields);
        auto res = submit(scan, fields);
        ASSERT_TRUE(res) << m.what;
        EXPECT_GE(res->status, 400) << m.what;
        EXPECT_LT(res->status, 500) << m.what;
        ASSERT_FALSE(res->body.empty()) << m.what;
        EXPECT_EQ(res->body.find('\n'), res->body.size() - 1) << m.what << ": " << res->body;
    }
    EXPECT_EQ(get("/scan/" + scan.scanId())->status, 404);

    auto res = submit(scan, scan.submitFields());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(exportJson(scan.scanId())["records"].size(), 2u);
}

TEST_F(ServiceTest, ZipBombAndOversizedBodiesAreRefused)
{
    ClientScan scan = smallScan();
    initialise(scan);

    // 64 MiB of one letter compress to about 64 KiB: far under the body cap,
    // far over the inflate cap of 1 MiB.
    auto fields = scan.submitFields();
    fields["input_dynamic"] = compressedField(std::string(64u << 20, 'A'));
    ASSERT_LT(fields["input_dynamic"].size(), limits().maxBodyBytes);
    auto res = submit(scan, fields);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << res->body;

    // Refused on the declared length alone, before a byte of the body is read.
    EXPECT_EQ(rawStatusLine("POST " + scan.submitPath() + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                            std::to_string(limits().maxBodyBytes + 1) + "\r\n\r\n")
                  .substr(0, 13),
              "HTTP/1.1 413 ");

    // A chunked body declares no length; it is cut off at the cap.
    httplib::Client chunked = client();
    std::size_t sent = 0;
    res = chunked.Post(
        scan.submitPath().c_str(),
        [&](std::size_t, httplib::DataSink& sink) {
            if (sent > 2 * limits().maxBodyBytes) {
                sink.done();
                return true;
            }
            std::string block(64 * 1024, 'A');
            sent += block.size();
            return sink.write(block.data(), block.size());
        },
        kForm);
    if (res) {
        EXPECT_EQ(res->status, 413);
    }

    res = post("/corvelle/initialisescan", "md5s=" + std::string((limits().maxRecords + 4) * 16 / 3 * 4, 'A'));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);

    httplib::Headers gzip = {{"Content-Encoding", "gzip"}};
    res = client().Post(scan.submitPath().c_str(), gzip, "x", kForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415);

    res = submit(scan, scan.submitFields());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
}

TEST_F(ServiceTest, MalformedInitialiseRequestsAreRefused)
{
    const std::vector<std::string> bodies = {"",          "md5s",      "other=AAAA",
                                             "md5s=AAAA", "md5s=A=AA", "md5s=AAAAAAAAAAAAAAAAAAAAAA==x",
                                             "md5s=" + protocol::base64UrlEncode(std::string(17, '\x01'))};
    for (const std::string& body : bodies) {
        auto res = post("/corvelle/initialisescan", body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << body << ": " << res->body;
    }
}

}  // namespace zorvane::testing
