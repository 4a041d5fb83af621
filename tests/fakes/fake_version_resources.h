#pragma once
// Staged version resources for the native tests: per file, the fixed
// version numbers, the translation array and string values under any
// sub-block path, spelled exactly as the extractor asks for them
// ("\StringFileInfo\040904b0\CompanyName"). Values are returned unit for
// unit, so trailing zeros, missing terminators and long texts can be staged.
//
//   FakeVersionResources fake;
//   fake.stage(u"C:\\app.exe").fileVersion(0x00010002, 0x00030004).translation(0x0409, 0x04b0)
//       .string(u"040904b0", u"CompanyName", u"Maker");

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/extractors/version_info.h"

namespace zorvane::fakes {

struct StagedVersion {
    std::optional<FixedVersionInfo> fixed;
    std::vector<VersionTranslation> translationList;
    std::map<std::u16string, std::u16string> strings;

    StagedVersion& fileVersion(std::uint32_t ms, std::uint32_t ls)
    {
        fixedOrNew().fileVersionMS = ms;
        fixed->fileVersionLS = ls;
        return *this;
    }
    StagedVersion& productVersion(std::uint32_t ms, std::uint32_t ls)
    {
        fixedOrNew().productVersionMS = ms;
        fixed->productVersionLS = ls;
        return *this;
    }
    StagedVersion& translation(std::uint16_t language, std::uint16_t codePage)
    {
        translationList.push_back({language, codePage});
        return *this;
    }
    // `translation` is the eight lowercase hex digits of the sub-block path.
    StagedVersion& string(const std::u16string& translation, const std::u16string& field, std::u16string value)
    {
        strings[u"\\StringFileInfo\\" + translation + u"\\" + field] = std::move(value);
        return *this;
    }

private:
    FixedVersionInfo& fixedOrNew()
    {
        if (!fixed)
            fixed.emplace();
        return *fixed;
    }
};

class FakeVersionResources : public VersionResources {
public:
    // Files that are not staged have no version resource.
    StagedVersion& stage(const std::u16string& path) { return files_[path]; }

    std::vector<std::u16string> queriedSubBlocks;
    int openBlocks = 0;

    std::unique_ptr<VersionBlock> load(const std::u16string& path) override
    {
        auto found = files_.find(path);
        if (found == files_.end())
            return nullptr;
        return std::make_unique<Block>(*this, found->second);
    }

private:
    class Block : public VersionBlock {
    public:
        Block(FakeVersionResources& owner, const StagedVersion& staged) : owner_(owner), staged_(staged)
        {
            ++owner_.openBlocks;
        }
        ~Block() override { --owner_.openBlocks; }
        std::optional<FixedVersionInfo> fixedInformation() override { return staged_.fixed; }
        std::vector<VersionTranslation> translations() override { return staged_.translationList; }
        std::optional<std::u16string> stringValue(const std::u16string& subBlock) override
        {
            owner_.queriedSubBlocks.push_back(subBlock);
            auto found = staged_.strings.find(subBlock);
            if (found == staged_.strings.end())
                return std::nullopt;
            return found->second;
        }

    private:
        FakeVersionResources& owner_;
        const StagedVersion& staged_;
    };

    std::map<std::u16string, StagedVersion> files_;
};

}  // namespace zorvane::fakes
