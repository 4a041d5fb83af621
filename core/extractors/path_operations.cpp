#include "core/extractors/path_operations.h"

namespace zorvane {

namespace {

char16_t lowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool isLowerLetter(char16_t c) { return c >= u'a' && c <= u'z'; }

bool isAsciiLetter(char16_t c) { return isLowerLetter(lowerAscii(c)); }

bool isWhitespace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

bool startsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lowerAscii(text[i]) != lowerAscii(prefix[i]))
            return false;
    }
    return true;
}

constexpr std::u16string_view kNtPrefix = u"\\??\\";
constexpr std::u16string_view kSystemRootPrefix = u"\\SystemRoot\\";
constexpr std::u16string_view kExecutableExtension = u".exe";
constexpr std::u16string_view kLibraryExtension = u".dll";
constexpr std::u16string_view kRundll32Template = u"%system%\\rundll32.exe";

}  // namespace

PathOperations::PathOperations(PathSystem& system)
    : system_(system),
      folders_{{
          {u"programfiles", csidl::kProgramFiles, {}},
          {u"programfilescommon", csidl::kProgramFilesCommon, {}},
          {u"system", csidl::kSystem, {}},
          {u"windir", csidl::kWindows, {}},
          {u"desktop", csidl::kDesktopDirectory, {}},
          {u"commondesktop", csidl::kCommonDesktopDirectory, {}},
          {u"startup", csidl::kStartup, {}},
          {u"commonstartup", csidl::kCommonStartup, {}},
          {u"userprofile", csidl::kProfile, {}},
          {u"temp", csidl::kNone, {}},
      }}
{
}

void PathOperations::initSpecialFolders()
{
    std::call_once(foldersOnce_, [this] {
        for (SpecialFolder& folder : folders_) {
            std::optional<std::u16string> path =
                folder.csidl == csidl::kNone ? system_.tempPath() : system_.specialFolder(folder.csidl);
            if (!path || path->empty())
                continue;
            if (std::optional<std::u16string> longPath = system_.longPathName(*path); longPath && !longPath->empty())
                path = std::move(longPath);
            if (path->back() == u'\\')
                path->pop_back();
            folder.path = std::move(*path);
        }
    });
}

const PathOperations::SpecialFolderTable& PathOperations::specialFolders()
{
    initSpecialFolders();
    return folders_;
}

std::u16string PathOperations::specialFolderPath(std::u16string_view name)
{
    for (const SpecialFolder& folder : specialFolders()) {
        if (folder.name == name)
            return folder.path;
    }
    return {};
}

void PathOperations::generalisePath(std::u16string& text)
{
    // An empty text has no root to probe; a probe with an empty root would
    // ask about the current directory's drive instead.
    if (text.empty())
        return;

    const SpecialFolder* best = nullptr;
    std::size_t bestLength = 0;
    for (const SpecialFolder& folder : specialFolders()) {
        const std::size_t n = folder.path.size();
        if (n <= bestLength || !startsWithIgnoringCase(text, folder.path))
            continue;
        if (text.size() > n && text[n] != u'\\')
            continue;
        best = &folder;
        bestLength = n;
    }
    if (best != nullptr) {
        std::u16string token;
        token.reserve(best->name.size() + 2);
        token += u'%';
        token += best->name;
        token += u'%';
        text.replace(0, bestLength, token);
        return;
    }

    // Only a drive-letter path has a drive to replace; any other text would
    // lose two of its own characters.
    if (text.size() < 2 || text[1] != u':' || !isAsciiLetter(text[0]))
        return;
    if (system_.driveType(text.substr(0, 3)) == DriveType::Cdrom)
        text.replace(0, 2, u"%cdrom%");
}

void PathOperations::normalisePath(std::u16string& text)
{
    expandEnvironmentTokens(text);
    if (text.starts_with(kNtPrefix))
        text.erase(0, kNtPrefix.size());
    if (text.starts_with(kSystemRootPrefix)) {
        // Without a Windows folder the prefix stays, rather than leaving a
        // rootless path.
        const std::u16string windir = specialFolderPath(u"windir");
        if (!windir.empty())
            text.replace(0, kSystemRootPrefix.size() - 1, windir);
    }
    if (!text.empty()) {
        if (std::optional<std::u16string> longPath = system_.longPathName(text); longPath && !longPath->empty())
            text = std::move(*longPath);
    }
    if (text.size() >= 2 && text[1] == u':' && isLowerLetter(text[0]))
        text[0] = static_cast<char16_t>(text[0] - u'a' + u'A');
}

