#pragma once
// The scan's direct work on the system and the records: which processes run
// which files, reading one file into the extractors' events, and the
// reference values derived for every record at the end of a scan.

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/record.h"

namespace zorvane {

class FileSystem;
class InfoExtractor;
class PathOperations;
class ProcessSystem;

// The 8192-byte id and module buffers of the enumeration.
inline constexpr std::size_t kMaxProcessIds = 2048;
inline constexpr std::size_t kMaxModules = 2048;
inline constexpr std::size_t kModuleNameCapacity = 2080;
inline constexpr std::uint32_t kImageBlockSize = 65536;

struct ProcessEntry {
    std::uint32_t processId = 0;
    // Comma-joined normalised paths of the process's modules, image excluded.
    std::u16string moduleList;

    bool operator==(const ProcessEntry&) const = default;
};

// Image path to the processes that run it, in enumeration order.
using ProcessesByImage = std::map<std::u16string, std::vector<ProcessEntry>>;
// Every file to scan, ordered by UTF-16 code units.
using PathSet = std::set<std::u16string>;

// Adds every readable module file of every process that can be opened to
// `pathSet`, and one entry per such process under its image path: the first
// module whose name can be read. A process with no readable module name is
// entered under the empty path. Processes that cannot be opened or whose
// modules cannot be listed are left out without a message.
void enumerateProcesses(ProcessSystem& system, PathOperations& paths, PathSet& pathSet,
                        ProcessesByImage& processesByImage);

// The extractors that readImageFile drives, in the order they get events.
struct ImageEventTargets {
    std::span<InfoExtractor* const> fileExtractors;
    InfoExtractor& handleExtractor;
    std::span<InfoExtractor* const> imageConsumers;
};

// The long-path form a file is opened by: "\\?\" in front, and a network
// path "\\server\..." as "\\?\UNC\server\...". A path that already starts
// with "\\?\" is kept.
std::u16string makeOpenPath(std::u16string_view path);

// The block a file is read into. The caller keeps one for all its files:
// a scan reads thousands, and a fresh 64 KiB block per file (allocated and
// cleared each time) costs about as much as hashing a small library.
using ImageBlock = std::array<std::uint8_t, kImageBlockSize>;

// `extract` on the file extractors; then, only when the file opens and is
// not a directory, `extractFromHandle`, `onImageBegin`, one `onImageData`
// per block of up to 64 KiB read into `block`, and `onImageEnd` (also after
// a read error, with the blocks read so far). Failures leave no trace in
// the record.
void readImageFile(const ImageEventTargets& targets, FileSystem& files, const std::u16string& path,
                   ImageBlock& block);

// "ref.startupMethod": "2" for a service key location, else "3" for a
// startup command, else "1" when a parent process id is known.
void deriveStartupMethod(ProcessRecord& record);
// "ref.networkUsage": "2" for an INTERNET or DEFAULT port, else "1" for a
// BROADCAST, ETHERNET or LOOPBACK one.
void deriveNetworkUsage(ProcessRecord& record);
// "ref.memoryUsage": the working set (bytes, 64-bit) as a share of the
// visible memory (kilobytes), "%4.6f". Absent when either is unknown.
void deriveMemoryUsage(ProcessRecord& record, double totalVisibleMemory);

}  // namespace zorvane
