// The registry reader over the real registry. Keys are opened with KEY_READ:
// the walk only reads, and keys that grant administrators read access alone
// must not be skipped. On 64-bit Windows a view is named with
// KEY_WOW64_64KEY or KEY_WOW64_32KEY; Windows 2000 knows neither flag, so
// they are only ever passed where the system is 64-bit.
#include <windows.h>

#include "client/extractors/adapters.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/extractors/registry_info.h"

namespace zorvane::client {

namespace {

// Registry limits: 255 characters for a key name, 16383 for a value name.
constexpr DWORD kKeyNameCapacity = 256;
constexpr DWORD kValueNameCapacity = 16384;
// The largest value read. A larger one is refused as a buffer of this size
// would refuse it: anyone may write a huge value under a user's classes,
// which the elevated scan would otherwise copy and resolve as a command.
constexpr DWORD kValueCapacity = 32766;

HKEY rootKey(RegistryRoot root) { return root == RegistryRoot::ClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE; }

REGSAM viewFlag(RegistryView view)
{
    switch (view) {
    case RegistryView::Bits64:
        return KEY_WOW64_64KEY;
    case RegistryView::Bits32:
        return KEY_WOW64_32KEY;
    case RegistryView::Own:
        break;
    }
    return 0;
}

bool systemIs64Bit()
{
#if defined(_WIN64)
    return true;
#else
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64 =
        win32::procedure<IsWow64ProcessFunction>(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
#endif
}

// An open key; the handle is closed when the key is destroyed.
class RegistryKeyWin32 : public RegistryKey {
public:
    explicit RegistryKeyWin32(HKEY key) : key_(key) {}

    std::int32_t queryInfo(std::uint32_t& subkeyCount, std::uint32_t& valueCount) override
    {
        DWORD subkeys = 0;
        DWORD values = 0;
        const LONG status = RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                             &values, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS) {
            subkeyCount = subkeys;
            valueCount = values;
        }
        return status;
    }

    std::int32_t enumerateSubkey(std::uint32_t index, std::u16string& name) override
    {
        wchar_t buffer[kKeyNameCapacity];
        DWORD length = kKeyNameCapacity;
        const LONG status = RegEnumKeyExW(key_.get(), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS)
            name = win32::fromWide(buffer, length);
        return status;
    }

    std::int32_t enumerateValue(std::uint32_t index, std::u16string& name) override
    {
        std::u16string buffer(kValueNameCapacity, u'\0');
        DWORD length = kValueNameCapacity;
        const LONG status = RegEnumValueW(key_.get(), index, win32::wide(buffer.data()), &length, nullptr, nullptr,
                                          nullptr, nullptr);
        if (status == ERROR_SUCCESS) {
            buffer.resize(length);
            name = std::move(buffer);
        }
        return status;
    }

    std::int32_t queryValue(const std::u16string& name, RegistryValue& value) override
    {
        // The size may grow between the two calls; ask again while it does.
        for (;;) {
            DWORD type = 0;
            DWORD size = 0;
            LONG status = RegQueryValueExW(key_.get(), win32::wide(name), nullptr, &type, nullptr, &size);
            if (status != ERROR_SUCCESS)
                return status;
            if (size > kValueCapacity)
                return ERROR_MORE_DATA;
            std::vector<std::uint8_t> data(size);
            status = RegQueryValueExW(key_.get(), win32::wide(name), nullptr, &type, data.data(), &size);
            if (status == ERROR_MORE_DATA)
                continue;
            if (status != ERROR_SUCCESS)
                return status;
            data.resize(size);
            value.type = type;
            value.data = std::move(data);
            return ERROR_SUCCESS;
        }
    }

private:
    win32::UniqueKey key_;
};

class RegistryReaderWin32 : public RegistryReader {
public:
    std::vector<RegistryView> redirectedViews() override
    {
        if (systemIs64Bit())
            return {RegistryView::Bits64, RegistryView::Bits32};
        return {RegistryView::Own};
    }

    std::unique_ptr<RegistryKey> open(RegistryRoot root, const std::u16string& path, RegistryView view,
                                      std::int32_t& status) override
    {
        HKEY opened = nullptr;
        status = RegOpenKeyExW(rootKey(root), win32::wide(path), 0, KEY_READ | viewFlag(view), &opened);
        if (status != ERROR_SUCCESS)
            return nullptr;
        return std::make_unique<RegistryKeyWin32>(opened);
    }

    std::u16string systemMessage(std::int32_t status) override
    {
        wchar_t* text = nullptr;
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                                FORMAT_MESSAGE_IGNORE_INSERTS,
                                            nullptr,
                                            static_cast<DWORD>(status), 0x400, reinterpret_cast<wchar_t*>(&text),
                                            0, nullptr);
        const win32::UniqueLocal owner(text);
        return length > 0 && text ? win32::fromWide(text, length) : std::u16string();
    }
};

}  // namespace

std::unique_ptr<RegistryReader> makeRegistryReader() { return std::make_unique<RegistryReaderWin32>(); }

}  // namespace zorvane::client
