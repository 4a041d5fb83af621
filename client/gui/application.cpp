#include "client/gui/application.h"

namespace zorvane::client {

namespace {
RunSettings gSettings;
HINSTANCE gInstance = nullptr;
HICON gIcon = nullptr;
}  // namespace

const RunSettings& runSettings() { return gSettings; }
void setRunSettings(const RunSettings& settings) { gSettings = settings; }
HINSTANCE instance() { return gInstance; }
void setInstance(HINSTANCE instance) { gInstance = instance; }
HICON programIcon() { return gIcon; }
void setProgramIcon(HICON icon) { gIcon = icon; }

}  // namespace zorvane::client
