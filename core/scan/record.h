#pragma once
// The process record: an ordered map from a narrow key ("source.Field") to a
// UTF-16 value. Keys order as unsigned bytes, a prefix first, which is what
// std::string's comparison gives. Copies are deep.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace zorvane {

class ProcessRecord {
public:
    using Map = std::map<std::string, std::u16string, std::less<>>;
    using const_iterator = Map::const_iterator;

    // Index access: an absent key is first inserted with an empty value, so
    // reading a key this way adds it to the record.
    std::u16string& operator[](std::string_view key);
    // The same with the position known: `hint` is the first entry whose key
    // does not sort before `key`. Constant time for such a hint; any hint
    // gives the same result.
    std::u16string& at(const_iterator hint, std::string_view key);

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
    Map entries_;
};

}  // namespace zorvane
