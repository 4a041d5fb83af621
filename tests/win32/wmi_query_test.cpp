// The WMI adapter and the WMI extractor against Wine's WMI provider.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "client/extractors/adapters.h"
#include "client/extractors/wmi_query_win32.h"
#include "client/win32/unique.h"
#include "client/win32/unique_com.h"
#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/trace.h"
#include "core/extractors/path_operations.h"
#include "core/extractors/wmi_info.h"

using namespace zorvane;

namespace {

class SystemClock : public Clock {
public:
    std::uint32_t tickCount() override { return GetTickCount(); }
    std::uint64_t systemTimeAsFileTime() override
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    }
    void sleep(std::uint32_t milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

TEST(WmiQueryWine, AnswersTheFiveQueriesWithExactlyTheListedProperties)
{
    std::vector<std::u16string> traced;
    const TraceSink previous = setTraceSink([&](std::u16string_view text) { traced.emplace_back(text); });
    auto wmi = client::makeWmiQuery();
    const bool connected = wmi->connect();
    setTraceSink(previous);
    ASSERT_TRUE(connected);
    EXPECT_EQ(traced, std::vector<std::u16string>{u"Connected to ROOT\\CIMV2 WMI namespace"});

    const auto system = wmi->run(u"SELECT * FROM Win32_OperatingSystem", {u"Caption", u"Version", u"NoSuchProperty"});
    ASSERT_TRUE(system);
    ASSERT_FALSE(system->empty());
    EXPECT_FALSE(system->front().at(u"Caption").empty());
    EXPECT_EQ(system->front().at(u"NoSuchProperty"), u"") << "a missing property is present and empty";
    EXPECT_EQ(system->front().size(), 3u);

    const auto processes = wmi->run(u"SELECT * FROM Win32_Process", {u"ProcessId", u"Priority"});
    ASSERT_TRUE(processes);
    const std::u16string ownId = formatInt64(GetCurrentProcessId());
    EXPECT_TRUE(std::any_of(processes->begin(), processes->end(),
                            [&](const WmiObject& process) { return process.at(u"ProcessId") == ownId; }));

    EXPECT_TRUE(wmi->run(u"SELECT * FROM Win32_Processor", {u"Caption", u"ProcessorId"}));
    EXPECT_TRUE(wmi->run(u"SELECT * FROM Win32_StartupCommand", {u"Command"}));
    EXPECT_TRUE(wmi->run(u"SELECT * FROM Win32_DisplayConfiguration", {u"PelsWidth"}));

    EXPECT_FALSE(wmi->run(u"SELECT * FROM", {u"Caption"})) << "a query that cannot be run";
    EXPECT_EQ(wmi->currentProcessId(), GetCurrentProcessId());
}

TEST(WmiQueryWine, ScanWideTableHoldsTheSystemAndProcessor)
{
    auto wmi = client::makeWmiQuery();
    SystemClock clock;
    WMIInfoExtractor extractor(*wmi, client::processPathOperations(), clock);
    ASSERT_TRUE(extractor.collectScanWide());

    const auto& table = extractor.scanWideTable();
    for (const char16_t* name : {u"Caption", u"Version", u"TotalVisibleMemorySize", u"Processor"})
        EXPECT_FALSE(table.at(name).empty()) << narrowLatin1(name);
    EXPECT_EQ(table.at(u"ClientId").size(), 32u);
    EXPECT_EQ(table.at(u"ClientScanId").size(), 32u);

    ProcessRecord record;
    extractor.bind(&record);
    extractor.onProcess(GetCurrentProcessId());
    EXPECT_EQ(record[keys::kWmiProcessId], formatInt64(GetCurrentProcessId()));
    EXPECT_FALSE(record[keys::kWmiPriority].empty());

    // Wine reports no PeakWorkingSetSize: the object comes back with empty
    // text, which reads as not available.
    const std::int64_t peak = extractor.ownPeakWorkingSetSize();
    EXPECT_TRUE(peak == -1 || peak > 0) << peak;
}

TEST(WmiVariantText, ConvertsTheHandledTypesAndEmptiesTheRest)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I2;
    V_I2(&v) = -5;
    EXPECT_EQ(client::variantText(v), u"-5");
    V_VT(&v) = VT_I4;
    V_I4(&v) = -2147483647 - 1;
    EXPECT_EQ(client::variantText(v), u"-2147483648");
    V_VT(&v) = VT_INT;
    V_INT(&v) = 77;
    EXPECT_EQ(client::variantText(v), u"77");
    V_VT(&v) = VT_UI1;
    V_UI1(&v) = 200;
    EXPECT_EQ(client::variantText(v), u"200");
    V_VT(&v) = VT_DATE;
    V_DATE(&v) = 1.5;
    EXPECT_EQ(client::variantText(v), u"1.500000");
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = VARIANT_TRUE;
    EXPECT_EQ(client::variantText(v), u"True");
    V_BOOL(&v) = VARIANT_FALSE;
    EXPECT_EQ(client::variantText(v), u"False");
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = nullptr;
    EXPECT_EQ(client::variantText(v), u"");
    for (VARTYPE type : {VT_EMPTY, VT_NULL, VT_R8, VT_UI4, VT_I8}) {
        V_VT(&v) = type;
        V_I8(&v) = 12345;
        EXPECT_EQ(client::variantText(v), u"") << "type " << type;
    }
    win32::UniqueVariant text;
    V_VT(text.get()) = VT_BSTR;
    V_BSTR(text.get()) = SysAllocString(L"Microsoft Windows 7 Professional");
    EXPECT_EQ(client::variantText(*text), u"Microsoft Windows 7 Professional");
}

TEST(WmiQueryWine, StartupCommandOfARunEntryIsResolvedWhenWmiReportsIt)
{
    const wchar_t* runKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const wchar_t command[] = L"C:\\windows\\system32\\notepad.exe /zorvane";
    win32::UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, runKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"ZorvaneStartupTest", 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                             sizeof command),
              ERROR_SUCCESS);
    struct Removal {
        HKEY key;
        ~Removal() { RegDeleteValueW(key, L"ZorvaneStartupTest"); }
    } removal{key.get()};

    auto wmi = client::makeWmiQuery();
    SystemClock clock;
    WMIInfoExtractor extractor(*wmi, client::processPathOperations(), clock);
    ASSERT_TRUE(extractor.collectScanWide());
    const auto startup = wmi->run(u"SELECT * FROM Win32_StartupCommand", {u"Command"});
    ASSERT_TRUE(startup);
    if (startup->empty())
        GTEST_SKIP() << "Wine's WMI reports no startup commands; the resolution is covered by the native tests";

    const std::u16string notepad = u"C:\\windows\\system32\\notepad.exe";
    EXPECT_EQ(extractor.extraFiles().count(notepad), 1u);
    ProcessRecord record;
    extractor.bind(&record);
    extractor.extract(notepad);
    EXPECT_EQ(record[keys::kWmiUserUsedForStartup], u"2");
}
