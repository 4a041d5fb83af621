#pragma once
// The process record: an ordered map from a narrow key ("source.Field") to a
// UTF-16 value. Keys order as unsigned bytes, a prefix first, which is what
// std::string_view's comparison gives. Copies are deep.
//
// Entries live in one vector sorted by key: a record holds a few dozen keys,
// so a binary search and a short move on insertion cost less than a tree
// node per key, and a copy is one allocation plus the values. Keys of up to
// 24 bytes (every key the scan writes) are stored in the entry itself.
// Unlike a tree, an insertion moves the entries after it: a reference to a
// value is valid only until the next key is added to the same record.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// A record key. Keys of up to 24 bytes (every key the scan writes) are held
// in the key itself, zero-padded, and two of them compare as at most three
// big-endian 64-bit numbers, no call to memcmp; longer keys live on the heap
// and compare as text. Moving a key copies its 32 bytes.
class RecordKey {
public:
    RecordKey() { std::memset(inline_, 0, kInline); }
    explicit RecordKey(std::string_view text);
    RecordKey(const RecordKey& other) : RecordKey(other.view()) {}
    RecordKey(RecordKey&& other) noexcept { take(other); }
    RecordKey& operator=(const RecordKey& other);
    RecordKey& operator=(RecordKey&& other) noexcept;
    ~RecordKey() { release(); }

    std::string_view view() const { return {isInline() ? inline_ : heap_, size_}; }
    operator std::string_view() const { return view(); }
    bool operator==(const RecordKey& other) const { return compare(other) == 0; }

    // Negative, zero or positive as this key orders before, with or after
    // `other` (unsigned bytes, a prefix first).
    int compare(const RecordKey& other) const
    {
        if (!isInline() || !other.isInline())
            return view().compare(other.view());
        for (std::size_t at = 0; at < kInline; at += 8) {
            const std::uint64_t own = bigEndian(inline_ + at);
            const std::uint64_t theirs = bigEndian(other.inline_ + at);
            if (own != theirs)
                return own < theirs ? -1 : 1;
        }
        // The same bytes, zero padding included: the shorter is a prefix.
        return size_ == other.size_ ? 0 : size_ < other.size_ ? -1 : 1;
    }

private:
    static constexpr std::size_t kInline = 24;
    bool isInline() const { return size_ <= kInline; }
    // Eight bytes read as a big-endian number.
    static std::uint64_t bigEndian(const char* bytes)
    {
        std::uint64_t value;
        std::memcpy(&value, bytes, sizeof value);
        if constexpr (std::endian::native == std::endian::little) {
#if defined(__GNUC__) || defined(__clang__)
            value = __builtin_bswap64(value);
#else
            std::uint64_t swapped = 0;
            for (int k = 0; k < 8; ++k, value >>= 8)
                swapped = swapped << 8 | (value & 0xFF);
            value = swapped;
#endif
        }
        return value;
    }
    void take(RecordKey& other) noexcept;
    void release();

    union {
        char inline_[kInline];
        char* heap_;
    };
    std::size_t size_ = 0;
};

class ProcessRecord {
public:
    struct Entry {
        RecordKey first;
        std::u16string second;
        bool operator==(const Entry&) const = default;
    };
    using const_iterator = std::vector<Entry>::const_iterator;

    ProcessRecord() = default;
    // A copy has room for a typical record's keys, so that the keys added
    // later (the wire encoder adds a few dozen) don't move it again.
    ProcessRecord(const ProcessRecord& other);
    ProcessRecord& operator=(const ProcessRecord& other);
    ProcessRecord(ProcessRecord&&) noexcept = default;
    ProcessRecord& operator=(ProcessRecord&&) noexcept = default;

    // Index access: an absent key is first inserted with an empty value, so
    // reading a key this way adds it to the record.
    std::u16string& operator[](std::string_view key);

    // Index access for many keys at once. `sortedKeys` must be ascending
    // without repeats; absent keys are all inserted empty in one pass, then
    // values[i] points at the value of sortedKeys[i] (until the next
    // insertion). `values` must be as long as `sortedKeys`, or empty to only
    // make sure every key is present.
    void indexAll(std::span<const RecordKey> sortedKeys, std::span<std::u16string*> values = {});

    // Inserts only when the key is absent; an existing value stays. Returns
    // true when the value was inserted.
    bool insertIfAbsent(std::string_view key, std::u16string value);

    // Read-only lookup that does not insert (for readers outside the scan,
    // such as tests and the service). Null when the key is absent.
    const std::u16string* find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }

    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void clear() { entries_.clear(); }

    bool operator==(const ProcessRecord&) const = default;

private:
    // More than a process record holds once encoded for the wire.
    static constexpr std::size_t kTypicalKeys = 64;
    void makeRoom(std::size_t extra);
    // The index of the first entry whose key does not order before `key`.
    std::size_t lowerBound(const RecordKey& key) const;
    bool holdsAt(std::size_t index, const RecordKey& key) const
    {
        return index < entries_.size() && entries_[index].first == key;
    }
    std::u16string& insertAt(std::size_t index, RecordKey key, std::u16string value);

    std::vector<Entry> entries_;
};

}  // namespace zorvane
