#pragma once
// The record key vocabulary. Per-process keys are "source.Field"; scan-wide
// and bookkeeping keys have no source part.

#include <string_view>

namespace zorvane::keys {

// Extractor source names.
inline constexpr std::string_view kSourceHandle = "handle";
inline constexpr std::string_view kSourceHash = "hash";
inline constexpr std::string_view kSourceNet = "net";
inline constexpr std::string_view kSourcePath = "path";
inline constexpr std::string_view kSourceReg = "reg";
inline constexpr std::string_view kSourceVer = "ver";
inline constexpr std::string_view kSourceWmi = "wmi";

// Per-process keys.
inline constexpr std::string_view kHandleFileSize = "handle.filesize";
inline constexpr std::string_view kHashMd5 = "hash.md5";
inline constexpr std::string_view kHashSha1 = "hash.sha1";
inline constexpr std::string_view kNetNetworkPorts = "net.NetworkPorts";
inline constexpr std::string_view kPathPath = "path.path";
inline constexpr std::string_view kPathLPath = "path.lpath";
inline constexpr std::string_view kPathFile = "path.file";
inline constexpr std::string_view kPathPathFull = "path.pathFull";
inline constexpr std::string_view kRegLocation = "reg.Location";
inline constexpr std::string_view kRegDisplayName = "reg.DisplayName";
inline constexpr std::string_view kRegDescription = "reg.Description";
inline constexpr std::string_view kRegDependOnService = "reg.DependOnService";
inline constexpr std::string_view kVerComments = "ver.Comments";
inline constexpr std::string_view kVerCompanyName = "ver.CompanyName";
inline constexpr std::string_view kVerFileDescription = "ver.FileDescription";
inline constexpr std::string_view kVerFileVersion = "ver.FileVersion";
inline constexpr std::string_view kVerInternalName = "ver.InternalName";
inline constexpr std::string_view kVerLegalCopyright = "ver.LegalCopyright";
inline constexpr std::string_view kVerLegalTrademarks = "ver.LegalTrademarks";
inline constexpr std::string_view kVerOriginalFilename = "ver.OriginalFilename";
inline constexpr std::string_view kVerPrivateBuild = "ver.PrivateBuild";
inline constexpr std::string_view kVerProductName = "ver.ProductName";
inline constexpr std::string_view kVerProductVersion = "ver.ProductVersion";
inline constexpr std::string_view kVerSpecialBuild = "ver.SpecialBuild";
inline constexpr std::string_view kVerBinaryFileVersion = "ver.BinaryFileVersion";
inline constexpr std::string_view kVerBinaryProductVersion = "ver.BinaryProductVersion";
inline constexpr std::string_view kVerLanguageCodepage = "ver.LanguageCodepage";
inline constexpr std::string_view kWmiProcessId = "wmi.ProcessId";
inline constexpr std::string_view kWmiParentProcessId = "wmi.ParentProcessId";
inline constexpr std::string_view kWmiHandleCount = "wmi.HandleCount";
inline constexpr std::string_view kWmiThreadCount = "wmi.ThreadCount";
inline constexpr std::string_view kWmiPriority = "wmi.Priority";
inline constexpr std::string_view kWmiKernelModeTime = "wmi.KernelModeTime";
inline constexpr std::string_view kWmiUserModeTime = "wmi.UserModeTime";
inline constexpr std::string_view kWmiWorkingSetSize = "wmi.WorkingSetSize";
inline constexpr std::string_view kWmiPeakWorkingSetSize = "wmi.PeakWorkingSetSize";
inline constexpr std::string_view kWmiPageFileUsage = "wmi.PageFileUsage";
inline constexpr std::string_view kWmiPeakPageFileUsage = "wmi.PeakPageFileUsage";
inline constexpr std::string_view kWmiProcessDescription = "wmi.ProcessDescription";
inline constexpr std::string_view kWmiStartupLocation = "wmi.StartupLocation";
inline constexpr std::string_view kWmiUserUsedForStartup = "wmi.UserUsedForStartup";
inline constexpr std::string_view kRefStartupMethod = "ref.startupMethod";
inline constexpr std::string_view kRefNetworkUsage = "ref.networkUsage";
inline constexpr std::string_view kRefMemoryUsage = "ref.memoryUsage";
inline constexpr std::string_view kModuleList = "moduleList";
inline constexpr std::string_view kError = "ERROR";

// Server bookkeeping (process records).
inline constexpr std::string_view kStaticId = "staticId";
inline constexpr std::string_view kDynCount = "dynCount";
inline constexpr std::string_view kScanId = "scanId";
inline constexpr std::string_view kServerStaticRef = "server.static.ref";
inline constexpr std::string_view kServerStaticCrid = "server.static.crid";
inline constexpr std::string_view kServerStaticAids = "server.static.aids";
inline constexpr std::string_view kCorvUnknown = "corvUnknown";

// Scan record.
inline constexpr std::string_view kScanningTime = "ScanningTime";
inline constexpr std::string_view kMaxClientMemUsage = "MaxClientMemUsage";
inline constexpr std::string_view kCaption = "Caption";
inline constexpr std::string_view kVersion = "Version";
inline constexpr std::string_view kCSDVersion = "CSDVersion";
inline constexpr std::string_view kBuildType = "BuildType";
inline constexpr std::string_view kServicePackMajorVersion = "ServicePackMajorVersion";
inline constexpr std::string_view kServicePackMinorVersion = "ServicePackMinorVersion";
inline constexpr std::string_view kTotalVisibleMemorySize = "TotalVisibleMemorySize";
inline constexpr std::string_view kTotalVirtualMemorySize = "TotalVirtualMemorySize";
inline constexpr std::string_view kProcessor = "Processor";
inline constexpr std::string_view kProcessorId = "ProcessorId";
inline constexpr std::string_view kSerialNumber = "SerialNumber";
inline constexpr std::string_view kBitsPerPel = "BitsPerPel";
inline constexpr std::string_view kPelsWidth = "PelsWidth";
inline constexpr std::string_view kPelsHeight = "PelsHeight";
inline constexpr std::string_view kClientId = "ClientId";
inline constexpr std::string_view kClientScanId = "ClientScanId";
inline constexpr std::string_view kStatus = "status";
inline constexpr std::string_view kScanTime = "scanTime";
inline constexpr std::string_view kLastAccess = "last_access";
inline constexpr std::string_view kProcessed = "processed";
inline constexpr std::string_view kClientIp = "client_ip";
inline constexpr std::string_view kProcessDataProcessed = "processDataProcessed";

}  // namespace zorvane::keys
