#pragma once
// The abbreviation rule of the five abbreviated values (kAbbreviations):
// the client replaces known fragments by placeholders, the service puts
// them back.

#include <cstddef>
#include <string>
#include <string_view>

#include "core/base/record.h"
#include "protocol/columns.h"

namespace zorvane::protocol {

// The placeholder text of fragment `position` of `list`.
std::u16string abbreviationPlaceholder(const AbbreviationList& list, std::size_t position);

// Replaces the first occurrence of each abbreviation fragment in the five
// abbreviated values by its placeholder. A value in which a fragment was
// found is stored lower-cased (ASCII letters only); others keep their case.
void abbreviateValues(ProcessRecord& record);

// Replaces the placeholders of `list` by their fragments. A value whose
// expansion is ambiguous (a placeholder twice or out of range; for the
// digits-only list, digits mixed with other text) comes back unchanged.
std::u16string expandAbbreviations(const AbbreviationList& list, std::u16string_view value);

}  // namespace zorvane::protocol
