// The program from start-up to shutdown.
#pragma once

#include <windows.h>

extern HINSTANCE g_Instance;
extern HWND g_MainWindow; // the main dialog as creation returned it
extern HWND g_StatusBar;
extern HBRUSH BackgroundBrush;

// Returns the process's exit code.
int RunKorvane(HINSTANCE instance);

// Creates the main dialog with its status bar, tooltips and icon, and shows it.
// Null when the dialog could not be created. Needs g_App, g_Instance and BackgroundBrush.
HWND CreateMainWindow();
// Shows the dialog; whatever state the launcher asked for, it ends shown normally.
void ShowMainWindow(HWND dialog);
// Text of the start-up warning.
const wchar_t* StartupWarningText(bool otherInstanceRunning);
