// The choices in the main dialog's system menu, "Verify after writing", "Image only
// the partitions" and "Checksum file with every image", and their registry values.
#pragma once

#include <windows.h>

// The remembered choices, in HKCU\Software\KORVANE. `Verify`: on unless it holds a
// REG_DWORD of 0. `PartitionsOnly`: off unless it holds a REG_DWORD other than 0.
// Absent, unreadable or of another type: the default.
bool ReadVerifySetting();
bool WriteVerifySetting(bool on);
bool ReadPartitionsOnlySetting();
bool WritePartitionsOnlySetting(bool on);
// `Checksum`: on unless it holds a REG_DWORD of 0.
bool ReadChecksumSetting();

// Start-up, on the user-interface thread: takes the remembered choices into g_App
// and appends their items, checked accordingly, to the dialog's system menu.
void AddVerifyMenuItem(HWND dialog);
// The system command `command` (low four bits cleared): when it is one of the items,
// flips its choice, check mark and registry value and returns true.
// A running job keeps the choices it started with.
bool ToggleMenuChoice(HWND dialog, UINT command);
