#pragma once
// A staged registry for the native tests: keys in creation order (which is
// their enumeration order), values with their type and raw bytes, and
// statuses to return for chosen calls. Paths compare exactly (the real
// registry folds case; the tests do not need it).
//
//   FakeRegistryReader registry;
//   registry.setText(RegistryRoot::LocalMachine, kServices + u"\\Svc", u"ImagePath", u"C:\\x.exe");
//   registry.denyOpen(RegistryRoot::LocalMachine, kServices + u"\\Locked");

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/extractors/registry_info.h"

namespace zorvane::fakes {

inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorAccessDenied = 5;

// UTF-16LE bytes of the texts, each followed by a zero unit when
// `terminated`; a multi-string gets its closing empty string too.
inline std::vector<std::uint8_t> utf16Bytes(const std::vector<std::u16string>& texts, bool terminated = true)
{
    std::vector<std::uint8_t> bytes;
    auto put = [&](char16_t unit) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    };
    for (const auto& text : texts) {
        for (char16_t unit : text)
            put(unit);
        if (terminated)
            put(0);
    }
    if (terminated && texts.size() > 1)
        put(0);
    return bytes;
}

class FakeRegistryReader : public RegistryReader {
public:
    // Creates the key and every missing key above it.
    FakeRegistryReader& addKey(RegistryRoot root, const std::u16string& path)
    {
        node(root, path);
        return *this;
    }
    FakeRegistryReader& setValue(RegistryRoot root, const std::u16string& path, const std::u16string& name,
                                 std::uint32_t type, std::vector<std::uint8_t> data)
    {
        auto& values = node(root, path).values;
        for (auto& value : values)
            if (value.first == name) {
                value.second = RegistryValue{type, std::move(data)};
                return *this;
            }
        values.emplace_back(name, RegistryValue{type, std::move(data)});
        return *this;
    }
    FakeRegistryReader& setText(RegistryRoot root, const std::u16string& path, const std::u16string& name,
                                const std::u16string& text, std::uint32_t type = kRegSz)
    {
        return setValue(root, path, name, type, utf16Bytes({text}));
    }
    FakeRegistryReader& setMultiText(RegistryRoot root, const std::u16string& path, const std::u16string& name,
                                     const std::vector<std::u16string>& texts)
    {
        return setValue(root, path, name, kRegMultiSz, utf16Bytes(texts));
    }
    FakeRegistryReader& denyOpen(RegistryRoot root, const std::u16string& path,
                                 std::int32_t status = kErrorAccessDenied)
    {
        node(root, path).openStatus = status;
        return *this;
    }
    FakeRegistryReader& failQueryValue(RegistryRoot root, const std::u16string& path, const std::u16string& name,
                                       std::int32_t status = kErrorAccessDenied)
    {
        node(root, path).failingValues[name] = status;
        return *this;
    }

    int openKeys() const { return openKeys_; }

    // The path under which a key of the 32-bit view is staged, once the
    // fake plays 64-bit Windows (`views`); the 64-bit view is the plain path.
    static std::u16string in32BitView(const std::u16string& path) { return u"[32]" + path; }
    std::vector<RegistryView> views{RegistryView::Own};

    std::vector<RegistryView> redirectedViews() override { return views; }

    std::unique_ptr<RegistryKey> open(RegistryRoot root, const std::u16string& path, RegistryView view,
                                      std::int32_t& status) override
    {
        const auto found = nodes_.find({root, view == RegistryView::Bits32 ? in32BitView(path) : path});
        status = found == nodes_.end() ? kErrorFileNotFound : found->second.openStatus;
        if (status != 0)
            return nullptr;
        return std::make_unique<Key>(found->second, openKeys_);
    }

    std::u16string systemMessage(std::int32_t status) override
    {
        return status == kErrorFileNotFound ? u"The system cannot find the file specified.\r\n" : u"";
    }

private:
    static constexpr std::int32_t kNoMoreItems = 259;

    struct Node {
        std::vector<std::u16string> subkeys;
        std::vector<std::pair<std::u16string, RegistryValue>> values;
        std::map<std::u16string, std::int32_t> failingValues;
        std::int32_t openStatus = 0;
    };

    // Counts itself among the open keys while it lives.
    class Key : public RegistryKey {
    public:
        Key(const Node& node, int& openKeys) : node_(node), openKeys_(openKeys) { ++openKeys_; }
        ~Key() override { --openKeys_; }

        std::int32_t queryInfo(std::uint32_t& subkeyCount, std::uint32_t& valueCount) override
        {
            subkeyCount = static_cast<std::uint32_t>(node_.subkeys.size());
            valueCount = static_cast<std::uint32_t>(node_.values.size());
            return 0;
        }
        std::int32_t enumerateSubkey(std::uint32_t index, std::u16string& name) override
        {
            if (index >= node_.subkeys.size())
                return kNoMoreItems;
            name = node_.subkeys[index];
            return 0;
        }
        std::int32_t enumerateValue(std::uint32_t index, std::u16string& name) override
        {
            if (index >= node_.values.size())
                return kNoMoreItems;
            name = node_.values[index].first;
            return 0;
        }
        std::int32_t queryValue(const std::u16string& name, RegistryValue& value) override
        {
            if (const auto failing = node_.failingValues.find(name); failing != node_.failingValues.end())
                return failing->second;
            for (const auto& entry : node_.values)
                if (entry.first == name) {
                    value = entry.second;
                    return 0;
                }
            return kErrorFileNotFound;
        }

    private:
        const Node& node_;
        int& openKeys_;
    };

    Node& node(RegistryRoot root, const std::u16string& path)
    {
        const auto found = nodes_.find({root, path});
        if (found != nodes_.end())
            return found->second;
        const auto slash = path.rfind(u'\\');
        if (slash != std::u16string::npos)
            node(root, path.substr(0, slash)).subkeys.push_back(path.substr(slash + 1));
        return nodes_[{root, path}];
    }

    std::map<std::pair<RegistryRoot, std::u16string>, Node> nodes_;
    int openKeys_ = 0;
};

}  // namespace zorvane::fakes
