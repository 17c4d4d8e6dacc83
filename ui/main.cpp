#include <windows.h>

#include "ui/machine_guard.h"
#include "ui/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    GuardProcess();
    return RunKorvane(instance);
}
