// The main dialog, the file name edit's key handling and the About box.
#pragma once

#include <windows.h>

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK FileNameEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The box that tells of an empty drive list after a refresh.
void ReportNoDrives(HWND dialog);

// Longest name the file-name edit takes: the job's path buffer less its terminator.
constexpr int FileNameEditLimit = MAX_PATH - 1;
