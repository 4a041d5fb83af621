#include "client/gui/frame.h"

#include <commctrl.h>

#include <algorithm>
#include <string_view>

#include "client/gui/browser.h"
#include "client/gui/messages.h"
#include "client/resources/resource.h"
#include "client/win32/wide.h"
#include "core/base/string_ids.h"

namespace zorvane::client {

namespace {

constexpr DWORD kWorkerWaitMs = 7000;

}  // namespace

GuiCommon::GuiCommon(HINSTANCE instance, const RunSettings& settings)
    : instance_(instance),
      settings_(settings),
      icon_(LoadIconW(instance, MAKEINTRESOURCEW(IDI_PROGRAM))),
      dialogBrush_(CreateSolidBrush(RGB(236, 233, 216))),
      pageBrush_(CreateSolidBrush(RGB(248, 248, 246))),
      busyCursor_(LoadCursorW(nullptr, IDC_APPSTARTING))
{
}

bool GuiCommon::createFrame()
{
    if (instance_ == nullptr)
        return false;
    HWND frame =
        CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_FRAME), nullptr, procedure, reinterpret_cast<LPARAM>(this));
    if (frame == nullptr)
        return false;
    frame_ = frame;
    for (GuiCommonMember* page : {static_cast<GuiCommonMember*>(&start_), static_cast<GuiCommonMember*>(&progress_),
                                  static_cast<GuiCommonMember*>(&result_)})
        page->setParent(frame);
    start_.create(instance_, IDD_START);
    progress_.create(instance_, IDD_PROGRESS);
    result_.create(instance_, IDD_RESULT);
    if (settings_.unattended)
        PostMessageW(start_.window(), WM_COMMAND, IDC_START_BUTTON, 0);
    showPage(start_);
    return true;
}

bool GuiCommon::startScan()
{
    if (worker_)
        return false;
    DWORD threadId = 0;
    HANDLE thread = workerRoutine_ != nullptr ? CreateThread(nullptr, 0, workerRoutine_, this, 0, &threadId) : nullptr;
    if (thread == nullptr) {
        const std::u16string text = win32::loadText(instance_, text::kOutOfMemory);
        const std::u16string caption = win32::loadText(instance_, text::kErrorCaption);
        MessageBoxW(nullptr, win32::wide(text), win32::wide(caption), MB_OK);
        return false;
    }
    worker_.reset(thread);
    return true;
}

void GuiCommon::storeResultsAddress(const std::u16string& address)
{
    const std::size_t length = address.size() < resultsAddress_.size() ? address.size() : 0;
    std::copy_n(address.begin(), length, resultsAddress_.begin());
    resultsAddress_[length] = u'\0';
}

void GuiCommon::onScanComplete()
{
    worker_.reset();
    if (settings_.unattended) {
        PostMessageW(frame_, msg::kCloseRequest, 0, 0);
        return;
    }
    InvalidateRect(result_.window(), nullptr, TRUE);
    const std::u16string_view address(resultsAddress_.data());
    const std::size_t length = std::min(address.size(), addressDisplay_.size() - 1);
    std::copy_n(address.begin(), length, addressDisplay_.begin());
    addressDisplay_[length] = u'\0';
    showPage(result_);
}

void GuiCommon::shutdown()
{
    if (closing_)
        return;
    closing_ = true;
    EnableWindow(GetDlgItem(progress_.window(), IDC_PROGRESS_CANCEL), FALSE);
    EnableWindow(GetDlgItem(result_.window(), IDC_RESULT_CLOSE), FALSE);
    const std::u16string closing = win32::loadText(instance_, text::kClosingPleaseWait);
    setTitle(&closing);

    if (worker_) {
        // However the program is closed (Cancel, the close box, Esc), the
        // worker stops at its next step and sends nothing more; a worker
        // left running would upload the scan or open the results after the
        // user closed the program, or be terminated mid-step.
        progress_.state().cancel = true;
        if (WaitForSingleObject(worker_.get(), kWorkerWaitMs) == WAIT_TIMEOUT)
            TerminateThread(worker_.get(), 0);
        worker_.reset();
    }
    if (icon_) {
        SetClassLongPtrW(frame_, GCLP_HICON, static_cast<LONG_PTR>(previousClassIcon_));
        icon_.reset();
    }
    // Sent rather than posted: once the frame is forgotten, the message
    // loop no longer dispatches to the pages.
    for (GuiCommonMember* page : {static_cast<GuiCommonMember*>(&start_), static_cast<GuiCommonMember*>(&progress_),
                                  static_cast<GuiCommonMember*>(&result_)}) {
        if (page->window())
            SendMessageW(page->window(), WM_DESTROY, 0, 0);
    }
    currentPage_ = nullptr;
    frame_ = nullptr;
    PostQuitMessage(0);
}

