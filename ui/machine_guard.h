// What the program asks of the system it runs on: libraries from the system
// folder only, no system error boxes for a missing medium, and while a job
// runs no sleep, log-off or shut-down.
#pragma once

#include <windows.h>

// First thing at start-up: DLLs that system libraries load later by bare name
// come from the system folder only (where the system can do that; on older
// systems never from the current folder, and the libraries they load by bare
// name that an old system would look for beside the program first are loaded
// from the system folder before anything needs them), and an empty reader fails
// its call instead of asking the operator on the user-interface thread.
void GuardProcess();
// While a job runs (`running`): the machine stays awake and a log-off or
// shut-down is refused with a reason `window` gives; cleared when it ends.
// User-interface thread only.
void GuardJob(HWND window, bool running);
