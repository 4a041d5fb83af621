#include "client/gui/pages.h"

#include <commctrl.h>

#include <initializer_list>
#include <utility>

#include "client/gui/frame.h"
#include "client/gui/messages.h"
#include "client/gui/text_styles.h"
#include "client/resources/resource.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/base/string_ids.h"
#include "core/gui/browser.h"

namespace zorvane::client {

namespace {

constexpr COLORREF kPageColour = RGB(248, 248, 246);
constexpr COLORREF kBarColour = RGB(62, 160, 0);

COLORREF colourOfFont(const TextStyles& styles, HFONT font)
{
    for (const TextStyle style : {TextStyle::Body, TextStyle::Headline, TextStyle::Bold, TextStyle::Link,
                                  TextStyle::Label, TextStyle::Small, TextStyle::Title}) {
        if (styles[style].font.get() == font)
            return styles[style].colour;
    }
    return RGB(0, 0, 0);
}

// One owner-drawn text of a page: its control, string-table text, style
// and alignment.
struct PageText {
    UINT control;
    int stringId;
    TextStyle style;
    bool centred;
};

// Draws the item when the table names it.
void drawFromTable(const GuiCommon& gui, const DRAWITEMSTRUCT& item, std::initializer_list<PageText> table)
{
    for (const PageText& text : table) {
        if (text.control == item.CtlID) {
            drawItemText(gui, item, text.stringId, gui.textStyles()[text.style].font.get(), text.centred);
            return;
        }
    }
}

const DRAWITEMSTRUCT& drawItem(LPARAM lParam) { return *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam); }

INT_PTR pageBrush(const GuiCommon& gui) { return reinterpret_cast<INT_PTR>(gui.pageBrush()); }

void postToFrame(const GuiCommon& gui, UINT message, WPARAM wParam = 0)
{
    PostMessageW(gui.frame(), message, wParam, 0);
}

}  // namespace

template <typename Page>
bool GuiCommonMember::createPage(HINSTANCE instance, int templateId)
{
    window_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId), parent_, procedure<Page>,
                                 reinterpret_cast<LPARAM>(static_cast<Page*>(this)));
    if (window_ == nullptr)
        return false;
    placePage(*this);
    return true;
}

template <typename Page>
INT_PTR CALLBACK GuiCommonMember::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* page = reinterpret_cast<Page*>(GetWindowLongPtrW(window, DWLP_USER));
    if (page == nullptr)
        return FALSE;
    switch (message) {
    case WM_DESTROY:
        // The WM_DESTROY that DestroyWindow itself sends finds the page
        // already forgotten.
        if (HWND pageWindow = std::exchange(page->window_, nullptr))
            DestroyWindow(pageWindow);
        return FALSE;
    case WM_CTLCOLORDLG:
        return pageBrush(page->gui_);
    case WM_COMMAND:
        // Every command acts on the frame, and does nothing without it.
        if (page->gui_.frame() == nullptr)
            return FALSE;
        break;
    }
    return page->handle(message, wParam, lParam);
}

void placePage(GuiCommonMember& page)
{
    HWND area = GetDlgItem(page.parent(), IDC_PAGE_AREA);
    RECT windowRect{};
    RECT clientRect{};
    if (!GetWindowRect(area, &windowRect) || !GetClientRect(area, &clientRect))
        return;
    POINT topLeft{windowRect.left, windowRect.top};
    ScreenToClient(page.parent(), &topLeft);
    MoveWindow(page.window(), topLeft.x, topLeft.y, clientRect.right - clientRect.left,
               clientRect.bottom - clientRect.top, TRUE);
}

void drawItemText(const GuiCommon& gui, const DRAWITEMSTRUCT& item, int stringId, HFONT font, bool centred)
{
    drawItemText(gui, item, win32::loadText(gui.instance(), stringId), font, centred);
}

void drawItemText(const GuiCommon& gui, const DRAWITEMSTRUCT& item, const std::u16string& text, HFONT font,
                  bool centred)
{
    if (item.hDC == nullptr)
        return;
    const HGDIOBJ previousFont = SelectObject(item.hDC, font);
    const COLORREF previousText = SetTextColor(item.hDC, colourOfFont(gui.textStyles(), font));
    const COLORREF previousBack = SetBkColor(item.hDC, kPageColour);
    RECT area = item.rcItem;
    // No texts here mark an accelerator, and the results address may hold
    // "&" (a query string), which must show as it stands.
    DrawTextW(item.hDC, win32::wide(text), static_cast<int>(text.size()), &area,
              DT_NOPREFIX | (centred ? DT_CENTER : 0));
    SelectObject(item.hDC, previousFont);
    SetTextColor(item.hDC, previousText);
    SetBkColor(item.hDC, previousBack);
}

bool GuiStart::create(HINSTANCE instance, int templateId) { return createPage<GuiStart>(instance, templateId); }

