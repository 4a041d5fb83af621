// The wizard through its real windows under Wine and the virtual display:
// zorvane.exe for the start page, and wizard_host (the same frame and pages
// with a staged worker) for the scan, result and closing paths.
#include <gtest/gtest.h>

#include "client/resources/resource.h"
#include "client/win32/unique.h"
#include "fault_support.h"
#include "recording_server.h"
#include "support.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

using namespace zorvane::testing;

namespace {

constexpr DWORD kStartMs = 30000;
// "Ends within 7.5 s" is checked with a generous bound: the tests share
// slow machines, and this is no speed measurement.
constexpr DWORD kEndMs = 30000;

const wchar_t* const kClosingTitle = L"Zorvane - Closing Zorvane - Please Wait...";

bool visible(HWND window) { return window != nullptr && IsWindowVisible(window); }

std::wstring titleOf(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

std::wstring environment(const wchar_t* name)
{
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? value : L"";
}

bool writeText(const std::wstring& path, const std::string& text)
{
    zorvane::win32::UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// Whether the screen shows `colour` somewhere in the window's area; the
// check is repeated while the window paints.
bool showsColour(HWND window, COLORREF colour)
{
    const DWORD wanted = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    return waitFor(
        [&] {
            RECT area{};
            if (!GetWindowRect(window, &area))
                return false;
            const int width = area.right - area.left;
            const int height = area.bottom - area.top;
            HDC screen = GetDC(nullptr);
            HDC memory = CreateCompatibleDC(screen);
            BITMAPINFO info{};
            info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
            void* bits = nullptr;
            zorvane::win32::UniqueGdiObject image(CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
            bool found = false;
            if (image) {
                const HGDIOBJ previous = SelectObject(memory, image.get());
                BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
                SelectObject(memory, previous);
                const auto* pixels = static_cast<const DWORD*>(bits);
                for (int i = 0; i < width * height && !found; ++i)
                    found = (pixels[i] & 0xFFFFFF) == wanted;
            }
            DeleteDC(memory);
            ReleaseDC(nullptr, screen);
            return found;
        },
        10000);
}

constexpr COLORREF kPageColour = RGB(248, 248, 246);
constexpr COLORREF kBlack = RGB(0, 0, 0);

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Asks the screenshot watcher (tests/win32/screenshot-watcher.sh, started
// around the test run) for a picture of the frame, saved as
// <build>/artifacts/<name>.png. Without a watcher nothing is taken; a
// screenshot never decides a test.
void screenshot(const std::wstring& name, HWND frame)
{
    std::wstring directory = zorvaneExe();
    directory.resize(directory.find_last_of(L"\\/"));
    directory += L"\\artifacts\\";
    if (GetFileAttributesW((directory + L"watcher.pid").c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("no screenshot watcher: %ls not taken\n", name.c_str());
        return;
    }
    RECT area{};
    GetWindowRect(frame, &area);
    const std::string request = narrow(environment(L"DISPLAY")) + "\n" + narrow(environment(L"XAUTHORITY")) + "\n" +
                                std::to_string(area.right - area.left) + "x" + std::to_string(area.bottom - area.top) +
                                "+" + std::to_string(area.left) + "+" + std::to_string(area.top) + "\n";
    const std::wstring done = directory + name + L".done";
    DeleteFileW(done.c_str());
    const std::wstring staged = directory + name + L".tmp";
    if (!writeText(staged, request) ||
        !MoveFileExW(staged.c_str(), (directory + name + L".request").c_str(), MOVEFILE_REPLACE_EXISTING))
        return;
    if (!waitFor([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000))
        std::printf("screenshot %ls was not taken in time\n", name.c_str());
}

// A running wizard and its frame; the program is ended if a test fails
// before it does.
struct Wizard {
    RunningProgram program;
    HWND frame = nullptr;

    ~Wizard() { stopProgram(program); }

    bool start(const std::wstring& exe, const std::wstring& arguments)
    {
        auto started = startProgram(exe, arguments);
        if (!started)
            return false;
        program = std::move(*started);
        frame = waitForWindow(program.processId, L"#32770", L"Zorvane", kStartMs);
        if (frame == nullptr)
            return false;
        // Out of the way of other programs' windows, which open top left.
        RECT area{};
        GetWindowRect(frame, &area);
        SetWindowPos(frame, HWND_TOPMOST, GetSystemMetrics(SM_CXSCREEN) - (area.right - area.left),
                     GetSystemMetrics(SM_CYSCREEN) - (area.bottom - area.top), 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        return true;
    }

    HWND control(int pageControl, int id) const { return GetDlgItem(pageWith(frame, pageControl), id); }

    // BM_CLICK through the dialog's own button, as a user's click would.
    void click(int pageControl, int id) const
    {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(control(pageControl, id), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &result);
    }

    bool progressShown() const
    {
        return waitFor([&] { return visible(pageWith(frame, IDC_PROGRESS_BAR)); }, kStartMs);
    }

    bool startPageShown() const
    {
        return waitFor([&] { return visible(pageWith(frame, IDC_START_BUTTON)); }, kStartMs);
    }

    // Esc, as the dialog manager hands it to the frame; the exit code.
    std::optional<DWORD> escape() const
    {
        PostMessageW(frame, WM_COMMAND, IDCANCEL, 0);
        return waitForExit(program, kEndMs);
    }

    // The result page once it shows, or null.
    HWND resultPage() const
    {
        HWND page = nullptr;
        const bool shown = waitFor(
            [&] {
                page = pageWith(frame, IDC_RESULT_ADDRESS);
                return visible(page);
            },
            kEndMs);
        return shown ? page : nullptr;
    }

    // Clicks Start once the start page shows; true when the progress page
    // follows.
    bool startScan() const
    {
        if (!startPageShown())
            return false;
        click(IDC_START_BUTTON, IDC_START_BUTTON);
        return progressShown();
    }
};

std::wstring wizardHost() { return testProgram(L"wizard_host"); }

// The command registered for "http" addresses, replaced for one test and
// put back afterwards.
class HttpOpenCommand {
public:
    explicit HttpOpenCommand(const std::wstring& command)
    {
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key_.put(), nullptr) != ERROR_SUCCESS)
            return;
        wchar_t previous[1024] = {};
        DWORD size = sizeof previous - sizeof(wchar_t);
        if (RegQueryValueExW(key_.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(previous), &size) ==
            ERROR_SUCCESS)
            previous_ = previous;
        ok_ = set(command);
    }
    ~HttpOpenCommand()
    {
        if (previous_)
            set(*previous_);
    }
    bool ok() const { return ok_; }

private:
    bool set(const std::wstring& command)
    {
        return RegSetValueExW(key_.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                              static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    zorvane::win32::UniqueKey key_;
    std::optional<std::wstring> previous_;
    bool ok_ = false;
};

// How many times the launch recorder ran: one line each.
std::size_t launches(const std::wstring& marker)
{
    zorvane::win32::UniqueFileHandle file(CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 0;
    std::wstring text(4096, L'\0');
    DWORD read = 0;
    ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    text.resize(read / sizeof(wchar_t));
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), L'\n'));
}

}  // namespace

TEST(WizardWindow, ProgramOpensOnTheStartPageWithStartEnabled)
{
    Wizard wizard;
    ASSERT_TRUE(wizard.start(zorvaneExe(), L"/nobrowser /host=127.0.0.1 /port=9"));
    EXPECT_EQ(titleOf(wizard.frame), L"Zorvane");
    ASSERT_TRUE(wizard.startPageShown());
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_PROGRESS_BAR)));
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_RESULT_ADDRESS)));

    HWND start = wizard.control(IDC_START_BUTTON, IDC_START_BUTTON);
    EXPECT_TRUE(visible(start));
    EXPECT_TRUE(IsWindowEnabled(start)) << "the hidden check box does not hold the button back";
    for (int hidden : {IDC_START_PROCESSES, IDC_START_ACCEPT, IDC_START_LICENSE})
        EXPECT_FALSE(visible(wizard.control(IDC_START_BUTTON, hidden))) << hidden;

    EXPECT_TRUE(showsColour(wizard.frame, RGB(236, 233, 216))) << "dialog colour";
    EXPECT_TRUE(showsColour(wizard.control(IDC_START_BUTTON, IDC_START_TITLE), RGB(0, 44, 119))) << "title style";
    EXPECT_TRUE(showsColour(wizard.control(IDC_START_BUTTON, IDC_START_TITLE), kPageColour));
    EXPECT_TRUE(showsColour(wizard.control(IDC_START_BUTTON, IDC_START_WELCOME), kBlack)) << "body style";
    EXPECT_TRUE(showsColour(wizard.control(IDC_START_BUTTON, IDC_START_CLICK), kBlack)) << "bold style";

    screenshot(L"start", wizard.frame);
    EXPECT_EQ(wizard.escape(), std::optional<DWORD>(0));
}

