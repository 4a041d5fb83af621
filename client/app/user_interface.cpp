#include "client/app/user_interface.h"

#include <commctrl.h>

#include "client/gui/frame.h"

namespace zorvane::client {

bool startUserInterface(GuiCommon& gui)
{
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    return gui.createFrame();
}

void runMessageLoop(const GuiCommon& gui)
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        IsDialogMessageW(gui.frame(), &message);
}

}  // namespace zorvane::client
