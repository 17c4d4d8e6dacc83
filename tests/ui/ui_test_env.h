// The program's own main window, created once for all tests of this executable.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// The main dialog of the test run (created by the test environment).
HWND MainWindow();
HWND Control(int id);
// The status text right after start-up, before any test wrote one.
std::wstring InitialStatusText();

// A top-level dialog window of this process other than the main window and
// other than a message box, optionally with the given caption.
HWND FindOwnDialog(const std::wstring& caption, DWORD timeoutMs = 10000);

// Runs `modal` on this thread while `helper` runs on another; the helper is
// meant to find and answer whatever `modal` opened.
void WhileModal(const std::function<void()>& modal, const std::function<void()>& helper);