INT_PTR GuiStart::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DRAWITEM:
        drawFromTable(gui_, drawItem(lParam), {
                                            {IDC_START_TITLE, text::kWhatIsYourPcUpTo, TextStyle::Title, false},
                                            {IDC_START_WELCOME, text::kWelcome, TextStyle::Body, false},
                                            {IDC_START_PROCESSES, text::kProcessesOnYourSystem, TextStyle::Body, true},
                                            {IDC_START_LOWDOWN, text::kWhatYourComputerIsDoing, TextStyle::Body, false},
                                            {IDC_START_CLICK, text::kClickStart, TextStyle::Bold, false},
                                            {IDC_START_LICENSE, text::kLicenseAgreement, TextStyle::Link, false},
                                        });
        return TRUE;
    case WM_CTLCOLORSTATIC:
        return pageBrush(gui_);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_START_BUTTON:
            ShowWindow(window_, SW_HIDE);
            postToFrame(gui_, msg::kStartScan);
            return TRUE;
        case IDC_START_ACCEPT:
            EnableWindow(GetDlgItem(window_, IDC_START_BUTTON),
                         IsDlgButtonChecked(window_, IDC_START_ACCEPT) == BST_CHECKED);
            return FALSE;
        case IDC_START_LICENSE: {
            const std::u16string address = agreementAddress();
            SendMessageW(gui_.frame(), msg::kOpenAddress, reinterpret_cast<WPARAM>(address.c_str()), 0);
            return TRUE;
        }
        }
        return FALSE;
    }
    return FALSE;
}

namespace {

// A themed bar ignores colours; the page's green bar on the page colour
// needs the classic one (a blank theme name: Wine refuses an empty one).
// Themes, and uxtheme.dll, exist from XP on; Windows 2000 draws the classic
// bar anyway. The common controls keep the library loaded while they draw.
void useClassicTheme(HWND control)
{
    using SetWindowThemeFunction = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
    const win32::UniqueLibrary uxtheme(LoadLibraryW(L"uxtheme.dll"));
    if (!uxtheme)
        return;
    if (auto setTheme = win32::procedure<SetWindowThemeFunction>(uxtheme.get(), "SetWindowTheme"))
        setTheme(control, L" ", L" ");
}

}  // namespace

bool GuiProgress::create(HINSTANCE instance, int templateId)
{
    if (!createPage<GuiProgress>(instance, templateId))
        return false;
    HWND bar = GetDlgItem(window_, IDC_PROGRESS_BAR);
    useClassicTheme(bar);
    PostMessageW(bar, PBM_SETBARCOLOR, 0, kBarColour);
    PostMessageW(bar, CCM_SETBKCOLOR, 0, kPageColour);
    return true;
}

INT_PTR GuiProgress::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DRAWITEM:
        drawFromTable(gui_, drawItem(lParam), {
                                            {IDC_PROGRESS_HEADLINE, state_.headlineTextId, TextStyle::Headline, false},
                                            {IDC_PROGRESS_STATUS_LABEL, text::kStatusLabel, TextStyle::Label, false},
                                            {IDC_PROGRESS_STATUS, state_.statusTextId, TextStyle::Bold, false},
                                            {IDC_PROGRESS_LABEL, text::kProgressLabel, TextStyle::Label, false},
                                        });
        return TRUE;
    case WM_SETCURSOR:
        SetCursor(gui_.busyCursor());
        // The result of the message, so that no control under the mouse
        // puts its own cursor back.
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDC_PROGRESS_CANCEL)
            return FALSE;
        state_.cancel = true;
        postToFrame(gui_, msg::kCloseRequest);
        return TRUE;
    }
    return FALSE;
}

bool GuiResult::create(HINSTANCE instance, int templateId) { return createPage<GuiResult>(instance, templateId); }

INT_PTR GuiResult::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DRAWITEM: {
        const DRAWITEMSTRUCT& item = drawItem(lParam);
        if (item.CtlID == IDC_RESULT_ADDRESS) {
            drawItemText(gui_, item, gui_.addressDisplayText(), gui_.textStyles()[TextStyle::Link].font.get(), true);
            return TRUE;
        }
        // kReportGenerated says the results were opened: only true when an address was.
        const int report = gui_.resultsAddress()[0] != u'\0' ? text::kReportGenerated : text::kReportGeneratedNotOpened;
        drawFromTable(gui_, item, {
                                {IDC_RESULT_REPORT, report, TextStyle::Bold, true},
                                {IDC_RESULT_LAST_SCAN, text::kLastProcessScan, TextStyle::Small, true},
                            });
        return TRUE;
    }
    case WM_CTLCOLORBTN:
        return pageBrush(gui_);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_RESULT_CLOSE:
            postToFrame(gui_, msg::kCloseRequest);
            return TRUE;
        case IDC_RESULT_BACK:
            ShowWindow(window_, SW_HIDE);
            postToFrame(gui_, msg::kShowStartPage);
            return TRUE;
        case IDC_RESULT_ADDRESS:
            // An owner-drawn button also reports a double click, after the
            // click that began it: one browser window, not two.
            if (HIWORD(wParam) != BN_CLICKED)
                return TRUE;
            // The full results address: the display text may be cut.
            postToFrame(gui_, msg::kOpenAddress, reinterpret_cast<WPARAM>(gui_.resultsAddress()));
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

}  // namespace zorvane::client
