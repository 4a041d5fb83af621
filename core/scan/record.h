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
// in the key itself, zero-padded; longer ones on the heap. The first eight
// bytes, read as a big-endian number (zeros past the end), order two keys
// whenever they differ, which for keys such as "wmi.ThreadCount" and
// "ver.FileVersion" is nearly always: most comparisons are one integer
// comparison instead of a call to memcmp. Moving a key copies its 32 bytes.
class RecordKey {
public:
    static std::uint64_t prefixOf(std::string_view text);

    RecordKey() { std::memset(inline_, 0, kInline); }
    explicit RecordKey(std::string_view text);
    RecordKey(const RecordKey& other) : RecordKey(other.view()) {}
    RecordKey(RecordKey&& other) noexcept { take(other); }
    RecordKey& operator=(const RecordKey& other);
    RecordKey& operator=(RecordKey&& other) noexcept;
    ~RecordKey() { release(); }

    std::string_view view() const { return {isInline() ? inline_ : heap_.text, size_}; }
    operator std::string_view() const { return view(); }
    std::uint64_t prefix() const { return isInline() ? bigEndian(inline_) : heap_.prefix; }
    bool operator==(const RecordKey& other) const { return view() == other.view(); }

    // This key against `key`, whose prefixOf is `keyPrefix`: negative, zero
    // or positive.
    int compare(std::string_view key, std::uint64_t keyPrefix) const
    {
        const std::uint64_t own = prefix();
        if (own != keyPrefix)
            return own < keyPrefix ? -1 : 1;
        return view().compare(key);
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
        struct {
            char* text;
            std::uint64_t prefix;
        } heap_;
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
    // make sure every key is present. The keys must not point into this
    // record.
    void indexAll(std::span<const std::string_view> sortedKeys, std::span<std::u16string*> values = {});

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
    std::vector<Entry>::const_iterator lowerBound(std::string_view key, std::uint64_t prefix) const;

    std::vector<Entry> entries_;
};

}  // namespace zorvane
