#include "core/scan/record.h"

#include <algorithm>
#include <cstring>

namespace zorvane {

std::uint64_t RecordKey::prefixOf(std::string_view text)
{
    char bytes[8] = {};
    std::memcpy(bytes, text.data(), text.size() < 8 ? text.size() : 8);
    return bigEndian(bytes);
}

RecordKey::RecordKey(std::string_view text) : size_(text.size())
{
    if (isInline()) {
        std::memset(inline_, 0, kInline);
        std::memcpy(inline_, text.data(), size_);
    } else {
        heap_.text = new char[size_];
        heap_.prefix = prefixOf(text);
        std::memcpy(heap_.text, text.data(), size_);
    }
}

void RecordKey::take(RecordKey& other) noexcept
{
    std::memcpy(inline_, other.inline_, kInline);
    size_ = other.size_;
    // What is left is the empty key.
    std::memset(other.inline_, 0, kInline);
    other.size_ = 0;
}

RecordKey& RecordKey::operator=(const RecordKey& other)
{
    if (this != &other)
        *this = RecordKey(other);
    return *this;
}

RecordKey& RecordKey::operator=(RecordKey&& other) noexcept
{
    if (this != &other) {
        release();
        take(other);
    }
    return *this;
}

void RecordKey::release()
{
    if (!isInline())
        delete[] heap_.text;
    size_ = 0;
}

std::vector<ProcessRecord::Entry>::const_iterator ProcessRecord::lowerBound(std::string_view key,
                                                                            std::uint64_t prefix) const
{
    return std::lower_bound(entries_.begin(), entries_.end(), key, [prefix](const Entry& entry, std::string_view k) {
        return entry.first.compare(k, prefix) < 0;
    });
}

std::u16string& ProcessRecord::operator[](std::string_view key)
{
    const std::uint64_t prefix = RecordKey::prefixOf(key);
    const auto found = lowerBound(key, prefix);
    const auto at = found - entries_.begin();
    if (found == entries_.end() || found->first.compare(key, prefix) != 0) {
        makeRoom(1);
        entries_.insert(entries_.begin() + at, Entry{RecordKey(key), {}});
    }
    return entries_[static_cast<std::size_t>(at)].second;
}

void ProcessRecord::indexAll(std::span<const std::string_view> sortedKeys, std::span<std::u16string*> values)
{
    // First pass: the values of present keys, and how many are absent.
    std::size_t absent = 0;
    auto entry = entries_.begin();
    for (std::size_t i = 0; i < sortedKeys.size(); ++i) {
        const std::uint64_t prefix = RecordKey::prefixOf(sortedKeys[i]);
        int order = -1;
        while (entry != entries_.end() && (order = entry->first.compare(sortedKeys[i], prefix)) < 0)
            ++entry;
        if (entry != entries_.end() && order == 0) {
            if (!values.empty())
                values[i] = &entry->second;
        } else {
            ++absent;
        }
    }
    if (absent == 0)
        return;

    // Otherwise merge the absent keys in from the back, in place: every entry
    // moves at most once, to its final position.
    const std::size_t old = entries_.size();
    makeRoom(absent);
    entries_.resize(old + absent);
    std::size_t read = old;               // one past the next entry to move
    std::size_t write = old + absent;     // one past the next place to fill
    std::size_t key = sortedKeys.size();  // one past the next key to place
    while (write != read) {
        const std::string_view text = sortedKeys[key - 1];
        const int order = read == 0 ? -1 : entries_[read - 1].first.compare(text, RecordKey::prefixOf(text));
        if (order >= 0) {
            entries_[--write] = std::move(entries_[--read]);
            if (order == 0)
                --key;
        } else {
            entries_[--write] = Entry{RecordKey(text), {}};
            --key;
        }
    }
    if (!values.empty())
        indexAll(sortedKeys, values);
}

void ProcessRecord::makeRoom(std::size_t extra)
{
    const std::size_t needed = entries_.size() + extra;
    if (needed > entries_.capacity())
        entries_.reserve(std::max({needed, 2 * entries_.capacity(), kTypicalKeys}));
}

ProcessRecord::ProcessRecord(const ProcessRecord& other)
{
    entries_.reserve(std::max(other.entries_.size(), kTypicalKeys));
    entries_ = other.entries_;
}

ProcessRecord& ProcessRecord::operator=(const ProcessRecord& other)
{
    if (this != &other) {
        entries_.reserve(std::max(other.entries_.size(), kTypicalKeys));
        entries_ = other.entries_;
    }
    return *this;
}

bool ProcessRecord::insertIfAbsent(std::string_view key, std::u16string value)
{
    const std::uint64_t prefix = RecordKey::prefixOf(key);
    const auto it = lowerBound(key, prefix);
    if (it != entries_.end() && it->first.compare(key, prefix) == 0)
        return false;
    const auto at = it - entries_.begin();
    makeRoom(1);
    entries_.insert(entries_.begin() + at, Entry{RecordKey(key), std::move(value)});
    return true;
}

const std::u16string* ProcessRecord::find(std::string_view key) const
{
    const std::uint64_t prefix = RecordKey::prefixOf(key);
    const auto it = lowerBound(key, prefix);
    return it == entries_.end() || it->first.compare(key, prefix) != 0 ? nullptr : &it->second;
}

}  // namespace zorvane
