// The browser program from the registry, and the frame's results address,
// in this process under Wine.
#include <gtest/gtest.h>

#include "support.h"

#include <optional>
#include <string>

#include "client/gui/browser.h"
#include "client/gui/frame.h"

using namespace zorvane;

namespace {

const wchar_t* const kCommandKey = L"Software\\Classes\\http\\shell\\open\\command";

// Sets the "http" open command for one test and puts the previous one back.
class RegisteredCommand {
public:
    RegisteredCommand()
    {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCommandKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key_.put(),
                        nullptr);
        wchar_t value[2048];
        DWORD size = sizeof value;
        DWORD type = 0;
        if (RegQueryValueExW(key_.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
            ERROR_SUCCESS)
            previous_ = std::wstring(value, size / sizeof(wchar_t));
    }
    ~RegisteredCommand()
    {
        if (previous_)
            RegSetValueExW(key_.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(previous_->data()),
                           static_cast<DWORD>(previous_->size() * sizeof(wchar_t)));
        else
            RegDeleteValueW(key_.get(), nullptr);
    }
    bool ok() const { return static_cast<bool>(key_); }
    void set(const std::wstring& command)
    {
        RegSetValueExW(key_.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }

private:
    win32::UniqueKey key_;
    std::optional<std::wstring> previous_;
};

}  // namespace

TEST(BrowserRegistry, ProgramComesFromTheRegisteredCommand)
{
    RegisteredCommand command;
    ASSERT_TRUE(command.ok());
    command.set(L"\"C:\\Program Files\\Web Browser\\browser.exe\" -url \"%1\"");
    EXPECT_EQ(client::defaultBrowserProgram(), u"C:\\Program Files\\Web Browser\\browser.exe");
    command.set(L"C:\\windows\\winebrowser.exe -nohome");
    EXPECT_EQ(client::defaultBrowserProgram(), u"C:\\windows\\winebrowser.exe");
    command.set(L"");
    EXPECT_EQ(client::defaultBrowserProgram(), u"");
}

TEST(BrowserRegistry, CommandTooLongForItsBufferFallsBackInsteadOfBeingCut)
{
    RegisteredCommand command;
    ASSERT_TRUE(command.ok());
    const std::wstring folder(140, L'x');
    command.set(L"\"C:\\" + folder + L"\\browser.exe\" %1");
    EXPECT_EQ(client::defaultBrowserProgram(), u"iexplore.exe");
    // 129 characters and the terminator fill the 130 exactly.
    const std::wstring fits = L"C:\\" + std::wstring(122, L'y') + L".exe";
    ASSERT_EQ(fits.size(), 129u);
    command.set(fits);
    EXPECT_EQ(client::defaultBrowserProgram(), std::u16string(fits.begin(), fits.end()));
}

TEST(ResultsAddress, KeptInFullUpToItsBufferAndRefusedBeyond)
{
    const std::u16string longAddress = u"http://127.0.0.1/results/" + std::u16string(900, u'a');
    client::GuiCommon gui(GetModuleHandleW(nullptr), RunSettings{});
    gui.frameNotifier().storeResultsAddress(longAddress);
    EXPECT_EQ(std::u16string(gui.resultsAddress()), longAddress) << "longer than the display text, kept whole";

    gui.frameNotifier().storeResultsAddress(u"http://127.0.0.1/" + std::u16string(1007, u'b'));
    EXPECT_EQ(std::u16string(gui.resultsAddress()), u"") << "1024 characters do not fit with the terminator";
}
