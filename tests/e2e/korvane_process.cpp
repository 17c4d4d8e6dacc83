#include "tests/e2e/korvane_process.h"

#include <commctrl.h>

#include <vector>

#include "resource.h"

std::wstring WindowsPath(const char* buildPath)
{
    std::wstring path;
    for (const char* c = buildPath; *c != '\0'; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    // Wine shows the Unix root as drive Z:.
    if (!path.empty() && path[0] == L'\\')
        path = L"Z:" + path;
    return path;
}

std::wstring KorvaneExe()
{
    return WindowsPath(KORVANE_EXE_PATH);
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ts::Deadline deadline(timeoutMs);
    while (!done()) {
        if (deadline.Passed())
            return false;
        Sleep(20);
    }
    return true;
}

Korvane::~Korvane()
{
    if (process_.hProcess != nullptr) {
        if (Running()) {
            TerminateProcess(process_.hProcess, 99);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
}

bool Korvane::Start(WORD showState)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showState;
    std::wstring exe = KorvaneExe();
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process_))
        return false;
    boxes_.reset(new ts::BoxWatcher(process_.dwProcessId));
    boxes_->SetDefaultAnswer(0);
    ResumeThread(process_.hThread);
    return true;
}

namespace {

struct WindowSearch {
    DWORD pid;
    std::wstring caption;
    HWND exclude;
    HWND found;
};

BOOL CALLBACK MatchOwned(HWND window, LPARAM param)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && window != search->exclude && IsWindowVisible(window) &&
        GetWindow(window, GW_OWNER) == search->exclude && !ts::IsMessageBox(window))
        search->found = window;
    return search->found == nullptr;
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM param)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || window == search->exclude || !IsWindowVisible(window))
        return TRUE;
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (std::wstring(className) != L"#32770" || ts::WindowText(window) != search->caption)
        return TRUE;
    search->found = window;
    return FALSE;
}

// Searches the top-level windows until `match` finds one.
HWND SearchWindows(WNDENUMPROC match, WindowSearch search, DWORD timeoutMs)
{
    WaitFor(
        [&] {
            EnumWindows(match, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

} // namespace

HWND Korvane::FindWindowWithCaption(const std::wstring& caption, DWORD timeoutMs)
{
    return SearchWindows(MatchWindow, {Pid(), caption, main_, nullptr}, timeoutMs);
}

HWND Korvane::FindFileDialog(DWORD timeoutMs)
{
    return SearchWindows(MatchOwned, {Pid(), L"", MainWindow(), nullptr}, timeoutMs);
}

HWND Korvane::MainWindow(DWORD timeoutMs)
{
    // The status bar comes right after the dialog: with it, start-up has done its part.
    if (main_ == nullptr)
        main_ = SearchWindows(MatchWindow, {Pid(), L"Korvane", nullptr, nullptr}, timeoutMs);
    if (main_ != nullptr)
        WaitFor([&] { return GetDlgItem(main_, IDC_STATUS) != nullptr; }, timeoutMs);
    return main_;
}

HWND Korvane::Item(int id)
{
    return GetDlgItem(MainWindow(), id);
}

ts::ObservedBox Korvane::Answer(int button, DWORD timeoutMs)
{
    ts::ObservedBox box;
    if (!boxes_->WaitForOpenBox(&box, timeoutMs))
        return ts::ObservedBox();
    ts::BoxWatcher::Press(box.window, button);
    WaitFor([&] { return !IsWindow(box.window); });
    return box;
}

ts::ObservedBox Korvane::DismissWarning()
{
    for (;;) {
        ts::ObservedBox box = Answer(IDOK);
        if (box.window == nullptr || box.caption == L"WARNING!")
            return box;
    }
}

DWORD Korvane::WaitForExit(DWORD timeoutMs)
{
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

bool Korvane::Running()
{
    return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

void Korvane::Click(int id)
{
    PostMessageW(Item(id), BM_CLICK, 0, 0);
}

void Korvane::TypeIntoEdit(const std::wstring& text)
{
    HWND edit = Item(IDC_FILE_NAME);
    // Select everything and type over it, one key at a time.
    PostMessageW(edit, EM_SETSEL, 0, -1);
    PostMessageW(edit, WM_CHAR, VK_BACK, 0);
    for (wchar_t c : text)
        PostMessageW(edit, WM_CHAR, c, 0);
    WaitFor([&] { return ts::WindowText(edit) == text; });
}

void Korvane::SelectFirstDrive()
{
    // The Down key in a closed drop-down list picks the next entry and tells the dialog.
    PostMessageW(Item(IDC_DRIVE_COMBO), WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(Item(IDC_DRIVE_COMBO), WM_KEYUP, VK_DOWN, 0);
    WaitFor([&] { return ts::ListItems(Item(IDC_DETAILS)).size() == 4; });
}
