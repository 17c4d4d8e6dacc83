// The program from start-up to shutdown.
#pragma once

#include <windows.h>

extern HINSTANCE g_Instance;
extern HWND g_MainWindow;   // the main dialog as creation returned it
extern HWND g_StatusBar;
extern HBRUSH BackgroundBrush;

// Returns the process's exit code.
int RunKorvane(HINSTANCE instance);
