#include "client/extractors/version_resources_win32.h"

#include <windows.h>

#include <new>

#include "client/extractors/adapters.h"
#include "client/win32/fs_redirection.h"
#include "client/win32/wide.h"

namespace zorvane::client {

namespace {

class Win32VersionBlock : public VersionBlock {
public:
    Win32VersionBlock(std::unique_ptr<std::uint8_t[]> data, DWORD size) : data_(std::move(data)), size_(size) {}

    std::optional<FixedVersionInfo> fixedInformation() override
    {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(query(u"\\", sizeof(VS_FIXEDFILEINFO)));
        if (fixed == nullptr)
            return std::nullopt;
        return FixedVersionInfo{fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                                fixed->dwProductVersionLS};
    }

    std::vector<VersionTranslation> translations() override
    {
        UINT length = 0;
        const void* value = query(u"\\VarFileInfo\\Translation", 0, &length);
        std::vector<VersionTranslation> result;
        if (value == nullptr)
            return result;
        const auto* words = static_cast<const WORD*>(value);
        for (UINT entry = 0; entry < length / (2 * sizeof(WORD)); ++entry)
            result.push_back({words[2 * entry], words[2 * entry + 1]});
        return result;
    }

    std::optional<std::u16string> stringValue(const std::u16string& subBlock) override
    {
        // String lengths count wide characters.
        UINT length = 0;
        const void* value = query(subBlock, 0, &length, sizeof(wchar_t));
        if (value == nullptr)
            return std::nullopt;
        return win32::fromWide(static_cast<const wchar_t*>(value), length);
    }

private:
    // The value of a sub-block when it lies wholly inside the block and holds
    // at least `minimumBytes`; `unit` is the size of one counted length unit.
    const void* query(const std::u16string& subBlock, UINT minimumBytes, UINT* lengthOut = nullptr,
                      UINT unit = 1)
    {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.get(), win32::wide(subBlock), &value, &length) || value == nullptr)
            return nullptr;
        const auto begin = reinterpret_cast<std::uintptr_t>(value);
        const auto blockBegin = reinterpret_cast<std::uintptr_t>(data_.get());
        const std::uintptr_t blockEnd = blockBegin + size_;
        if (begin < blockBegin || begin > blockEnd)
            return nullptr;
        const std::uint64_t bytes = std::uint64_t{length} * unit;
        if (bytes < minimumBytes || bytes > blockEnd - begin)
            return nullptr;
        if (lengthOut != nullptr)
            *lengthOut = length;
        return value;
    }

    std::unique_ptr<std::uint8_t[]> data_;
    DWORD size_;
};

}  // namespace

std::unique_ptr<VersionBlock> Win32VersionResources::load(const std::u16string& path)
{
    const win32::RedirectionOff redirectionOff;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(win32::wide(path), &handle);
    if (size == 0)
        return nullptr;
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[size]);
    if (!data)
        return nullptr;
    if (!GetFileVersionInfoW(win32::wide(path), handle, size, data.get()))
        return nullptr;
    return std::make_unique<Win32VersionBlock>(std::move(data), size);
}

std::unique_ptr<VersionResources> makeVersionResources() { return std::make_unique<Win32VersionResources>(); }

}  // namespace zorvane::client
