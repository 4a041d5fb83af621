// Placeholder until the scan engine lands.
#include "client/scan/worker.h"

namespace zorvane::client {

DWORD WINAPI scanThreadMain(LPVOID) { return 0; }

}  // namespace zorvane::client
