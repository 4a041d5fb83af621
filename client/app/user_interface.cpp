#include "client/app/user_interface.h"

#include <commctrl.h>

#include "client/gui/application.h"
#include "client/gui/frame.h"
#include "client/gui/text_styles.h"
#include "client/resources/resource.h"

namespace zorvane::client {

bool startUserInterface(HINSTANCE instance)
{
    createTextStyles();
    setInstance(instance);
    setProgramIcon(LoadIconW(instance, MAKEINTRESOURCEW(IDI_PROGRAM)));

    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    if (createFrame())
        return true;
    releaseTextStyles();
    return false;
}

void runMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        IsDialogMessageW(frameWindow(), &message);
}

}  // namespace zorvane::client
