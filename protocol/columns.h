#pragma once
// The wire tables shared by the client, which encodes with them, and the
// service, which decodes with them. Column positions and fragment positions
// are part of the wire format: never reorder, only the service and the
// client together may change them.

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace zorvane::protocol {

inline constexpr char kFieldSeparator = '\t';
inline constexpr char kLineSeparator = '\n';

// "input": one line over the scan record.
inline constexpr std::array<std::string_view, 23> kInputColumns = {
    "scanId", "status", "scanTime", "MaxClientMemUsage", "ClientId", "ServicePackMinorVersion",
    "PelsHeight", "ClientScanId", "Processor", "BitsPerPel", "ScanningTime", "Caption", "Version",
    "CSDVersion", "PelsWidth", "BuildType", "TotalVisibleMemorySize", "TotalVirtualMemorySize",
    "ServicePackMajorVersion", "ERROR", "last_access", "processed", "client_ip"};

// "input_static": one line per process the service does not know.
inline constexpr std::array<std::string_view, 22> kStaticColumns = {
    "staticId", "ver.InternalName", "ver.FileDescription", "handle.filesize", "ver.SpecialBuild",
    "hash.sha1", "ver.Comments", "ver.LegalCopyright", "ver.BinaryFileVersion", "ver.ProductVersion",
    "ver.OriginalFilename", "ver.ProductName", "ver.PrivateBuild", "ver.FileVersion",
    "ver.LegalTrademarks", "ver.CompanyName", "ver.BinaryProductVersion", "hash.md5",
    "server.static.ref", "server.static.crid", "server.static.aids", "path.file"};

// "input_dynamic": one line per process.
inline constexpr std::array<std::string_view, 30> kDynamicColumns = {
    "dynCount", "staticId", "scanId", "wmi.ThreadCount", "wmi.WorkingSetSize",
    "wmi.ProcessDescription", "wmi.UserModeTime", "net.NetworkPorts", "path.path", "wmi.Priority",
    "reg.Location", "wmi.ProcessId", "ref.memoryUsage", "path.lpath", "wmi.UserUsedForStartup",
    "wmi.PeakWorkingSetSize", "wmi.ParentProcessId", "wmi.StartupLocation", "wmi.PeakPageFileUsage",
    "moduleList", "reg.DisplayName", "wmi.PageFileUsage", "wmi.HandleCount", "ref.networkUsage",
    "wmi.KernelModeTime", "ref.startupMethod", "reg.Description", "reg.DependOnService", "ERROR",
    "path.file"};

// Lower-case fragments that the encoder replaces by a placeholder naming
// their position: "%(" position in lower-case hex ")s", or, for a
// digits-only list, the position in decimal.
struct AbbreviationList {
    std::string_view key;
    std::span<const std::u16string_view> fragments;
    bool digitsOnly;
};

namespace detail {
inline constexpr std::u16string_view kPathFragments[] = {
    u"c:\\documents and settings\\", u"c:\\program files\\", u"c:\\program files\\common files\\",
    u"c:\\windows\\", u"c:\\windows\\system32\\", u"d:\\documents and settings\\",
    u"d:\\program files\\", u"e:\\windows\\", u"e:\\windows\\system32\\"};
inline constexpr std::u16string_view kLPathFragments[] = {
    u"c:\\documents and settings\\", u"c:\\program files\\", u"d:\\program files\\",
    u"d:\\documents and settings\\", u"%desktop%\\", u"%programfiles%\\", u"%programfilescommon%\\",
    u"%startup%\\", u"%system%\\", u"%userprofile%\\", u"%windir%\\", u"%windir%\\assembly\\"};
inline constexpr std::u16string_view kStartupLocationFragments[] = {
    u"hklm\\software\\microsoft\\windows\\", u"hklm\\software\\microsoft\\", u"hklm\\software\\",
    u"c:\\documents and settings\\all users\\", u"c:\\documents and settings\\",
    u"d:\\documents and settings\\all users\\", u"d:\\documents and settings\\"};
inline constexpr std::u16string_view kRegLocationFragments[] = {u"system\\currentcontrolset\\services\\"};
inline constexpr std::u16string_view kDependOnServiceFragments[] = {
    u"lanmanworkstation", u"plugplay", u"rpcss", u"tcpip", u"netbt", u"rasman",
    u"tapisrv", u"eventsystem", u"netman", u"mrxdav", u"dhcp"};
}  // namespace detail

// In the order the encoder applies them.
inline constexpr std::array<AbbreviationList, 5> kAbbreviations = {{
    {"path.path", detail::kPathFragments, false},
    {"path.lpath", detail::kLPathFragments, false},
    {"wmi.StartupLocation", detail::kStartupLocationFragments, false},
    {"reg.Location", detail::kRegLocationFragments, false},
    {"reg.DependOnService", detail::kDependOnServiceFragments, true},
}};

// The two fields sent as plain UTF-8 text, never encoded.
inline constexpr std::string_view kScanIdField = "scan_id";
inline constexpr std::string_view kStaticIdsField = "static_ids";
inline constexpr std::string_view kMd5sField = "md5s";
inline constexpr std::string_view kInputField = "input";
inline constexpr std::string_view kInputStaticField = "input_static";
inline constexpr std::string_view kInputDynamicField = "input_dynamic";

// Sent for a record without an MD5 digest.
inline constexpr std::u16string_view kPlaceholderDigest = u"abcdefabcde123456789abcdefabcdef";

}  // namespace zorvane::protocol
