#include "protocol/form_fields.h"

#include <algorithm>

namespace zorvane::protocol {

std::string buildBody(const FormFields& fields)
{
    std::size_t length = 0;
    for (const auto& [name, value] : fields)
        length += name.size() + value.size() + 2;
    std::string body;
    body.reserve(length);
    bool first = true;
    for (const auto& [name, value] : fields) {
        if (!first)
            body.push_back('&');
        first = false;
        body.append(name).push_back('=');
        body.append(value);
    }
    return body;
}

std::optional<FormFields> parseBody(std::string_view body)
{
    FormFields fields;
    if (body.empty())
        return fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(body.find('&', start), body.size());
        const std::string_view part = body.substr(start, end - start);
        const std::size_t equals = part.find('=');
        if (equals == std::string_view::npos || equals == 0)
            return std::nullopt;
        if (!fields.emplace(std::string(part.substr(0, equals)), std::string(part.substr(equals + 1))).second)
            return std::nullopt;
        if (end == body.size())
            return fields;
        start = end + 1;
    }
}

}  // namespace zorvane::protocol