TEST(WizardWindow, RealScanSetsTheRangeAndAdvancesTheBar)
{
    Wizard wizard;
    ASSERT_TRUE(wizard.start(zorvaneExe(), L"/nobrowser /host=127.0.0.1 /port=9"));
    ASSERT_TRUE(wizard.startScan());
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_START_BUTTON)));
    // The worker sets the range to the number of files, then steps.
    HWND bar = wizard.control(IDC_PROGRESS_BAR, IDC_PROGRESS_BAR);
    EXPECT_TRUE(waitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > 0; }, kEndMs));
    EXPECT_GT(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 0);
    EXPECT_EQ(wizard.escape(), std::optional<DWORD>(0));
}

TEST(WizardWindow, RefusedExchangeOfTheRealProgramKeepsTheProgressPageDespiteSkipfast)
{
    // Nothing is scripted, so the recording server refuses the initialise
    // request and the exchange fails.
    auto server = RecordingServer::attach();
    ASSERT_TRUE(server) << "the recording server of the ctest fixture is not running";
    const std::string prefix = server->prefix();
    Wizard wizard;
    ASSERT_TRUE(wizard.start(zorvaneExe(), L"/skipfast /nobrowser /host=127.0.0.1 /port=" +
                                               std::to_wstring(server->port()) + L" /md5path=" +
                                               std::wstring(prefix.begin(), prefix.end()) + L"initialise"));
    ASSERT_TRUE(wizard.progressShown()) << "the scan starts without a click";
    ASSERT_TRUE(waitFor(
        [&] {
            const auto requests = server->requests();
            return requests && !requests->empty();
        },
        kEndMs))
        << "the scan reaches the exchange";
    Sleep(1500);
    EXPECT_TRUE(visible(pageWith(wizard.frame, IDC_PROGRESS_BAR)));
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_RESULT_ADDRESS)));
    EXPECT_EQ(waitForExit(wizard.program, 0), std::nullopt) << "a failed exchange does not close the program";
    EXPECT_TRUE(showsColour(wizard.control(IDC_PROGRESS_BAR, IDC_PROGRESS_STATUS), kBlack)) << "the status line shows kSendFailed";
    screenshot(L"failed-exchange", wizard.frame);
    EXPECT_EQ(wizard.escape(), std::optional<DWORD>(0));
}

