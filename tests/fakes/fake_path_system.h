#pragma once
// A staged path system for the native tests: files and directories that
// exist, 8.3 aliases, special folders, the temp path, drive types,
// environment variables, the directories SearchPathW would look in and
// shortcut targets. Lookups fold ASCII case, as Windows does.
//
//   FakePathSystem fake = FakePathSystem::typicalWindows();
//   fake.addFile(u"C:\\Program Files\\App\\app.exe").setEnvironment(u"APPDIR", u"C:\\Program Files\\App");
//   PathOperations paths(fake);

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/extractors/path_operations.h"

namespace zorvane::fakes {

class FakePathSystem : public PathSystem {
public:
    // Folders of an English Windows XP on drive C:, the files that command
    // resolution tests reach for (rundll32, notepad, shell32.dll), the
    // variables SystemRoot, windir, ProgramFiles, TEMP and USERPROFILE, C: as
    // a fixed drive and the system folders in the search order.
    static FakePathSystem typicalWindows()
    {
        FakePathSystem fake;
        const std::u16string windir = u"C:\\WINDOWS";
        const std::u16string system = windir + u"\\system32";
        const std::u16string profile = u"C:\\Documents and Settings\\Owner";
        const std::u16string allUsers = u"C:\\Documents and Settings\\All Users";
        fake.setFolder(csidl::kProgramFiles, u"C:\\Program Files")
            .setFolder(csidl::kProgramFilesCommon, u"C:\\Program Files\\Common Files")
            .setFolder(csidl::kSystem, system)
            .setFolder(csidl::kWindows, windir)
            .setFolder(csidl::kDesktopDirectory, profile + u"\\Desktop")
            .setFolder(csidl::kCommonDesktopDirectory, allUsers + u"\\Desktop")
            .setFolder(csidl::kStartup, profile + u"\\Start Menu\\Programs\\Startup")
            .setFolder(csidl::kCommonStartup, allUsers + u"\\Start Menu\\Programs\\Startup")
            .setFolder(csidl::kProfile, profile)
            .setTempPath(profile + u"\\Local Settings\\Temp\\")
            .setDriveType(u'C', DriveType::Fixed)
            .setEnvironment(u"SystemRoot", windir)
            .setEnvironment(u"windir", windir)
            .setEnvironment(u"ProgramFiles", u"C:\\Program Files")
            .setEnvironment(u"TEMP", profile + u"\\Local Settings\\Temp")
            .setEnvironment(u"USERPROFILE", profile)
            .addFile(system + u"\\rundll32.exe")
            .addFile(system + u"\\notepad.exe")
            .addFile(system + u"\\shell32.dll")
            .addFile(windir + u"\\explorer.exe")
            .addSearchDirectory(system)
            .addSearchDirectory(windir);
        return fake;
    }

    // Stages an existing file; its parent directories exist too.
    FakePathSystem& addFile(const std::u16string& path)
    {
        addExisting(path);
        return *this;
    }
    FakePathSystem& addDirectory(const std::u16string& path)
    {
        addExisting(path);
        return *this;
    }
    // An 8.3 alias of an existing path prefix, such as C:\PROGRA~1 for
    // C:\Program Files. longPathName expands it.
    FakePathSystem& addShortName(const std::u16string& shortPrefix, const std::u16string& longPrefix)
    {
        shortNames_.emplace_back(shortPrefix, longPrefix);
        return *this;
    }
    // An empty path means Windows names no such folder.
    FakePathSystem& setFolder(int csidl, std::u16string path)
    {
        folders_[csidl] = std::move(path);
        return *this;
    }
    FakePathSystem& setTempPath(std::optional<std::u16string> path)
    {
        tempPath_ = std::move(path);
        return *this;
    }
    FakePathSystem& setDriveType(char16_t letter, DriveType type)
    {
        drives_[fold(letter)] = type;
        return *this;
    }
    FakePathSystem& setEnvironment(const std::u16string& name, std::u16string value)
    {
        environment_[foldText(name)] = std::move(value);
        return *this;
    }
    FakePathSystem& removeEnvironment(const std::u16string& name)
    {
        environment_.erase(foldText(name));
        return *this;
    }
    FakePathSystem& addSearchDirectory(std::u16string directory)
    {
        searchDirectories_.push_back(std::move(directory));
        return *this;
    }
    // An empty target stands for a link that names no file-system path.
    FakePathSystem& addShortcut(const std::u16string& linkPath, std::u16string target)
    {
        addExisting(linkPath);
        shortcuts_[foldText(linkPath)] = std::move(target);
        return *this;
    }

