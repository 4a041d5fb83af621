#pragma once
// Reads the CSV export back as a spreadsheet would.

#include <stdexcept>
#include <string>
#include <vector>

namespace zorvane::testing {

// RFC 4180: quoted cells, doubled quotes, CRLF between rows.
inline std::vector<std::vector<std::string>> parseCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> rows(1);
    std::string cell;
    bool quoted = false, wasQuoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                cell.push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell.push_back(c);
            }
        } else if (c == '"') {
            if (!cell.empty() || wasQuoted)
                throw std::runtime_error("quote inside an unquoted cell");
            quoted = wasQuoted = true;
        } else if (c == ',') {
            rows.back().push_back(std::move(cell));
            cell.clear();
            wasQuoted = false;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(std::move(cell));
            cell.clear();
            wasQuoted = false;
            rows.emplace_back();
            ++i;
        } else {
            cell.push_back(c);
        }
    }
    if (quoted)
        throw std::runtime_error("unterminated quote");
    if (rows.back().empty() && cell.empty())
        rows.pop_back();
    return rows;
}

}  // namespace zorvane::testing