TEST(WizardWindow, StartShowsTheAdvancingBarThenTheResultPage)
{
    Wizard wizard;
    ASSERT_TRUE(wizard.start(wizardHost(), L"/nobrowser /stage=scan"));
    ASSERT_TRUE(wizard.startScan());
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_START_BUTTON)));
    HWND bar = wizard.control(IDC_PROGRESS_BAR, IDC_PROGRESS_BAR);
    EXPECT_TRUE(waitFor([&] { return SendMessageW(bar, PBM_GETRANGE, FALSE, 0) == 70000; }, kStartMs))
        << "the maximum is carried beyond 16 bits";
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
    const LRESULT first = SendMessageW(bar, PBM_GETPOS, 0, 0);
    EXPECT_TRUE(waitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > first; }, kStartMs));
    EXPECT_TRUE(waitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) >= 20000; }, kStartMs));
    screenshot(L"progress", wizard.frame);
    EXPECT_TRUE(showsColour(bar, RGB(62, 160, 0))) << "bar colour";
    EXPECT_TRUE(showsColour(bar, kPageColour)) << "bar background";
    EXPECT_TRUE(showsColour(wizard.control(IDC_PROGRESS_BAR, IDC_PROGRESS_HEADLINE), kBlack)) << "headline";
    EXPECT_TRUE(showsColour(wizard.control(IDC_PROGRESS_BAR, IDC_PROGRESS_STATUS), kBlack)) << "status";

    HWND result = wizard.resultPage();
    ASSERT_NE(result, nullptr);
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_PROGRESS_BAR)));
    EXPECT_TRUE(visible(GetDlgItem(result, IDC_RESULT_CLOSE)));
    EXPECT_TRUE(visible(GetDlgItem(result, IDC_RESULT_ADDRESS)));
    EXPECT_FALSE(visible(GetDlgItem(result, IDC_RESULT_BACK)));
    EXPECT_TRUE(showsColour(GetDlgItem(result, IDC_RESULT_ADDRESS), RGB(0, 0, 255))) << "link style";
    EXPECT_TRUE(showsColour(GetDlgItem(result, IDC_RESULT_REPORT), kBlack));
    screenshot(L"result", wizard.frame);

    wizard.click(IDC_RESULT_ADDRESS, IDC_RESULT_CLOSE);
    EXPECT_EQ(waitForExit(wizard.program, kEndMs), std::optional<DWORD>(0));
}

