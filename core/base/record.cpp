#include "core/base/record.h"

#include <algorithm>
#include <cstring>

namespace zorvane {

RecordKey::RecordKey(std::string_view text) : size_(text.size())
{
    if (isInline()) {
        std::memset(inline_, 0, kInline);
        std::memcpy(inline_, text.data(), size_);
    } else {
        heap_ = new char[size_];
        std::memcpy(heap_, text.data(), size_);
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
        delete[] heap_;
    size_ = 0;
}

std::size_t ProcessRecord::lowerBound(const RecordKey& key) const
{
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), key,
                                        [](const Entry& entry, const RecordKey& k) { return entry.first.compare(k) < 0; });
    return static_cast<std::size_t>(found - entries_.begin());
}

std::u16string& ProcessRecord::insertAt(std::size_t index, RecordKey key, std::u16string value)
{
    makeRoom(1);
    return entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), Entry{std::move(key), std::move(value)})
        ->second;
}

std::u16string& ProcessRecord::operator[](std::string_view key)
{
    RecordKey probe(key);
    const std::size_t at = lowerBound(probe);
    return holdsAt(at, probe) ? entries_[at].second : insertAt(at, std::move(probe), {});
}

void ProcessRecord::indexAll(std::span<const RecordKey> sortedKeys, std::span<std::u16string*> values)
{
    // First pass: the values of present keys, and how many are absent.
    std::size_t absent = 0;
    auto entry = entries_.begin();
    for (std::size_t i = 0; i < sortedKeys.size(); ++i) {
        int order = -1;
        while (entry != entries_.end() && (order = entry->first.compare(sortedKeys[i])) < 0)
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
        const RecordKey& next = sortedKeys[key - 1];
        const int order = read == 0 ? -1 : entries_[read - 1].first.compare(next);
        if (order >= 0) {
            entries_[--write] = std::move(entries_[--read]);
            if (order == 0)
                --key;
        } else {
            entries_[--write] = Entry{next, {}};
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
    RecordKey probe(key);
    const std::size_t at = lowerBound(probe);
    if (holdsAt(at, probe))
        return false;
    insertAt(at, std::move(probe), std::move(value));
    return true;
}

const std::u16string* ProcessRecord::find(std::string_view key) const
{
    const RecordKey probe(key);
    const std::size_t at = lowerBound(probe);
    return holdsAt(at, probe) ? &entries_[at].second : nullptr;
}

}  // namespace zorvane
