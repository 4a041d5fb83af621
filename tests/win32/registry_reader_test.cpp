// The registry extractor over the real registry reader, against Wine's registry.
// The tests write their own service keys and shell extension and remove them.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <shlwapi.h>

#include <vector>

#include "client/extractors/adapters.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/extractors/path_operations.h"
#include "core/extractors/registry_info.h"

using namespace zorvane;

namespace {

const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services";
const std::wstring kApproved = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const std::wstring kClassId = L"{5A0B7C3E-1D2F-4E6A-9B8C-7D6E5F4A3B21}";

// Opens or creates a key for the test. On destruction a key the test created
// is deleted with everything below it; of a key that existed, only the values
// the test wrote are deleted.
class TemporaryKey {
public:
    TemporaryKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path))
    {
        DWORD disposition = 0;
        ok_ = RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(),
                              &disposition) == ERROR_SUCCESS;
        created_ = ok_ && disposition == REG_CREATED_NEW_KEY;
    }
    ~TemporaryKey()
    {
        if (readOnly_) {
            key_.reset();
            RegOpenKeyExW(root_, path_.c_str(), 0, WRITE_DAC, key_.put());
            setAccess(L"D:P(A;;KA;;;WD)");
        }
        if (!created_) {
            for (const auto& name : written_)
                RegDeleteValueW(key_.get(), name.empty() ? nullptr : name.c_str());
            return;
        }
        key_.reset();
        SHDeleteKeyW(root_, path_.c_str());
        RegDeleteKeyW(root_, path_.c_str());
    }
    bool ok() const { return ok_; }
    // Writes `text` with its terminating zero, or without it.
    void setText(const wchar_t* name, DWORD type, const std::wstring& text, bool terminated = true)
    {
        const DWORD bytes = static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
        written_.emplace_back(name ? name : L"");
        RegSetValueExW(key_.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
    }
    void setDword(const wchar_t* name, DWORD value)
    {
        written_.emplace_back(name);
        RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }

    // Leaves everyone, administrators included, only read access to the key.
    bool makeReadOnly()
    {
        readOnly_ = setAccess(L"D:P(A;;KR;;;WD)");
        return readOnly_;
    }

private:
    bool setAccess(const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            return false;
        const win32::UniqueLocal owner(descriptor);
        return RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    }

    HKEY root_;
    std::wstring path_;
    win32::UniqueKey key_;
    std::vector<std::wstring> written_;
    bool ok_ = false;
    bool created_ = false;
    bool readOnly_ = false;
};

std::u16string u16(const std::wstring& text) { return win32::fromWide(text.c_str(), text.size()); }

}  // namespace

