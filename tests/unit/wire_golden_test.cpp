// The wire format written out by hand, apart from protocol/columns.h, which
// the encoder and the service's decoder share: a change there (two columns
// swapped, one added) fails here even while both sides still agree.
#include <gtest/gtest.h>

#include <map>
#include <span>

#include "core/base/conversions.h"
#include "protocol/request_encoder.h"
#include "protocol_wire_decoding.h"

using namespace zorvane;
using namespace zorvane::protocol;

namespace {

constexpr std::string_view kInput[] = {
    "scanId", "status", "scanTime", "MaxClientMemUsage", "ClientId", "ServicePackMinorVersion", "PelsHeight",
    "ClientScanId", "Processor", "BitsPerPel", "ScanningTime", "Caption", "Version", "CSDVersion", "PelsWidth",
    "BuildType", "TotalVisibleMemorySize", "TotalVirtualMemorySize", "ServicePackMajorVersion", "ERROR",
    "last_access", "processed", "client_ip"};

constexpr std::string_view kStatic[] = {
    "staticId", "ver.InternalName", "ver.FileDescription", "handle.filesize", "ver.SpecialBuild", "hash.sha1",
    "ver.Comments", "ver.LegalCopyright", "ver.BinaryFileVersion", "ver.ProductVersion", "ver.OriginalFilename",
    "ver.ProductName", "ver.PrivateBuild", "ver.FileVersion", "ver.LegalTrademarks", "ver.CompanyName",
    "ver.BinaryProductVersion", "hash.md5", "server.static.ref", "server.static.crid", "server.static.aids",
    "path.file"};

constexpr std::string_view kDynamic[] = {
    "dynCount", "staticId", "scanId", "wmi.ThreadCount", "wmi.WorkingSetSize", "wmi.ProcessDescription",
    "wmi.UserModeTime", "net.NetworkPorts", "path.path", "wmi.Priority", "reg.Location", "wmi.ProcessId",
    "ref.memoryUsage", "path.lpath", "wmi.UserUsedForStartup", "wmi.PeakWorkingSetSize", "wmi.ParentProcessId",
    "wmi.StartupLocation", "wmi.PeakPageFileUsage", "moduleList", "reg.DisplayName", "wmi.PageFileUsage",
    "wmi.HandleCount", "ref.networkUsage", "wmi.KernelModeTime", "ref.startupMethod", "reg.Description",
    "reg.DependOnService", "ERROR", "path.file"};

ProcessRecord recordWith(std::initializer_list<std::pair<std::string_view, std::u16string_view>> values)
{
    ProcessRecord record;
    for (const auto& [key, value] : values)
        record[key] = value;
    return record;
}

// The body of one scan's submit request, without compression.
std::string submitBody(ProcessRecord& scan, std::vector<ProcessRecord>& processes)
{
    RequestEncoder encoder;
    FormFields fields = buildSubmitFields(encoder, scan, processes);
    EXPECT_TRUE(encodeFields(fields, false));
    return buildBody(fields);
}

}  // namespace

TEST(WireGolden, EveryColumnStandsInItsPlace)
{
    // Every value names its column, except those the encoder writes itself.
    const std::map<std::string_view, std::string> written = {
        {"status", "0"},           {"last_access", "scanTime"}, {"processed", "False"},   {"dynCount", "0"},
        {"server.static.ref", "0"}, {"server.static.crid", "-1"}, {"moduleList", ""}};
    ProcessRecord scan;
    ProcessRecord process = recordWith({{"corvUnknown", u"1"}});
    for (const std::string_view column : kInput)
        scan[column] = fromUtf8(column);
    for (const auto& columns : {std::span<const std::string_view>(kStatic), std::span<const std::string_view>(kDynamic)})
        for (const std::string_view column : columns)
            process[column] = fromUtf8(column);
    std::vector<ProcessRecord> processes = {process};
    const std::string body = submitBody(scan, processes);

    const auto line = [&](std::span<const std::string_view> columns) {
        std::string text;
        for (const std::string_view column : columns) {
            const auto value = written.find(column);
            text += (text.empty() ? "" : "\t") + (value != written.end() ? value->second : std::string(column));
        }
        return text;
    };
    std::map<std::string, std::string> sent;
    for (const auto& [name, value] : zorvane::testing::splitBodyForTest(body))
        sent[name] = zorvane::testing::decodeBase64UrlForTest(value);
    EXPECT_EQ(sent["input"], line(kInput));
    EXPECT_EQ(sent["input_static"], line(kStatic));
    EXPECT_EQ(sent["input_dynamic"], line(kDynamic));
}

TEST(WireGolden, OneCompleteSubmitBody)
{
    ProcessRecord scan = recordWith({{"scanId", u"77"}, {"scanTime", u"2026-12-08 10:00"}, {"Caption", u"OS"}});
    std::vector<ProcessRecord> processes = {
        recordWith({{"staticId", u"5"}, {"path.pathFull", u"c:\\a.exe"}, {"wmi.ProcessId", u"4"}}),
        recordWith({{"staticId", u"9"},
                    {"corvUnknown", u"1"},
                    {"path.pathFull", u"c:\\windows\\system32\\svc.exe"},
                    {"path.path", u"C:\\WINDOWS\\system32\\svc.exe"},
                    {"moduleList", u"c:\\windows\\system32\\svc.exe,c:\\a.exe"},
                    {"ver.CompanyName", u"Corp\u00e9"},
                    {"hash.md5", u"0123456789abcdef0123456789abcdef"}}),
    };
    // Without compression, so that each field decodes to plain text: the scan
    // line, one dynamic line per process (the second with the abbreviated path
    // "%(3)ssystem32\\svc.exe" and the module list "9,5"), one static line.
    EXPECT_EQ(submitBody(scan, processes),
              "input=NzcJMAkyMDI2LTEyLTA4IDEwOjAwCQkJCQkJCQkJT1MJCQkJCQkJCQkyMDI2LTEyLTA4IDEwOjAwCUZhbHNlCQ=="
              "&input_dynamic=MAk1CTc3CQkJCQkJCQkJNAkJCQkJCQkJCQkJCQkJCQkJCQoxCTkJNzcJCQkJCQklKDMpc3N5c3RlbTMyXFxzdm"
              "MuZXhlCQkJCQkJCQkJCQk5LDUJCQkJCQkJCQkJ"
              "&input_static=OQkJCQkJCQkJCQkJCQkJCUNvcnDDqQkJMDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWYJMAktMQkJ"
              "&scan_id=77&static_ids=9");
}
