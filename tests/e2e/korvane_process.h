// korvane.exe started as a person starts it, and found and driven from outside.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "tests/support/win_test_support.h"

// A Windows path for a path the build gave in Unix form.
std::wstring WindowsPath(const char* buildPath);
std::wstring KorvaneExe();

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = 10000);

class Korvane {
  public:
    Korvane() = default;
    ~Korvane();
    Korvane(const Korvane&) = delete;
    Korvane& operator=(const Korvane&) = delete;

    // Starts the program with the show state a launcher would pass; its
    // message boxes are watched (and left open) from the first moment.
    bool Start(WORD showState = SW_SHOWNORMAL);
    DWORD Pid() const { return process_.dwProcessId; }
    ts::BoxWatcher& Boxes() { return *boxes_; }

    // The visible main window, once it is there.
    HWND MainWindow(DWORD timeoutMs = 15000);
    HWND Item(int id);

    // Waits for the next open message box, checks nothing, presses `button`
    // and waits until the box has gone.
    ts::ObservedBox Answer(int button, DWORD timeoutMs = 15000);
    // The start-up warning (after any earlier box), answered with OK.
    ts::ObservedBox DismissWarning();

    // Exit code once the process has ended, STILL_ACTIVE on timeout.
    DWORD WaitForExit(DWORD timeoutMs = 10000);
    bool Running();

    // Helpers for the controls, as a person would use them.
    void Click(int id); // posted: the click may open a modal window
    void TypeIntoEdit(const std::wstring& text);
    void SelectFirstDrive();
    // A top-level window of the program with this caption (not the main window).
    HWND FindWindowWithCaption(const std::wstring& caption, DWORD timeoutMs = 10000);
    // The file dialog: a window owned by the main window that is no message box.
    HWND FindFileDialog(DWORD timeoutMs = 10000);

  private:
    PROCESS_INFORMATION process_ = {};
    std::unique_ptr<ts::BoxWatcher> boxes_;
    HWND main_ = nullptr;
};

// Saves what the screen shows of `window` as a PNG file.
bool SaveScreenshot(HWND window, const std::wstring& path);
// The same for the smallest rectangle holding `window` and `over` (a box open over it, say).
bool SaveScreenshot(HWND window, HWND over, const std::wstring& path);
