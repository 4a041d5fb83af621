#pragma once
// Staged files for the native tests: contents, directories, information and
// read failures, and a count of opens and of handles still open.

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/extractors/file_system.h"
#include "core/scan/process_collection.h"

namespace zorvane::fakes {

struct FakeFile {
    std::vector<std::uint8_t> bytes;
    bool directory = false;
    bool informationFails = false;
    // The size the information reports, when it differs from the bytes (a 4 GiB file).
    std::optional<std::uint64_t> reportedSize;
    // Reads after this many successful ones fail.
    std::optional<int> failReadsAfter;

    static FakeFile ofSize(std::size_t size, std::uint8_t fill = 0x5a)
    {
        FakeFile file;
        file.bytes.assign(size, fill);
        return file;
    }
    static FakeFile directoryEntry()
    {
        FakeFile file;
        file.directory = true;
        return file;
    }
};

class FakeFileSystem : public FileSystem {
public:
    // Stages a file under the path the scan knows it by.
    void add(const std::u16string& path, FakeFile file) { files[makeOpenPath(path)] = std::move(file); }

    // Keyed by the open path ("\\?\..." form).
    std::map<std::u16string, FakeFile> files;
    std::map<std::u16string, int> opens;
    std::function<void(const std::u16string&)> onOpen;  // called after each open is counted
    int openHandles = 0;

    int opensOf(const std::u16string& path) const
    {
        const auto it = opens.find(makeOpenPath(path));
        return it == opens.end() ? 0 : it->second;
    }

    std::unique_ptr<OpenFile> openForScan(const std::u16string& openPath) override
    {
        ++opens[openPath];
        if (onOpen)
            onOpen(openPath);
        const auto it = files.find(openPath);
        if (it == files.end())
            return nullptr;
        return std::make_unique<File>(*this, it->second, nextHandle_++);
    }

private:
    class File : public OpenFile {
    public:
        File(FakeFileSystem& system, const FakeFile& file, std::uintptr_t handle)
            : system_(system), file_(file), handle_(handle)
        {
            ++system_.openHandles;
        }
        ~File() override { --system_.openHandles; }

        std::optional<FileInformation> information() override
        {
            if (file_.informationFails)
                return std::nullopt;
            return FileInformation{file_.directory ? kFileAttributeDirectory : 0x20u,
                                   file_.reportedSize.value_or(file_.bytes.size())};
        }

        std::optional<std::uint32_t> read(std::uint8_t* buffer, std::uint32_t capacity) override
        {
            if (file_.failReadsAfter && reads_ >= *file_.failReadsAfter)
                return std::nullopt;
            ++reads_;
            const std::size_t left = file_.bytes.size() - offset_;
            const std::uint32_t count = static_cast<std::uint32_t>(left < capacity ? left : capacity);
            if (count > 0)
                std::memcpy(buffer, file_.bytes.data() + offset_, count);
            offset_ += count;
            return count;
        }

        std::uintptr_t handleValue() const override { return handle_; }

    private:
        FakeFileSystem& system_;
        const FakeFile& file_;
        std::uintptr_t handle_;
        std::size_t offset_ = 0;
        int reads_ = 0;
    };

    std::uintptr_t nextHandle_ = 100;
};

}  // namespace zorvane::fakes
