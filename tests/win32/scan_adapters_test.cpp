// The scan's Win32 adapters against Wine's real processes and files.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "client/extractors/adapters.h"
#include "client/gui/frame.h"
#include "client/scan/adapters.h"
#include "client/scan/worker.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/string_ids.h"
#include "core/extractors/file_system.h"
#include "core/extractors/handle_info.h"
#include "core/extractors/info_extractor.h"
#include "core/extractors/path_operations.h"
#include "core/progress/progress.h"
#include "core/scan/process_collection.h"
#include "core/scan/process_system.h"
#include "protocol/base64url.h"
#include "protocol/form_fields.h"
#include "recording_server.h"

using namespace zorvane;

namespace {

std::u16string normalised(std::u16string path)
{
    client::processPathOperations().normalisePath(path);
    return path;
}

std::u16string moduleFile(HMODULE module)
{
    wchar_t name[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
    return win32::fromWide(name, length);
}

std::vector<std::u16string> splitAtCommas(const std::u16string& text)
{
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(u',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::u16string::npos)
            return parts;
        start = comma + 1;
    }
}

// MD5 and SHA-1 of the image data, by the system's own crypto provider.
class DigestProbe : public InfoExtractor {
public:
    DigestProbe() : InfoExtractor("probe")
    {
        CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    }
    ~DigestProbe() { CryptReleaseContext(provider_, 0); }

    void onImageBegin() override
    {
        ++begins;
        CryptCreateHash(provider_, CALG_MD5, 0, 0, &md5_);
        CryptCreateHash(provider_, CALG_SHA1, 0, 0, &sha1_);
    }
    void onImageData(const std::uint8_t* data, std::uint32_t count) override
    {
        blocks.push_back(count);
        CryptHashData(md5_, data, count, 0);
        CryptHashData(sha1_, data, count, 0);
    }
    void onImageEnd() override
    {
        ++ends;
        md5 = finish(md5_);
        sha1 = finish(sha1_);
    }
    void extract(const std::u16string&) override { ++extracts; }

    int extracts = 0, begins = 0, ends = 0;
    std::vector<std::uint32_t> blocks;
    std::string md5, sha1;

private:
    static std::string finish(HCRYPTHASH hash)
    {
        BYTE digest[20];
        DWORD length = sizeof digest;
        std::string hex;
        if (CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0))
            for (DWORD i = 0; i < length; ++i) {
                static const char kDigits[] = "0123456789abcdef";
                hex += kDigits[digest[i] >> 4];
                hex += kDigits[digest[i] & 15];
            }
        CryptDestroyHash(hash);
        return hex;
    }

    HCRYPTPROV provider_ = 0;
    HCRYPTHASH md5_ = 0, sha1_ = 0;
};

struct ReadRig {
    DigestProbe probe;
    HandleInfoExtractor handle;
    ProcessRecord record;
    std::unique_ptr<FileSystem> files = client::makeFileSystem();
    std::unique_ptr<ImageBlock> block = std::make_unique<ImageBlock>();

    void read(const std::u16string& path)
    {
        InfoExtractor* fileExtractors[] = {&probe};
        InfoExtractor* consumers[] = {&probe};
        handle.bind(&record);
        readImageFile({fileExtractors, handle, consumers}, *files, path, *block);
    }
};

// The host's path of a file in the Wine prefix.
std::optional<std::string> unixPathOf(const std::u16string& path)
{
    using Function = char*(CDECL*)(LPCWSTR);
    const auto function = reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!function)
        return std::nullopt;
    char* unixPath = function(win32::wide(path));
    if (!unixPath)
        return std::nullopt;
    std::string result(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

std::u16string temporaryFolder()
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    return win32::fromWide(folder, length);
}

// Runs a host tool (md5sum, sha1sum) on a host file and returns the first
// word it prints. Wine starts host programs but neither redirects their
// output nor lets a caller wait for them, so the tool writes a file under
// another name and renames it when done; the test polls for that file.
std::optional<std::string> hostDigest(const std::string& tool, const std::string& unixPath)
{
    const std::u16string folder = temporaryFolder();
    const auto unixFolder = unixPathOf(folder);
    if (!unixFolder)
        return std::nullopt;
    static int runs = 0;
    const std::string name = "zsc-" + tool + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++runs);
    const std::string result = *unixFolder + "/" + name;
    const std::string script = "/usr/bin/" + tool + " '" + unixPath + "' > '" + result + ".part' && mv '" + result +
                               ".part' '" + result + "'";
    std::wstring commandLine = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(L"Z:\\bin\\sh", buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return std::nullopt;
    win32::UniqueHandle process(info.hProcess), thread(info.hThread);

    const std::u16string resultPath = folder + widenLatin1(name);
    for (int waited = 0; waited < 60000 && GetFileAttributesW(win32::wide(resultPath)) == INVALID_FILE_ATTRIBUTES;
         waited += 50)
        Sleep(50);
    std::string digest;
    std::ifstream(narrowLatin1(resultPath)) >> digest;
    DeleteFileW(win32::wide(resultPath));
    return digest.empty() ? std::nullopt : std::optional(digest);
}

// A file in the temp folder, removed at the end of the test.
struct TemporaryFile {
    std::u16string path;

