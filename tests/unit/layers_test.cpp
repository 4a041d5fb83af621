// The layers of the tree: every folder may include only itself and the
// folders below it in this table, so no include can point up or close a
// circle. README.md shows the same table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

using Layers = std::map<std::string, std::set<std::string>>;

// Folder -> the folders its files include directly.
const Layers kLayers = {
    {"core/base", {}},
    {"core/digest", {}},
    {"core/progress", {}},
    {"core/extractors", {"core/base", "core/digest"}},
    {"core/scan", {"core/extractors", "core/progress", "core/base"}},
    {"core/gui", {"core/base"}},
    {"protocol", {"core/base"}},
    {"core/exchange", {"protocol", "core/gui", "core/progress", "core/base"}},
    {"core/app", {"core/base"}},
    {"service", {"protocol", "core/base"}},
    {"client/win32", {}},
    {"client/resources", {}},
    {"client/extractors", {"client/win32", "core/extractors", "core/base"}},
    {"client/gui", {"client/win32", "client/resources", "core/exchange", "core/gui", "core/progress", "core/base"}},
    {"client/exchange", {"client/gui", "client/win32", "core/exchange", "core/base"}},
    {"client/scan",
     {"client/exchange", "client/gui", "client/extractors", "client/win32", "core/scan", "core/extractors",
      "core/base"}},
    {"client/app",
     {"client/scan", "client/exchange", "client/gui", "client/win32", "client/resources", "core/app", "core/base"}},
};

// Everything `folder` may include: itself and all it reaches through the table.
std::set<std::string> reachable(const std::string& folder)
{
    std::set<std::string> seen{folder};
    std::function<void(const std::string&)> visit = [&](const std::string& from) {
        const auto row = kLayers.find(from);
        if (row == kLayers.end())
            return;
        for (const std::string& to : row->second)
            if (seen.insert(to).second)
                visit(to);
    };
    visit(folder);
    return seen;
}

}  // namespace

TEST(Layers, TheTableHasNoCircle)
{
    for (const auto& [folder, below] : kLayers)
        for (const std::string& to : below)
            EXPECT_FALSE(reachable(to).contains(folder)) << folder << " -> " << to << " closes a circle";
}

TEST(Layers, EveryIncludePointsDown)
{
    const fs::path root = ZORVANE_SOURCE_DIR;
    const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
    std::size_t files = 0;
    for (const char* top : {"core", "protocol", "client", "service"}) {
        for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp"))
                continue;
            ++files;
            const std::string folder = entry.path().parent_path().lexically_relative(root).generic_string();
            ASSERT_TRUE(kLayers.contains(folder)) << folder << " is not in the layer table";
            const std::set<std::string> allowed = reachable(folder);
            std::ifstream in(entry.path());
            std::string line;
            std::smatch match;
            while (std::getline(in, line)) {
                if (!std::regex_search(line, match, include))
                    continue;
                const std::string target = fs::path(match[1].str()).parent_path().generic_string();
                EXPECT_TRUE(target.empty() || allowed.contains(target))
                    << entry.path().lexically_relative(root).generic_string() << " includes " << match[1];
            }
        }
    }
    EXPECT_GT(files, 100u);
}
