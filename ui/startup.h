// The program from start-up to shutdown.
#pragma once

#include <windows.h>

// Returns the process's exit code.
int RunKorvane(HINSTANCE instance);
