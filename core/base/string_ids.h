#pragma once
// String-table ids of the texts the user sees.

namespace zorvane::text {

inline constexpr int kTitle = 103;
inline constexpr int kSendFailed = 104;
inline constexpr int kOutOfMemory = 105;
inline constexpr int kErrorCaption = 106;
inline constexpr int kInitialisationFailed = 107;
inline constexpr int kAlreadyScanning = 108;
inline constexpr int kClosingPleaseWait = 109;
inline constexpr int kScanningProcesses = 110;
inline constexpr int kCommunicating = 111;
inline constexpr int kOpeningResults = 112;
inline constexpr int kPreparing = 113;
inline constexpr int kWelcome = 114;
inline constexpr int kProcessesOnYourSystem = 115;
inline constexpr int kWhatYourComputerIsDoing = 116;
inline constexpr int kClickStart = 117;
inline constexpr int kReportGenerated = 118;
inline constexpr int kAnalyzing = 119;
inline constexpr int kGettingResults = 120;
inline constexpr int kServerProcessing = 121;
inline constexpr int kProgressLabel = 122;
inline constexpr int kStatusLabel = 123;
inline constexpr int kLastProcessScan = 124;
inline constexpr int kWhatIsYourPcUpTo = 125;
inline constexpr int kLicenseAgreement = 126;
inline constexpr int kReportGeneratedNotOpened = 127;

}  // namespace zorvane::text
