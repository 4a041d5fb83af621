#include "core/extractors/path_info.h"

namespace zorvane {

void PathInfoExtractor::extract(const std::u16string& path)
{
    setProperty("pathFull", path);
    std::u16string directory = path;
    PathOperations::toLowerAscii(directory);
    if (const std::size_t slash = directory.rfind(u'\\'); slash != std::u16string::npos) {
        setProperty("file", directory.substr(slash + 1));
        directory.resize(slash);
    }
    setProperty("path", directory);
    paths_.generalisePath(directory);
    setProperty("lpath", std::move(directory));
}

}  // namespace zorvane
