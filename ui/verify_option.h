// "Verify after writing": the main dialog's system-menu item and its registry value.
#pragma once

#include <windows.h>

// The remembered choice: on unless HKCU\Software\KORVANE holds `Verify` as a
// REG_DWORD of 0. Absent, unreadable or of another type: on.
bool ReadVerifySetting();
bool WriteVerifySetting(bool on);

// Start-up, on the user-interface thread: takes the remembered choice into
// g_App and appends the item, checked accordingly, to the dialog's system menu.
void AddVerifyMenuItem(HWND dialog);
// The item was chosen: flips the choice, its check mark and the registry value.
// A running job keeps the choice it started with.
void ToggleVerify(HWND dialog);