TEST(WizardWindow, ADoubleClickOnTheAddressOpensTheResultsOnce)
{
    const std::wstring marker = launchRecorderMarker(L"address-button");
    HttpOpenCommand browser(L"\"" + launchRecorderPath() + L"\" \"%1\"");
    ASSERT_TRUE(browser.ok());
    Wizard wizard;
    ASSERT_TRUE(wizard.start(wizardHost(), L"/nobrowser /stage=scan"));
    ASSERT_TRUE(wizard.startScan());
    HWND result = wizard.resultPage();
    ASSERT_NE(result, nullptr);

    // What a double click on the owner-drawn button reports: the click,
    // then the double click.
    const auto button = reinterpret_cast<LPARAM>(GetDlgItem(result, IDC_RESULT_ADDRESS));
    SendMessageW(result, WM_COMMAND, MAKEWPARAM(IDC_RESULT_ADDRESS, BN_CLICKED), button);
    SendMessageW(result, WM_COMMAND, MAKEWPARAM(IDC_RESULT_ADDRESS, BN_DOUBLECLICKED), button);
    EXPECT_TRUE(waitFor([&] { return launchRecorded(marker); }, kEndMs)) << "the click opens the results";
    Sleep(2000);
    EXPECT_EQ(launches(marker), 1u);

    wizard.click(IDC_RESULT_ADDRESS, IDC_RESULT_CLOSE);
    EXPECT_EQ(waitForExit(wizard.program, kEndMs), std::optional<DWORD>(0));
}

TEST(WizardWindow, EscAndTheCloseBoxDuringAScanEndTheProgramAfterTheWait)
{
    for (const UINT message : {UINT(WM_COMMAND), UINT(WM_CLOSE)}) {
        SCOPED_TRACE(message == WM_CLOSE ? "close box" : "Esc");
        Wizard wizard;
        // The staged worker never ends, so the frame waits its full time
        // and then ends the thread.
        ASSERT_TRUE(wizard.start(wizardHost(), L"/nobrowser /stage=stuck"));
        ASSERT_TRUE(wizard.startScan());

        PostMessageW(wizard.frame, message, message == WM_CLOSE ? 0 : IDCANCEL, 0);
        EXPECT_TRUE(waitFor([&] { return titleOf(wizard.frame) == kClosingTitle; }, kEndMs))
            << "the title shows the closing text while the frame waits";
        EXPECT_FALSE(IsWindowEnabled(wizard.control(IDC_PROGRESS_BAR, IDC_PROGRESS_CANCEL)));
        EXPECT_EQ(waitForExit(wizard.program, kEndMs), std::optional<DWORD>(0));
    }
}

TEST(WizardWindow, CancelStopsACooperatingWorker)
{
    Wizard wizard;
    ASSERT_TRUE(wizard.start(wizardHost(), L"/nobrowser /stage=scan"));
    ASSERT_TRUE(wizard.startScan());
    wizard.click(IDC_PROGRESS_BAR, IDC_PROGRESS_CANCEL);
    EXPECT_EQ(waitForExit(wizard.program, kEndMs), std::optional<DWORD>(0));
}

TEST(WizardWindow, SkipfastRunsWithoutAClickAndClosesWithoutTheResultPage)
{
    Wizard wizard;
    ASSERT_TRUE(wizard.start(wizardHost(), L"/nobrowser /skipfast /stage=scan"));
    ASSERT_TRUE(wizard.progressShown()) << "the scan starts without a click";
    bool resultShown = false;
    std::optional<DWORD> exitCode;
    ASSERT_TRUE(waitFor(
        [&] {
            resultShown = resultShown || visible(pageWith(wizard.frame, IDC_RESULT_ADDRESS));
            exitCode = waitForExit(wizard.program, 0);
            return exitCode.has_value();
        },
        kEndMs + kStartMs));
    EXPECT_EQ(exitCode, std::optional<DWORD>(0));
    EXPECT_FALSE(resultShown);
}

TEST(WizardWindow, FailedExchangeLeavesTheProgressPageUntilTheUserCloses)
{
    Wizard wizard;
    ASSERT_TRUE(wizard.start(wizardHost(), L"/nobrowser /skipfast /stage=fail"));
    ASSERT_TRUE(wizard.progressShown());
    Sleep(1500);
    EXPECT_TRUE(visible(pageWith(wizard.frame, IDC_PROGRESS_BAR)));
    EXPECT_FALSE(visible(pageWith(wizard.frame, IDC_RESULT_ADDRESS)));
    EXPECT_EQ(waitForExit(wizard.program, 0), std::nullopt) << "a failed scan does not close the program";
    screenshot(L"failed", wizard.frame);
    wizard.click(IDC_PROGRESS_BAR, IDC_PROGRESS_CANCEL);
    EXPECT_EQ(waitForExit(wizard.program, kEndMs), std::optional<DWORD>(0));
}
