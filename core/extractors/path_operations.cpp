// Placeholder: identity operations until the path work lands.
#include "core/extractors/path_operations.h"

namespace zorvane {

void PathOperations::normalisePath(std::u16string&) {}
void PathOperations::expandEnvironmentTokens(std::u16string&) {}
bool PathOperations::searchExecutable(std::u16string&) { return false; }
bool PathOperations::resolveCommandFile(std::u16string&) { return false; }
bool PathOperations::resolveShortcut(const std::u16string&, std::u16string&) { return false; }
void PathOperations::generalisePath(std::u16string&) {}
void PathOperations::trimWhitespace(std::u16string&) {}
void PathOperations::toLowerAscii(std::u16string&) {}

}  // namespace zorvane