void PathOperations::expandEnvironmentTokens(std::u16string& text)
{
    std::size_t open = text.find(u'%');
    while (open != std::u16string::npos) {
        const std::size_t close = text.find(u'%', open + 1);
        if (close == std::u16string::npos)
            return;
        const std::u16string name = text.substr(open + 1, close - open - 1);

        std::optional<std::u16string> value;
        {
            std::lock_guard lock(environmentMutex_);
            if (auto cached = environment_.find(name); cached != environment_.end()) {
                value = cached->second;
            } else if ((value = system_.environmentVariable(name))) {
                environment_.emplace(name, *value);
            }
        }

        std::size_t resume = close + 1;
        if (value) {
            text.replace(open, close - open + 1, *value);
            resume = open + value->size();
        }
        open = text.find(u'%', resume);
    }
}

bool PathOperations::searchExecutable(std::u16string& text)
{
    return searchFile(text, kExecutableExtension);
}

bool PathOperations::searchFile(std::u16string& text, std::u16string_view defaultExtension)
{
    if (text.empty())
        return false;
    std::optional<std::u16string> found = system_.searchPath(text, std::u16string(defaultExtension));
    if (!found || found->empty())
        return false;
    text = std::move(*found);
    normalisePath(text);
    return true;
}

const std::u16string& PathOperations::rundll32Template()
{
    std::call_once(templateOnce_, [this] {
        std::u16string prepared(kRundll32Template);
        const std::size_t open = prepared.find(u'%');
        const std::size_t close = open == std::u16string::npos ? open : prepared.find(u'%', open + 1);
        if (close != std::u16string::npos) {
            const std::u16string_view name = std::u16string_view(prepared).substr(open + 1, close - open - 1);
            for (const SpecialFolder& folder : specialFolders()) {
                if (folder.name == name) {
                    prepared.replace(open, close - open + 1, folder.path);
                    break;
                }
            }
        }
        toLowerAscii(prepared);
        rundll32Template_ = std::move(prepared);
    });
    return rundll32Template_;
}

bool PathOperations::resolveCommandFile(std::u16string& command)
{
    std::u16string program = command;
    std::u16string arguments;
    // Everything after the program, where `arguments` keeps only the first
    // word once the program has been split off at a space.
    std::u16string rest;
    expandEnvironmentTokens(program);
    trimWhitespace(program);

    if (program.size() > 2 && program.front() == u'"') {
        if (const std::size_t quote = program.find(u'"', 1); quote != std::u16string::npos) {
            arguments = program.substr(quote + 1);
            program = program.substr(1, quote - 1);
            // The rundll32 case reads the DLL name from the first character.
            trimWhitespace(arguments);
            rest = arguments;
        }
    }

    // Shrink the program text from the right, one space at a time, until it
    // names an existing file; the text after the cut is the first argument.
    while (!searchExecutable(program)) {
        const std::size_t space = program.rfind(u' ');
        if (space == std::u16string::npos)
            return false;
        arguments = program.substr(space);
        rest.insert(0, arguments);
        program.resize(space);
        trimWhitespace(arguments);
    }

    std::u16string lowered = program;
    toLowerAscii(lowered);
    if (lowered != rundll32Template()) {
        command = std::move(program);
        return true;
    }
    return resolveRundll32Library(program, arguments, rest, command);
}

// rundll32 loads the DLL its first argument names before a comma:
//   rundll32.exe shell32.dll,Control_RunDLL
//   rundll32.exe "C:\Program Files\App\app.dll",Start
//   rundll32.exe C:\Program Files\App\app.dll,Start
// A name with spaces, quoted or not, reaches past the first word, so the
// name is read from the whole text after the program, and a name without an
// extension is a DLL's. When that names no file and the first word holds no
// comma, the command stands for rundll32 itself, as one without a comma does.
bool PathOperations::resolveRundll32Library(std::u16string& program, const std::u16string& firstArgument,
                                            std::u16string rest, std::u16string& command)
{
    trimWhitespace(rest);
    const std::size_t comma = rest.find(u',');
    if (comma != std::u16string::npos) {
        std::u16string library;
        if (rest.front() == u'"') {
            const std::size_t quote = rest.find(u'"', 1);
            library = rest.substr(1, (quote == std::u16string::npos ? comma : quote) - 1);
        } else {
            library = rest.substr(0, comma);
        }
        if (searchFile(library, kLibraryExtension)) {
            command = std::move(library);
            return true;
        }
    }
    if (firstArgument.find(u',') != std::u16string::npos)
        return false;
    command = std::move(program);
    return true;
}

bool PathOperations::resolveShortcut(const std::u16string& linkPath, std::u16string& target)
{
    std::optional<std::u16string> resolved = system_.shortcutTarget(linkPath);
    if (!resolved || resolved->empty())
        return false;
    target = std::move(*resolved);
    return true;
}

void PathOperations::trimWhitespace(std::u16string& text)
{
    std::size_t end = text.size();
    while (end > 0 && isWhitespace(text[end - 1]))
        --end;
    std::size_t begin = 0;
    while (begin < end && isWhitespace(text[begin]))
        ++begin;
    text = text.substr(begin, end - begin);
}

void PathOperations::toLowerAscii(std::u16string& text)
{
    for (char16_t& c : text)
        c = lowerAscii(c);
}

}  // namespace zorvane
