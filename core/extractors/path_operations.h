#pragma once
// The shared path operations: normalisation, environment tokens, command
// resolution, shortcuts, generalisation. Their caches live as long as the
// PathOperations object (the client keeps one for the whole run).

#include <string>

namespace zorvane {

// The operating-system side of the path operations (special folders, temp
// path, long names, drive types, search path, environment, shortcuts).
class PathSystem {
public:
    virtual ~PathSystem() = default;
};

class PathOperations {
public:
    explicit PathOperations(PathSystem& system) : system_(system) {}

    void normalisePath(std::u16string& text);
    void expandEnvironmentTokens(std::u16string& text);
    bool searchExecutable(std::u16string& text);
    bool resolveCommandFile(std::u16string& command);
    // The calling thread must have initialised COM.
    bool resolveShortcut(const std::u16string& linkPath, std::u16string& target);
    void generalisePath(std::u16string& text);

    static void trimWhitespace(std::u16string& text);
    static void toLowerAscii(std::u16string& text);

private:
    PathSystem& system_;
};

}  // namespace zorvane
