// What the tests need to watch and drive real windows as a person would:
// message boxes of any thread (or of another process), and the state of the
// controls read back from the controls themselves.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

struct AppState;

namespace ts {

// Icon of a message box as a person sees it.
enum class BoxIcon { None, Error, Warning, Question, Information, Unknown };
const char* BoxIconName(BoxIcon icon);

struct ObservedBox {
    HWND window = nullptr;
    HWND owner = nullptr;
    DWORD threadId = 0;
    std::wstring caption;
    std::wstring text;
    BoxIcon icon = BoxIcon::Unknown;
    std::vector<int> buttons;   // control ids (IDOK, IDYES, ...) in creation order
    int defaultButton = 0;      // the id that Enter would press
    int pressed = 0;            // the id this watcher pressed, 0 if left open
};

// Watches for message boxes of one process, records each one once, and
// answers it with the next queued button (or the default answer).
class BoxWatcher {
public:
    explicit BoxWatcher(DWORD processId = GetCurrentProcessId());
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    // Queue the answer for the next box that appears (IDOK, IDYES, IDNO...).
    void Answer(int button);
    // Answer used when the queue is empty: 0 leaves the box open.
    void SetDefaultAnswer(int button);
    // Press a button on a box that was left open.
    static void Press(HWND box, int button);

    std::vector<ObservedBox> Boxes();
    // Waits until at least `count` boxes have been seen.
    bool WaitForBoxes(size_t count, DWORD timeoutMs = 10000);
    // Waits until a box is open and unanswered; returns it.
    bool WaitForOpenBox(ObservedBox* box, DWORD timeoutMs = 10000);
    void Clear();

private:
    static DWORD WINAPI ThreadProc(void* self);
    void Poll();

    DWORD processId_;
    HANDLE thread_ = nullptr;
    HANDLE stop_ = nullptr;
    // Guards everything below it; the waits poll, so no condition variable is needed.
    CRITICAL_SECTION lock_;
    std::deque<int> answers_;
    int defaultAnswer_ = IDOK;
    std::vector<ObservedBox> boxes_;
    std::vector<HWND> live_;
};

// A time limit from now; GetTickCount's wrap-around is harmless in the difference.
struct Deadline {
    explicit Deadline(DWORD spanMs) : start(GetTickCount()), span(spanMs) {}
    bool Passed() const { return GetTickCount() - start >= span; }
    DWORD start;
    DWORD span;
};

// Holds a critical section for one scope.
class ScopedLock {
  public:
    explicit ScopedLock(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~ScopedLock() { LeaveCriticalSection(&section_); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    CRITICAL_SECTION& section_;
};

// Reads a message box window (caption, text, icon, buttons).
bool ReadMessageBox(HWND window, ObservedBox* box);
// True for a window that is a standard message box.
bool IsMessageBox(HWND window);

// Control state, read from the controls; works across processes as well.
std::wstring WindowText(HWND window);
std::wstring StatusText(HWND statusBar, int part = 0);
struct ProgressState {
    int low = 0;
    int high = 0;
    int position = 0;
};
ProgressState ReadProgress(HWND bar);
std::vector<std::wstring> ComboItems(HWND combo);
int ComboSelection(HWND combo);
std::vector<std::wstring> ListItems(HWND list);

// The main dialog's template with a do-nothing procedure and the status bar,
// hidden unless `show` — the real controls for code that addresses them.
HWND CreateHostDialog(bool show = false);

// A fresh record as g_App whose main window is a host dialog; Close tears both down.
struct AppOnDialog {
    ::AppState* state = nullptr;
    HWND dialog = nullptr;
    bool Open(bool show = false);
    void Close();
};

// A test's own thread running `work`; joined by Join() or at the latest by the destructor.
class TestThread {
  public:
    explicit TestThread(std::function<void()> work);
    ~TestThread();
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    void Join();

  private:
    static DWORD WINAPI Run(void* self);
    std::function<void()> work_;
    HANDLE thread_ = nullptr;
};

// Runs `work` on a new thread while this thread pumps messages; false on timeout.
bool RunWhilePumping(const std::function<void()>& work, DWORD timeoutMs = 60000);
// Pumps messages until `done` holds; false on timeout.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);
void PumpPending();

// A fixed-disk geometry of the given shape and size.
DISK_GEOMETRY_EX MakeGeometry(DWORD heads, DWORD sectors, DWORD bytesPerSector, int64_t diskSize);

// A unique path for a scratch file in the test's temporary folder.
std::wstring TempPath(const std::wstring& name);
// Whole file as bytes.
bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* data);
bool WriteWholeFile(const std::wstring& path, const std::vector<unsigned char>& data);
// Deterministic test pattern of `size` bytes.
std::vector<unsigned char> Pattern(size_t size, unsigned seed);

std::string Narrow(const std::wstring& text);

// Under Wine: the Linux path of a Windows path, empty elsewhere.
std::string LinuxPath(const std::wstring& path);
// Under Wine: runs a /bin/sh command line on the Linux side and waits for it
// (up to `timeoutMs`); its standard output, or false when it could not run.
bool RunLinuxShell(const std::string& command, std::string* output, DWORD timeoutMs = 10000);

} // namespace ts
