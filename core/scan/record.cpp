#include "core/scan/record.h"

namespace zorvane {

std::u16string& ProcessRecord::operator[](std::string_view key)
{
    auto it = entries_.find(key);
    if (it == entries_.end())
        it = entries_.emplace(std::string(key), std::u16string()).first;
    return it->second;
}

std::u16string& ProcessRecord::at(const_iterator hint, std::string_view key)
{
    if (hint != entries_.end() && hint->first == key)
        return entries_.erase(hint, hint)->second;
    return entries_.emplace_hint(hint, std::string(key), std::u16string())->second;
}

bool ProcessRecord::insertIfAbsent(std::string_view key, std::u16string value)
{
    if (entries_.find(key) != entries_.end())
        return false;
    entries_.emplace(std::string(key), std::move(value));
    return true;
}

const std::u16string* ProcessRecord::find(std::string_view key) const
{
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace zorvane