    explicit TemporaryFile(std::size_t size)
    {
        wchar_t folder[MAX_PATH], name[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"zsc", 0, name);
        path = win32::fromWide(name);
        win32::UniqueFileHandle file(
            CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(size), &written, nullptr);
    }
    ~TemporaryFile() { DeleteFileW(win32::wide(path)); }
};

}  // namespace

TEST(ScanProcessAdapter, OwnProcessAppearsWithItsImageAndALoadedModule)
{
    win32::UniqueLibrary loaded(LoadLibraryW(L"msacm32.dll"));
    ASSERT_TRUE(loaded);
    const std::u16string image = normalised(moduleFile(nullptr));
    const std::u16string module = normalised(moduleFile(loaded.get()));

    const auto system = client::makeProcessSystem();
    PathSet pathSet;
    ProcessesByImage byImage;
    enumerateProcesses(*system, client::processPathOperations(), pathSet, byImage);

    EXPECT_TRUE(pathSet.contains(image));
    EXPECT_TRUE(pathSet.contains(module));
    ASSERT_TRUE(byImage.contains(image)) << narrowLatin1(image);
    const auto& entries = byImage[image];
    const auto own = std::find_if(entries.begin(), entries.end(),
                                  [](const ProcessEntry& entry) { return entry.processId == GetCurrentProcessId(); });
    ASSERT_NE(own, entries.end());
    const auto modules = splitAtCommas(own->moduleList);
    EXPECT_NE(std::find(modules.begin(), modules.end(), module), modules.end()) << narrowLatin1(own->moduleList);
    EXPECT_EQ(std::find(modules.begin(), modules.end(), image), modules.end()) << "the image is not in its list";
    EXPECT_GT(byImage.size(), 2u) << "Wine's own processes are listed too";
}

TEST(ScanFileAdapter, RealFilesAreReadWholeAndMatchTheHostDigests)
{
    TemporaryFile twoBlocks(65537);
    for (const std::u16string& path : {std::u16string(u"C:\\windows\\system32\\notepad.exe"),
                                       std::u16string(u"C:\\windows\\system32\\kernel32.dll"), twoBlocks.path}) {
        SCOPED_TRACE(narrowLatin1(path));
        ReadRig rig;
        rig.read(path);
        ASSERT_EQ(rig.probe.begins, 1);
        ASSERT_EQ(rig.probe.ends, 1);

        const auto unixPath = unixPathOf(path);
        ASSERT_TRUE(unixPath);
        EXPECT_EQ(std::optional<std::string>(rig.probe.md5), hostDigest("md5sum", *unixPath));
        EXPECT_EQ(std::optional<std::string>(rig.probe.sha1), hostDigest("sha1sum", *unixPath));

        std::uint64_t total = 0;
        for (std::size_t i = 0; i < rig.probe.blocks.size(); ++i) {
            total += rig.probe.blocks[i];
            if (i + 1 < rig.probe.blocks.size()) {
                EXPECT_EQ(rig.probe.blocks[i], kImageBlockSize);
            }
        }
        EXPECT_EQ(rig.record[keys::kHandleFileSize], widenLatin1(std::to_string(total)));
    }
}

