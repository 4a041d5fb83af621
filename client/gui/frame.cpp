// Placeholder frame: an empty dialog that closes on Esc or the close box.
// The wizard replaces it.
#include "client/gui/frame.h"

#include "client/app/application.h"
#include "client/resources/resource.h"

namespace zorvane::client {

namespace {

HWND gFrame = nullptr;

INT_PTR CALLBACK frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL)
            DestroyWindow(window);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool createFrame()
{
    if (instance() == nullptr)
        return false;
    gFrame = CreateDialogParamW(instance(), MAKEINTRESOURCEW(IDD_FRAME), nullptr, frameProcedure, 0);
    return gFrame != nullptr;
}

HWND frameWindow() { return gFrame; }

}  // namespace zorvane::client