    // How often each operation was asked, to check the caches. Found names
    // come back spelled as asked for; 8.3 aliases resolve as in longPathName.
    int folderQueries = 0;
    int environmentQueries = 0;
    int driveQueries = 0;
    std::vector<std::u16string> searchedNames;

    std::optional<std::u16string> specialFolder(int csidl) override
    {
        ++folderQueries;
        auto found = folders_.find(csidl);
        if (found == folders_.end() || found->second.empty())
            return std::nullopt;
        return found->second;
    }

    std::optional<std::u16string> tempPath() override
    {
        ++folderQueries;
        return tempPath_;
    }

    std::optional<std::u16string> longPathName(const std::u16string& path) override
    {
        // Each alias expands a prefix; nested aliases (C:\PROGRA~1, then
        // C:\Program Files\LONGNA~1) expand one after the other.
        std::u16string expanded = path;
        for (std::size_t round = 0; round <= shortNames_.size(); ++round) {
            bool changed = false;
            for (const auto& [shortPrefix, longPrefix] : shortNames_) {
                const std::size_t n = shortPrefix.size();
                if (foldText(expanded.substr(0, n)) == foldText(shortPrefix) &&
                    (expanded.size() == n || expanded[n] == u'\\')) {
                    expanded = longPrefix + expanded.substr(n);
                    changed = true;
                }
            }
            if (!changed)
                break;
        }
        if (!exists(expanded))
            return std::nullopt;
        return expanded;
    }

    DriveType driveType(const std::u16string& root) override
    {
        ++driveQueries;
        if (root.size() < 2 || root[1] != u':')
            return DriveType::NoRootDirectory;
        auto found = drives_.find(fold(root[0]));
        return found == drives_.end() ? DriveType::NoRootDirectory : found->second;
    }

    std::optional<std::u16string> searchPath(const std::u16string& fileName,
                                             const std::u16string& defaultExtension) override
    {
        searchedNames.push_back(fileName);
        std::u16string name = fileName;
        const std::size_t lastSlash = name.find_last_of(u"\\/");
        const std::size_t lastDot = name.rfind(u'.');
        if (lastDot == std::u16string::npos || (lastSlash != std::u16string::npos && lastDot < lastSlash))
            name += defaultExtension;
        if (name.find_first_of(u"\\/:") != std::u16string::npos)
            return longPathName(name) ? std::optional(name) : std::nullopt;
        for (const std::u16string& directory : searchDirectories_) {
            std::u16string candidate = directory + u"\\" + name;
            if (longPathName(candidate))
                return candidate;
        }
        return std::nullopt;
    }

    std::optional<std::u16string> environmentVariable(const std::u16string& name) override
    {
        ++environmentQueries;
        auto found = environment_.find(foldText(name));
        if (found == environment_.end())
            return std::nullopt;
        return found->second;
    }

    std::optional<std::u16string> shortcutTarget(const std::u16string& linkPath) override
    {
        auto found = shortcuts_.find(foldText(linkPath));
        if (found == shortcuts_.end())
            return std::nullopt;
        return found->second;
    }

private:
    static char16_t fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
    static std::u16string foldText(std::u16string text)
    {
        for (char16_t& c : text)
            c = fold(c);
        return text;
    }

    void addExisting(const std::u16string& path)
    {
        std::u16string folded = foldText(path);
        while (!folded.empty() && folded.back() == u'\\')
            folded.pop_back();
        for (;;) {
            existing_.insert(folded);
            const std::size_t slash = folded.rfind(u'\\');
            if (slash == std::u16string::npos)
                break;
            folded.resize(slash);
        }
    }

    bool exists(const std::u16string& path) const
    {
        std::u16string folded = foldText(path);
        while (!folded.empty() && folded.back() == u'\\')
            folded.pop_back();
        return existing_.count(folded) != 0;
    }

    std::set<std::u16string> existing_;
    std::vector<std::pair<std::u16string, std::u16string>> shortNames_;
    std::map<int, std::u16string> folders_;
    std::optional<std::u16string> tempPath_;
    std::map<char16_t, DriveType> drives_;
    std::map<std::u16string, std::u16string> environment_;
    std::vector<std::u16string> searchDirectories_;
    std::map<std::u16string, std::u16string> shortcuts_;
};

}  // namespace zorvane::fakes