TEST(ScanFileAdapter, FileHeldForExclusiveWritingIsSkipped)
{
    TemporaryFile file(100);
    win32::UniqueFileHandle writer(
        CreateFileW(win32::wide(file.path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    ReadRig rig;
    rig.read(file.path);
    EXPECT_EQ(rig.probe.extracts, 1);
    EXPECT_EQ(rig.probe.begins, 0);
    EXPECT_FALSE(rig.record.contains(keys::kHandleFileSize));
}

TEST(ScanFileAdapter, DirectoryOpensButGetsNoImageEvents)
{
    ASSERT_TRUE(client::makeFileSystem()->openForScan(makeOpenPath(u"C:\\windows")));
    ReadRig rig;
    rig.read(u"C:\\windows");
    EXPECT_EQ(rig.probe.extracts, 1);
    EXPECT_EQ(rig.probe.begins, 0);
    EXPECT_FALSE(rig.record.contains(keys::kHandleFileSize));
}

TEST(ScanPrivileges, EnablesAHeldPrivilegeAndRefusesAnUnknownOne)
{
    const auto privileges = client::makePrivilegeSystem();
    EXPECT_FALSE(privileges->enablePrivilege(u"SeNoSuchPrivilege"));
    // Wine's token holds the backup privilege; a real non-administrator would not.
    EXPECT_TRUE(privileges->enablePrivilege(u"SeBackupPrivilege"));
}

TEST(ScanWorkerThread, ScansTheMachineToTheEndOfItsFilesAndSendsTheRecords)
{
    // The exchange goes to the loopback recording server, which refuses it.
    auto server = zorvane::testing::RecordingServer::attach();
    ASSERT_TRUE(server) << "the recording server of the ctest fixture is not running";
    RunSettings settings;
    settings.host = u"127.0.0.1";
    settings.port = server->port();
    const std::string prefix = server->prefix();
    settings.initialisePath = std::u16string(prefix.begin(), prefix.end()) + u"initialise";
    client::GuiCommon gui(GetModuleHandleW(nullptr), settings);

    EXPECT_EQ(client::scanThreadMain(&gui), 0u);
    const ProgressState& state = gui.progressView().state();
    EXPECT_GT(state.maximum.load(), 10) << "every module of every Wine process is a file to scan";
    EXPECT_FALSE(state.cancel.load());
    EXPECT_EQ(state.headlineTextId.load(), text::kGettingResults) << "the exchange ran";
    EXPECT_EQ(state.statusTextId.load(), text::kSendFailed) << "and failed with the server's 404";

    const auto requests = server->requests();
    ASSERT_TRUE(requests);
    ASSERT_EQ(requests->size(), 1u);
    const auto fields = protocol::parseBody((*requests)[0].body);
    ASSERT_TRUE(fields && fields->contains("md5s"));
    const auto digests = protocol::base64UrlDecode(fields->at("md5s"));
    ASSERT_TRUE(digests);
    EXPECT_EQ(digests->size() % 16, 0u);
    EXPECT_GE(static_cast<std::int32_t>(digests->size() / 16), state.maximum.load())
        << "every scanned file has at least one record";
}

TEST(ScanFileAdapter, InformationGivesTheAttributesAndSizeOfFilesAndDirectories)
{
    TemporaryFile file(70000);
    ASSERT_TRUE(SetFileAttributesW(win32::wide(file.path), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    const auto opened = client::makeFileSystem()->openForScan(makeOpenPath(file.path));
    ASSERT_TRUE(opened);
    const auto information = opened->information();
    SetFileAttributesW(win32::wide(file.path), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(information);
    EXPECT_EQ(information->size, 70000u);
    EXPECT_TRUE(information->attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(information->attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(opened->information()->size, 70000u) << "asked twice, answered alike";

    const auto directory = client::makeFileSystem()->openForScan(makeOpenPath(u"C:\\windows"));
    ASSERT_TRUE(directory);
    const auto directoryInformation = directory->information();
    ASSERT_TRUE(directoryInformation);
    EXPECT_TRUE(directoryInformation->attributes & FILE_ATTRIBUTE_DIRECTORY);
}
