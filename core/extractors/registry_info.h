#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/extractors/info_extractor.h"
#include "core/extractors/path_operations.h"

namespace zorvane {

enum class RegistryRoot { LocalMachine, ClassesRoot };

// On 64-bit Windows, HKLM\SOFTWARE and HKCR\CLSID have a 64-bit and a 32-bit
// view, and a process sees its own unless it names the other. Elsewhere
// there is one registry, opened as Own.
enum class RegistryView { Own, Bits64, Bits32 };

// Registry value types the walk tells apart.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

struct RegistryValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;  // exactly the bytes the registry returned
};

// An open registry key, closed when destroyed. Every query returns its
// Windows status code (0 on success); outputs are written only on success.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    virtual std::int32_t queryInfo(std::uint32_t& subkeyCount, std::uint32_t& valueCount) = 0;
    virtual std::int32_t enumerateSubkey(std::uint32_t index, std::u16string& name) = 0;
    // The name of the value at `index`.
    virtual std::int32_t enumerateValue(std::uint32_t index, std::u16string& name) = 0;
    // `name` empty reads the key's default value.
    virtual std::int32_t queryValue(const std::u16string& name, RegistryValue& value) = 0;
};

// The operating-system side: read-only access to registry keys.
class RegistryReader {
public:
    virtual ~RegistryReader() = default;
    // Opens `path` below `root` for reading, in `view`. Null when it cannot,
    // with the Windows status code in `status` (0 on success).
    virtual std::unique_ptr<RegistryKey> open(RegistryRoot root, const std::u16string& path, RegistryView view,
                                              std::int32_t& status) = 0;
    // The views a redirected key is read in: both on 64-bit Windows, from
    // either client; only Own elsewhere.
    virtual std::vector<RegistryView> redirectedViews() = 0;
    // The system's message text for a status code; empty when it has none.
    virtual std::u16string systemMessage(std::int32_t status) = 0;
};

// "Error Number: %05u\r\n" (cut to 31 units) followed by the system's message.
std::u16string formatSystemError(std::int32_t status, std::u16string_view systemMessage);

// The text of a string value up to its first zero unit, bounded by the data
// the registry returned (a missing terminator reads no further). For a
// multi-string value, its first string. None for values that are not text.
std::optional<std::u16string> registryText(const RegistryValue& value);

// Services and approved shell extensions that start the scanned file. The
// registry is read once, during construction, into an index by resolved file
// path; `extract` only looks the scanned path up. The approved extensions
// are read in both views on 64-bit Windows; an item found in both is one.
class RegistryInfoExtractor : public InfoExtractor {
public:
    using Item = std::map<std::u16string, std::u16string>;
    using FileIndex = std::map<std::u16string, Item>;

    RegistryInfoExtractor(RegistryReader& registry, PathOperations& paths);

    // Stores "reg." values when some item names exactly this path (case-sensitive).
    void extract(const std::u16string& path) override;

    const FileIndex& fileIndex() const { return fileIndex_; }

private:
    // Value name -> whether the value holds a command line naming a file.
    using ValueNames = std::map<std::u16string, bool>;

    enum class Kind { FollowValueNames = 3, ReadValues = 4 };

    struct Job {
        RegistryRoot root;
        std::u16string path;
        int depth;  // 1: the key itself is an item; 2: each direct subkey is
        Kind kind;
        const Job* next = nullptr;               // FollowValueNames: the job whose path holds "??"
        const ValueNames* valueNames = nullptr;  // ReadValues
        RegistryView view = RegistryView::Own;   // followed into `next` as well
    };

    // True for status 0; otherwise traces the status and its message.
    bool checkStatus(std::int32_t status);
    void walkRegistryJob(const Job& job);
    // The key, or null after tracing why it could not be opened.
    std::unique_ptr<RegistryKey> openKey(RegistryRoot root, const std::u16string& path, RegistryView view);
    void followValueNames(RegistryKey& key, std::uint32_t valueCount, const Job& next, RegistryView view);
    void readItemValues(RegistryKey& key, const ValueNames& names, const std::u16string& location);
    void buildFileIndex();

    RegistryReader& registry_;
    PathOperations& paths_;
    const ValueNames classValueNames_{{u"", true}};
    const ValueNames serviceValueNames_{
        {u"DependOnService", false}, {u"Description", false}, {u"DisplayName", false}, {u"ImagePath", true}};
    std::vector<Item> pendingItems_;
    FileIndex fileIndex_;
};

}  // namespace zorvane
