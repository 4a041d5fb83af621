#pragma once
// The scan's file interface over open/fstat/read, for benchmarking the scan
// natively on real files. A Windows open path ("\\?\C:\dir\file") names
// `root`/dir/file: the long-path prefix and the drive are dropped and
// backslashes become slashes.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/conversions.h"
#include "core/extractors/file_system.h"

namespace zorvane::bench {

class PosixFileSystem : public FileSystem {
public:
    explicit PosixFileSystem(std::string root) : root_(std::move(root)) {}

    std::string nativePath(std::u16string_view openPath) const
    {
        constexpr std::u16string_view kLongPrefix = u"\\\\?\\";
        if (openPath.starts_with(kLongPrefix))
            openPath.remove_prefix(kLongPrefix.size());
        if (openPath.size() >= 2 && openPath[1] == u':')
            openPath.remove_prefix(2);
        std::string path = root_ + toUtf8(openPath);
        for (char& c : path)
            if (c == '\\')
                c = '/';
        return path;
    }

    std::unique_ptr<OpenFile> openForScan(const std::u16string& openPath) override
    {
        const int descriptor = ::open(nativePath(openPath).c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            return nullptr;
        return std::make_unique<File>(descriptor);
    }

private:
    class File : public OpenFile {
    public:
        explicit File(int descriptor) : descriptor_(descriptor) {}
        ~File() override { ::close(descriptor_); }
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        std::optional<FileInformation> information() override
        {
            struct stat facts {};
            if (::fstat(descriptor_, &facts) != 0)
                return std::nullopt;
            // FILE_ATTRIBUTE_NORMAL for anything that is not a directory.
            const std::uint32_t attributes = S_ISDIR(facts.st_mode) ? kFileAttributeDirectory : 0x80u;
            return FileInformation{attributes, static_cast<std::uint64_t>(facts.st_size)};
        }

        std::optional<std::uint32_t> read(std::uint8_t* buffer, std::uint32_t capacity) override
        {
            for (;;) {
                const ssize_t count = ::read(descriptor_, buffer, capacity);
                if (count >= 0)
                    return static_cast<std::uint32_t>(count);
                if (errno != EINTR)
                    return std::nullopt;
            }
        }

        std::uintptr_t handleValue() const override { return static_cast<std::uintptr_t>(descriptor_); }

    private:
        int descriptor_;
    };

    std::string root_;
};

}  // namespace zorvane::bench
