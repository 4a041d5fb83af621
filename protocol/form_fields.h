#pragma once
// The form fields of a request and the body rule that joins them.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane::protocol {

// Field name to value, both bytes. Names order byte-wise (as unsigned bytes,
// a prefix first), which is the order of the fields in the body.
using FormFields = std::map<std::string, std::string, std::less<>>;

// name "=" value for every field in name order, joined by "&". Names and
// values are written as they stand: no percent-encoding.
std::string buildBody(const FormFields& fields);

// The reverse of buildBody: split at "&", each part at its first "=". Empty
// when a part has no "=", a name is empty or a name repeats. An empty body
// gives no fields.
std::optional<FormFields> parseBody(std::string_view body);

}  // namespace zorvane::protocol
