#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/extractors/info_extractor.h"

namespace zorvane {

// The version numbers of VS_FIXEDFILEINFO, most significant double word first.
struct FixedVersionInfo {
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
};

// One entry of "\VarFileInfo\Translation".
struct VersionTranslation {
    std::uint16_t language = 0;
    std::uint16_t codePage = 0;
};

// One file's loaded version resource (GetFileVersionInfoW); released with
// the object. Queries answer VerQueryValueW on the block; values that would
// reach beyond the block are failures.
class VersionBlock {
public:
    virtual ~VersionBlock() = default;
    // The root "\" query; none when it fails or is shorter than the record.
    virtual std::optional<FixedVersionInfo> fixedInformation() = 0;
    // The translation array; empty when the query fails or holds no whole entry.
    virtual std::vector<VersionTranslation> translations() = 0;
    // A "\StringFileInfo\..." value: exactly the units the query reports, so
    // it may carry trailing zero characters or lack a terminator.
    virtual std::optional<std::u16string> stringValue(const std::u16string& subBlock) = 0;
};

// The operating-system side: reading a file's version resource.
class VersionResources {
public:
    virtual ~VersionResources() = default;
    // GetFileVersionInfoSizeW and GetFileVersionInfoW; null when the file has
    // no version resource or it cannot be read.
    virtual std::unique_ptr<VersionBlock> load(const std::u16string& path) = 0;
};

// The "ver." fields of the scanned file's version resource: the binary file
// and product versions, twelve string fields under the first translation
// and "ver.LanguageCodepage". A file without a resource gets no keys.
class VersionInfoExtractor : public InfoExtractor {
public:
    explicit VersionInfoExtractor(VersionResources& resources) : InfoExtractor("ver"), resources_(resources) {}

    void extract(const std::u16string& path) override;

    // A trimmed string field of this many characters or more is left out.
    static constexpr std::size_t kMaxFieldLength = 1024;

private:
    VersionResources& resources_;
};

}  // namespace zorvane