void GuiCommon::setTitle(const std::u16string* suffix)
{
    std::u16string title = win32::loadText(instance_, text::kTitle);
    if (suffix)
        title += u" - " + *suffix;
    SetWindowTextW(frame_, win32::wide(title));
}

void GuiCommon::showPage(GuiCommonMember& page)
{
    if (GuiCommonMember* current = currentPage_.load(); current && current->window())
        ShowWindow(current->window(), SW_HIDE);
    currentPage_ = &page;
    ShowWindow(page.window(), SW_SHOW);
    SetFocus(page.window());
}

void GuiCommon::showProgressPageFromAnyThread()
{
    HWND frame = frame_;
    if (frame == nullptr)
        return;
    if (GetWindowThreadProcessId(frame, nullptr) == GetCurrentThreadId()) {
        showPage(progress_);
        return;
    }
    // From the worker: the window calls must not wait for the main thread,
    // which may itself be waiting for the worker to end. ShowWindowAsync
    // and a posted WM_NEXTDLGCTL keep the order of the visible effects.
    if (GuiCommonMember* previous = currentPage_.exchange(&progress_); previous && previous->window())
        ShowWindowAsync(previous->window(), SW_HIDE);
    ShowWindowAsync(progress_.window(), SW_SHOW);
    PostMessageW(frame, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(progress_.window()), TRUE);
}

INT_PTR CALLBACK GuiCommon::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* gui = reinterpret_cast<GuiCommon*>(GetWindowLongPtrW(window, DWLP_USER));
    return gui ? gui->handle(window, message, wParam, lParam) : FALSE;
}

INT_PTR GuiCommon::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        frame_ = window;
        previousClassIcon_ = SetClassLongPtrW(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon_.get()));
        return TRUE;
    case WM_CLOSE:
    case msg::kCloseRequest:
        if (!closing_)
            PostMessageW(window, WM_DESTROY, 0, 0);
        return FALSE;
    case WM_DESTROY:
        shutdown();
        return TRUE;
    case WM_DRAWITEM: {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        FillRect(item.hDC, &item.rcItem, pageBrush());
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL)
            return FALSE;
        PostMessageW(window, msg::kCloseRequest, 0, 0);
        return TRUE;
    case WM_CTLCOLORDLG:
        return reinterpret_cast<INT_PTR>(dialogBrush_.get());
    case msg::kStartScan:
        return startScan();
    case msg::kScanComplete:
        onScanComplete();
        return TRUE;
    case msg::kShowStartPage:
        showPage(start_);
        return TRUE;
    case msg::kOpenAddress: {
        const auto* text = reinterpret_cast<const char16_t*>(wParam);
        if (text != nullptr && *text != u'\0')
            openAddress(std::u16string(text));
        return TRUE;
    }
    }
    return FALSE;
}

ProgressState& FrameProgressView::state() { return gui_.progressPage().state(); }

void FrameProgressView::showProgressPage() { gui_.showProgressPageFromAnyThread(); }

void FrameProgressView::setProgressPageVisible(bool visible)
{
    ShowWindowAsync(gui_.progressPage().window(), visible ? SW_SHOW : SW_HIDE);
}

// The worker thread posts to the bar; the window thread applies it.
void FrameProgressView::showRange(std::int32_t maximum)
{
    // PBM_SETRANGE packs the maximum into 16 bits; the 32-bit form carries a
    // maximum of any size.
    postToBar(PBM_SETSTEP, 1, 0);
    postToBar(PBM_SETRANGE32, 0, maximum);
}

void FrameProgressView::showPosition(std::int32_t position)
{
    postToBar(PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void FrameProgressView::showStep() { postToBar(PBM_STEPIT, 0, 0); }

void FrameProgressView::repaint()
{
    // A null window would repaint every window on the desktop.
    if (HWND page = gui_.progressPage().window())
        InvalidateRect(page, nullptr, TRUE);
}

void FrameProgressView::postToBar(UINT message, WPARAM wParam, LPARAM lParam)
{
    PostMessageW(GetDlgItem(gui_.progressPage().window(), IDC_PROGRESS_BAR), message, wParam, lParam);
}

void GuiFrameNotifier::storeResultsAddress(const std::u16string& address) { gui_.storeResultsAddress(address); }

void GuiFrameNotifier::postScanComplete() { PostMessageW(gui_.frame(), msg::kScanComplete, 0, 0); }

void GuiFrameNotifier::openAddress(const std::u16string& address) { client::openAddress(address); }

}  // namespace zorvane::client