TEST(RegistryInfoWine, FindsTestServicesAndAnApprovedExtension)
{
    const std::wstring notepad = L"C:\\windows\\system32\\notepad.exe";
    TemporaryKey first(HKEY_LOCAL_MACHINE, kServices + L"\\ZorvaneTestA");
    TemporaryKey second(HKEY_LOCAL_MACHINE, kServices + L"\\ZorvaneTestB");
    TemporaryKey readOnly(HKEY_LOCAL_MACHINE, kServices + L"\\ZorvaneTestC");
    TemporaryKey classKey(HKEY_CLASSES_ROOT, L"CLSID\\" + kClassId);
    TemporaryKey inproc(HKEY_CLASSES_ROOT, L"CLSID\\" + kClassId + L"\\InprocServer32");
    TemporaryKey approved(HKEY_LOCAL_MACHINE, kApproved);
    ASSERT_TRUE(first.ok() && second.ok() && inproc.ok() && approved.ok());
    first.setText(L"ImagePath", REG_EXPAND_SZ, L"\"" + notepad + L"\" -k zorvane");
    first.setText(L"DisplayName", REG_SZ, L"Zorvane Test A");
    first.setText(L"Description", REG_SZ, L"first");
    first.setText(L"DependOnService", REG_MULTI_SZ, std::wstring(L"RpcSs\0PlugPlay\0", 15));
    second.setText(L"ImagePath", REG_EXPAND_SZ, L"%SystemRoot%\\system32\\notepad.exe -k other");
    second.setText(L"DisplayName", REG_SZ, L"Zorvane Test B", false);
    second.setDword(L"Description", 7);
    inproc.setText(nullptr, REG_SZ, L"C:\\windows\\system32\\shell32.dll");
    approved.setText(kClassId.c_str(), REG_SZ, L"Zorvane test extension");
    readOnly.setText(L"ImagePath", REG_EXPAND_SZ, L"C:\\windows\\system32\\cmd.exe /c");
    readOnly.setText(L"DisplayName", REG_SZ, L"Zorvane read-only service");
    ASSERT_TRUE(readOnly.makeReadOnly());
    win32::UniqueKey probe;
    const LONG fullAccess = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kServices + L"\\ZorvaneTestC").c_str(), 0,
                                          KEY_ALL_ACCESS, probe.put());
    EXPECT_EQ(fullAccess, ERROR_ACCESS_DENIED) << "the key grants read access only";

    auto registry = client::makeRegistryReader();
    RegistryInfoExtractor extractor(*registry, client::processPathOperations());

    const std::u16string location = u"CLSID\\" + u16(kClassId) + u"\\InprocServer32";
    const RegistryInfoExtractor::Item* services = nullptr;
    const RegistryInfoExtractor::Item* extension = nullptr;
    for (const auto& [path, entry] : extractor.fileIndex()) {
        const auto found = entry.find(u"Location");
        if (found == entry.end())
            continue;
        if (found->second.find(u"ZorvaneTestA") != std::u16string::npos) {
            services = &entry;
            EXPECT_EQ(narrowLatin1(path), "C:\\windows\\system32\\notepad.exe");
        }
        if (found->second == location) {
            extension = &entry;
            EXPECT_EQ(narrowLatin1(path), "C:\\windows\\system32\\shell32.dll");
        }
    }
    ASSERT_NE(services, nullptr);
    EXPECT_EQ(services->at(u"Location"),
              u"SYSTEM\\CurrentControlSet\\Services\\ZorvaneTestA;SYSTEM\\CurrentControlSet\\Services\\ZorvaneTestB");
    EXPECT_EQ(services->at(u"DisplayName"), u"Zorvane Test A;Zorvane Test B");
    EXPECT_EQ(services->at(u"Description"), u"first") << "a number under a listed name is left out";
    EXPECT_EQ(services->at(u"DependOnService"), u"RpcSs");
    ASSERT_NE(extension, nullptr);

    ProcessRecord record;
    extractor.bind(&record);
    extractor.extract(u"C:\\windows\\system32\\shell32.dll");
    EXPECT_EQ(record[keys::kRegLocation], location);

    ProcessRecord readOnlyRecord;
    extractor.bind(&readOnlyRecord);
    extractor.extract(u"C:\\windows\\system32\\cmd.exe");
    EXPECT_EQ(readOnlyRecord[keys::kRegDisplayName], u"Zorvane read-only service")
        << "a key that grants only read access is still walked";

    EXPECT_FALSE(registry->systemMessage(ERROR_FILE_NOT_FOUND).empty());
}

TEST(RegistryReaderWine, ValuesPastTheValueBufferAreRefusedAndMessagesKeepTheirInserts)
{
    TemporaryKey key(HKEY_LOCAL_MACHINE, kServices + L"\\ZorvaneTestSizes");
    ASSERT_TRUE(key.ok());
    const std::wstring fits(32766 / sizeof(wchar_t) - 1, L'f');  // 32766 bytes with its zero
    key.setText(L"Fits", REG_SZ, fits);
    key.setText(L"TooLong", REG_SZ, fits + L"x");

    auto registry = client::makeRegistryReader();
    std::int32_t status = -1;
    const auto opened =
        registry->open(RegistryRoot::LocalMachine, u16(kServices + L"\\ZorvaneTestSizes"), RegistryView::Own, status);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS);
    RegistryValue value;
    EXPECT_EQ(opened->queryValue(u"Fits", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data.size(), 32766u);
    RegistryValue refused;
    EXPECT_EQ(opened->queryValue(u"TooLong", refused), ERROR_MORE_DATA);
    EXPECT_TRUE(refused.data.empty());

    // "%1 is not a valid Win32 application." has an insert and no arguments.
    EXPECT_NE(registry->systemMessage(ERROR_BAD_EXE_FORMAT).find(u"%1"), std::u16string::npos);
}
