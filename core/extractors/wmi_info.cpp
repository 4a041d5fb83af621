#include "core/extractors/wmi_info.h"

#include "core/base/conversions.h"
#include "core/base/text_format.h"
#include "core/base/trace.h"
#include "core/digest/digest_text.h"

namespace zorvane {

namespace {

const std::vector<std::u16string> kOperatingSystemProperties{
    u"BuildType", u"Caption", u"CSDVersion", u"ServicePackMajorVersion", u"ServicePackMinorVersion",
    u"SerialNumber", u"TotalVirtualMemorySize", u"TotalVisibleMemorySize", u"Version"};
const std::vector<std::u16string> kProcessProperties{
    u"HandleCount", u"KernelModeTime", u"PageFileUsage", u"ParentProcessId", u"PeakPageFileUsage",
    u"PeakWorkingSetSize", u"Priority", u"ProcessId", u"ThreadCount", u"UserModeTime", u"WorkingSetSize"};
const std::vector<std::u16string> kStartupProperties{u"Caption", u"Command", u"Location", u"Name", u"User"};
const std::vector<std::u16string> kProcessorProperties{u"Caption", u"ProcessorId"};
const std::vector<std::u16string> kDisplayProperties{u"BitsPerPel", u"PelsHeight", u"PelsWidth"};

// Seconds between 1601-01-01 and 1970-01-01, and FILETIME units per second.
constexpr std::uint64_t kUnixEpochSeconds = 11644473600ULL;
constexpr std::uint64_t kFileTimeUnitsPerSecond = 10000000ULL;

const std::u16string& valueOf(const WmiObject& object, const std::u16string& name)
{
    static const std::u16string empty;
    const auto found = object.find(name);
    return found == object.end() ? empty : found->second;
}

bool endsWith(std::u16string_view text, std::u16string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The first rand() of the Windows C runtime after srand(seed), computed here
// so that the result is the same on every platform: 0..32767.
std::uint32_t firstRandAfterSeed(std::uint32_t seed)
{
    const std::uint32_t state = seed * 214013u + 2531011u;
    return (state >> 16) & 0x7fffu;
}

}  // namespace

std::u16string priorityClass(const std::u16string& basePriority)
{
    const std::int32_t priority = parseDecimalInt32(basePriority);
    if (priority < 0 || priority > 31)
        return basePriority;
    // Class for each base priority 0..31.
    static constexpr int kClasses[32] = {1, 2, 3, 3, 3, 4, 4, 5, 5, 6, 6, 6, 7, 7, 8, 8,
                                         9, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 11};
    return formatInt64(kClasses[priority]);
}

WMIInfoExtractor::WMIInfoExtractor(WmiQuery& wmi, PathOperations& paths, Clock& clock)
    : InfoExtractor("wmi"), wmi_(wmi), paths_(paths), clock_(clock)
{
}

bool WMIInfoExtractor::collectScanWide()
{
    if (!wmi_.connect())
        return false;

    if (auto system = wmi_.run(u"SELECT * FROM Win32_OperatingSystem", kOperatingSystemProperties);
        system && !system->empty())
        scanWide_ = system->front();

    if (auto processes = wmi_.run(u"SELECT * FROM Win32_Process", kProcessProperties)) {
        processes_ = std::move(*processes);
        for (WmiObject& process : processes_) {
            std::u16string& priority = process[u"Priority"];
            priority = priorityClass(priority);
        }
    }

    const auto processors = wmi_.run(u"SELECT * FROM Win32_Processor", kProcessorProperties);
    if (!processors)
        return false;
    collectProcessors(*processors);

    if (auto startup = wmi_.run(u"SELECT * FROM Win32_StartupCommand", kStartupProperties)) {
        startup_ = std::move(*startup);
        for (WmiObject& entry : startup_)
            resolveStartupEntry(entry);
    }

    if (const auto display = wmi_.run(u"SELECT * FROM Win32_DisplayConfiguration", kDisplayProperties);
        display && !display->empty())
        for (const auto& [name, value] : display->front())
            scanWide_[name] = value;

    deriveClientIds();
    return true;
}

void WMIInfoExtractor::collectProcessors(const WmiObjects& processors)
{
    std::u16string ids;
    for (const WmiObject& processor : processors) {
        scanWide_[u"Processor"] = valueOf(processor, u"Caption");
        if (!ids.empty())
            ids += u',';
        ids += valueOf(processor, u"ProcessorId");
    }
    scanWide_[u"ProcessorId"] = ids;
}

void WMIInfoExtractor::resolveStartupEntry(WmiObject& entry)
{
    std::u16string command = valueOf(entry, u"Command");
    PathOperations::trimWhitespace(command);
    if (command.empty())
        return;

    std::u16string location = valueOf(entry, u"Location");
    if (location == u"Common Startup")
        location = paths_.specialFolderPath(u"commonstartup");
    else if (location == u"Startup")
        location = paths_.specialFolderPath(u"startup");
    else
        paths_.expandEnvironmentTokens(location);

    const bool registryLocation = location.starts_with(u"HKLM") || location.starts_with(u"HKCU") ||
                                  location.starts_with(u"HKU");
    if (!registryLocation && command.find(u'\\') == std::u16string::npos)
        command = location + u'\\' + command;

    if (!paths_.resolveCommandFile(command)) {
        traceDiagnostic(formatText(u"Failed to locate filename for command: %s, at location %s", {command, location}));
        return;
    }
    if (endsWith(command, u".ini"))
        return;
    if (endsWith(command, u".lnk"))
        paths_.resolveShortcut(command, command);

    extraFiles_.insert(command);
    entry[u"Command"] = std::move(command);
    entry[u"Location"] = std::move(location);
}

void WMIInfoExtractor::deriveClientIds()
{
    const std::u16string clientId = md5OfTexts(
        {scanWide_[u"SerialNumber"], scanWide_[u"ProcessorId"], scanWide_[u"Processor"], scanWide_[u"Version"]});
    scanWide_[u"ClientId"] = clientId;

    // The seed is time() of the same moment: seconds since 1970.
    const std::uint64_t now = clock_.systemTimeAsFileTime();
    const std::uint64_t seconds = now / kFileTimeUnitsPerSecond;
    const auto seed = static_cast<std::uint32_t>(seconds >= kUnixEpochSeconds ? seconds - kUnixEpochSeconds : 0);
    const std::uint32_t r = firstRandAfterSeed(seed);
    scanWide_[u"ClientScanId"] = md5OfTexts({clientId, formatInt64(r), formatInt64(now >> 32),
                                             formatInt64(now & 0xffffffffu)});
}

std::int64_t WMIInfoExtractor::ownPeakWorkingSetSize()
{
    const std::u16string query = u"SELECT PeakWorkingSetSize FROM Win32_Process WHERE ProcessId=" +
                                 formatInt64(static_cast<std::int32_t>(wmi_.currentProcessId()));
    const auto objects = wmi_.run(query, kProcessProperties);
    if (!objects || objects->empty())
        return -1;
    // A null or missing property (Wine has none) comes back as empty text,
    // which is no reading of 0 bytes.
    return readDecimalInt64(valueOf(objects->front(), u"PeakWorkingSetSize")).value_or(-1);
}

void WMIInfoExtractor::onProcess(std::uint32_t processId)
{
    const std::u16string id = formatInt64(processId);
    for (const WmiObject& process : processes_) {
        if (valueOf(process, u"ProcessId") != id)
            continue;
        for (const auto& [name, value] : process)
            setProperty(narrowLatin1(name), value);
        return;
    }
}

void WMIInfoExtractor::extract(const std::u16string& path)
{
    for (const WmiObject& entry : startup_) {
        if (valueOf(entry, u"Command") != path)
            continue;
        const std::u16string& user = valueOf(entry, u"User");
        setProperty("ProcessDescription", valueOf(entry, u"Caption"));
        setProperty("StartupLocation", valueOf(entry, u"Location"));
        setProperty("UserUsedForStartup", user == u"NT AUTHORITY\\SYSTEM" ? u"3" : user == u"All Users" ? u"1" : u"2");
        return;
    }
}

}  // namespace zorvane
