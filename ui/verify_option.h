// "Verify after writing" and "Checksum file with every image": the main dialog's
// system-menu items and their registry values.
#pragma once

#include <windows.h>

// The remembered choice: on unless HKCU\Software\KORVANE holds `Verify` as a
// REG_DWORD of 0. Absent, unreadable or of another type: on.
bool ReadVerifySetting();
bool WriteVerifySetting(bool on);
// The same for `Checksum`: off only as a REG_DWORD of 0.
bool ReadChecksumSetting();

// Start-up, on the user-interface thread: takes the remembered choices into
// g_App and appends the items, checked accordingly, to the dialog's system menu.
void AddVerifyMenuItem(HWND dialog);
// The system command `command` (its low four bits cleared): when it is one of the
// items, flips its choice, its check mark and the registry value, and returns true.
// A running job keeps the choices it started with.
bool ToggleMenuOption(HWND dialog, UINT command);
