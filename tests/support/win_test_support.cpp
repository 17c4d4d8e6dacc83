#include "tests/support/win_test_support.h"

#include <commctrl.h>

#include <algorithm>
#include <gtest/gtest.h>

#include "engine/image_jobs.h"
#include "engine/app_state.h"
#include "resource.h"

namespace ts {

const char* BoxIconName(BoxIcon icon)
{
    switch (icon) {
    case BoxIcon::None: return "none";
    case BoxIcon::Error: return "error";
    case BoxIcon::Warning: return "warning";
    case BoxIcon::Question: return "question";
    case BoxIcon::Information: return "information";
    default: return "unknown";
    }
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c < 128) ? static_cast<char>(c) : '?';
    return out;
}

static bool SameProcess(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid == GetCurrentProcessId();
}

std::wstring WindowText(HWND window)
{
    // WM_GETTEXT is marshalled across processes, GetWindowText is not.
    LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(got));
    return text;
}

static std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool IsMessageBox(HWND window)
{
    if (ClassOf(window) != L"#32770")
        return false;
    HWND text = GetDlgItem(window, 0xFFFF);
    if (text == nullptr || ClassOf(text) != L"Static")
        return false;
    // Other dialogs may have an id-less static too; a message box has only
    // the standard command buttons (IDOK .. IDCONTINUE).
    bool anyButton = false;
    HWND child = nullptr;
    while ((child = FindWindowExW(window, child, L"Button", nullptr)) != nullptr) {
        const int id = GetDlgCtrlID(child);
        if (id < IDOK || id > IDCONTINUE)
            return false;
        anyButton = true;
    }
    return anyButton;
}

static BoxIcon IconOf(HWND box)
{
    HWND child = nullptr;
    while ((child = FindWindowExW(box, child, L"Static", nullptr)) != nullptr) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            continue;
        if (!SameProcess(box))
            return BoxIcon::Unknown;
        HICON icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        if (icon == nullptr)
            return BoxIcon::None;
        if (icon == LoadIconW(nullptr, IDI_HAND))
            return BoxIcon::Error;
        if (icon == LoadIconW(nullptr, IDI_EXCLAMATION))
            return BoxIcon::Warning;
        if (icon == LoadIconW(nullptr, IDI_QUESTION))
            return BoxIcon::Question;
        if (icon == LoadIconW(nullptr, IDI_ASTERISK))
            return BoxIcon::Information;
        return BoxIcon::Unknown;
    }
    return BoxIcon::None;
}

bool ReadMessageBox(HWND window, ObservedBox* box)
{
    if (!IsMessageBox(window))
        return false;
    box->window = window;
    box->owner = GetWindow(window, GW_OWNER);
    box->threadId = GetWindowThreadProcessId(window, nullptr);
    box->caption = WindowText(window);
    box->text = WindowText(GetDlgItem(window, 0xFFFF));
    box->icon = IconOf(window);
    box->buttons.clear();
    HWND child = nullptr;
    box->defaultButton = 0;
    while ((child = FindWindowExW(window, child, L"Button", nullptr)) != nullptr) {
        if (!IsWindowVisible(child))
            continue;
        box->buttons.push_back(GetDlgCtrlID(child));
        // Wine answers DM_GETDEFID with IDOK whatever the box's default: read the button's style.
        if ((GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            box->defaultButton = GetDlgCtrlID(child);
    }
    if (box->defaultButton == 0) {
        LRESULT def = SendMessageW(window, DM_GETDEFID, 0, 0);
        box->defaultButton = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : 0;
    }
    return true;
}

BoxWatcher::BoxWatcher(DWORD processId) : processId_(processId)
{
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
}

BoxWatcher::~BoxWatcher()
{
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    DeleteCriticalSection(&lock_);
}

void BoxWatcher::Answer(int button)
{
    ScopedLock lock(lock_);
    answers_.push_back(button);
}

void BoxWatcher::SetDefaultAnswer(int button)
{
    ScopedLock lock(lock_);
    defaultAnswer_ = button;
}

void BoxWatcher::Press(HWND box, int button)
{
    HWND control = GetDlgItem(box, button);
    if (control != nullptr)
        PostMessageW(control, BM_CLICK, 0, 0);
    else
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

std::vector<ObservedBox> BoxWatcher::Boxes()
{
    ScopedLock lock(lock_);
    return boxes_;
}

void BoxWatcher::Clear()
{
    ScopedLock lock(lock_);
    boxes_.clear();
}

// Polls `met` under the watcher's lock until it holds or the time is up.
static bool WaitUnderLock(CRITICAL_SECTION& section, DWORD timeoutMs, const std::function<bool()>& met)
{
    const ts::Deadline deadline(timeoutMs);
    for (;;) {
        {
            ScopedLock lock(section);
            if (met())
                return true;
        }
        if (deadline.Passed())
            return false;
        Sleep(5);
    }
}

bool BoxWatcher::WaitForBoxes(size_t count, DWORD timeoutMs)
{
    return WaitUnderLock(lock_, timeoutMs, [&] { return boxes_.size() >= count; });
}

bool BoxWatcher::WaitForOpenBox(ObservedBox* box, DWORD timeoutMs)
{
    return WaitUnderLock(lock_, timeoutMs, [&] {
        for (const ObservedBox& b : boxes_)
            if (b.pressed == 0 && IsWindow(b.window)) {
                *box = b;
                return true;
            }
        return false;
    });
}

DWORD WINAPI BoxWatcher::ThreadProc(void* self)
{
    BoxWatcher* watcher = static_cast<BoxWatcher*>(self);
    while (WaitForSingleObject(watcher->stop_, 15) == WAIT_TIMEOUT)
        watcher->Poll();
    return 0;
}

struct FoundWindows {
    DWORD processId;
    std::vector<HWND> windows;
};

static BOOL CALLBACK CollectBoxes(HWND window, LPARAM param)
{
    FoundWindows* found = reinterpret_cast<FoundWindows*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == found->processId && IsWindowVisible(window) && IsMessageBox(window))
        found->windows.push_back(window);
    return TRUE;
}

void BoxWatcher::Poll()
{
    FoundWindows found{processId_, {}};
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&found));

    std::vector<HWND> fresh;
    {
        ScopedLock lock(lock_);
        // Forget boxes that have gone, so a reused handle counts as a new box.
        live_.erase(std::remove_if(live_.begin(), live_.end(),
                                   [&](HWND w) {
                                       return std::find(found.windows.begin(), found.windows.end(), w) ==
                                              found.windows.end();
                                   }),
                    live_.end());
        for (HWND w : found.windows)
            if (std::find(live_.begin(), live_.end(), w) == live_.end())
                fresh.push_back(w);
    }
    for (HWND w : fresh) {
        // Let the box finish laying itself out before reading it.
        Sleep(30);
        ObservedBox box;
        if (!ReadMessageBox(w, &box))
            continue;
        // A box answered by someone else while it was read may have lost its texts
        // on the way out: what was read then is not what a person saw.
        if (!IsWindowVisible(w))
            continue;
        int answer;
        {
            ScopedLock lock(lock_);
            live_.push_back(w);
            if (!answers_.empty()) {
                answer = answers_.front();
                answers_.pop_front();
            } else {
                answer = defaultAnswer_;
            }
            box.pressed = answer;
            boxes_.push_back(box);
        }
        if (answer != 0)
            Press(w, answer);
    }
}

template <typename T>
static bool RemoteCall(HWND window, UINT message, WPARAM wParam, T* local, size_t bytes, LRESULT* result)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId()) {
        *result = SendMessageW(window, message, wParam, reinterpret_cast<LPARAM>(local));
        return true;
    }
    // The message carries a pointer the system does not marshal: lend a buffer in the target.
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process == nullptr)
        return false;
    bool ok = false;
    void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote != nullptr) {
        SIZE_T moved = 0;
        if (WriteProcessMemory(process, remote, local, bytes, &moved)) {
            *result = SendMessageW(window, message, wParam, reinterpret_cast<LPARAM>(remote));
            ok = ReadProcessMemory(process, remote, local, bytes, &moved) != FALSE;
        }
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return ok;
}

std::wstring StatusText(HWND statusBar, int part)
{
    LRESULT length = SendMessageW(statusBar, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part), 0);
    std::vector<wchar_t> buffer(LOWORD(length) + 1, L'\0');
    LRESULT result = 0;
    if (!RemoteCall(statusBar, SB_GETTEXTW, static_cast<WPARAM>(part), buffer.data(),
                    buffer.size() * sizeof(wchar_t), &result))
        return L"<unreadable>";
    buffer.back() = L'\0';
    return buffer.data();
}

ProgressState ReadProgress(HWND bar)
{
    ProgressState state;
    state.low = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, TRUE, 0));
    state.high = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    state.position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    return state;
}

// The items of a combo box or list box, asked with that control's messages.
static std::vector<std::wstring> ItemTexts(HWND control, UINT countMessage, UINT lengthMessage, UINT textMessage)
{
    std::vector<std::wstring> items;
    LRESULT count = SendMessageW(control, countMessage, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageW(control, lengthMessage, i, 0);
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(control, textMessage, i, reinterpret_cast<LPARAM>(&text[0]));
        text.resize(static_cast<size_t>(length));
        items.push_back(text);
    }
    return items;
}

std::vector<std::wstring> ComboItems(HWND combo)
{
    return ItemTexts(combo, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
}

int ComboSelection(HWND combo)
{
    return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

std::vector<std::wstring> ListItems(HWND list)
{
    return ItemTexts(list, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
}

static INT_PTR CALLBACK HostDialogProc(HWND, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_JOB_ENDED:
        OnJobEnded();
        return TRUE;
    default:
        return FALSE;
    }
}

HWND CreateHostDialog(bool show)
{
    static bool initialised = false;
    if (!initialised) {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        initialised = true;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, HostDialogProc, 0);
    if (dialog == nullptr)
        return nullptr;
    CreateWindowExW(0, STATUSCLASSNAMEW, L"Please select a physical drive!", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                    dialog, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)), instance, nullptr);
    if (show)
        ShowWindow(dialog, SW_SHOWNORMAL);
    return dialog;
}

void PumpPending()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ts::Deadline deadline(timeoutMs);
    while (!done()) {
        if (deadline.Passed())
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        PumpPending();
    }
    return true;
}

struct WorkCall {
    const std::function<void()>* work;
};

static DWORD WINAPI WorkThread(void* param)
{
    (*static_cast<WorkCall*>(param)->work)();
    return 0;
}

TestThread::TestThread(std::function<void()> work) : work_(std::move(work))
{
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    if (thread_ == nullptr)
        ADD_FAILURE() << "can't start a test thread: error " << GetLastError();
}

TestThread::~TestThread()
{
    Join();
}

void TestThread::Join()
{
    if (thread_ == nullptr)
        return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI TestThread::Run(void* self)
{
    static_cast<TestThread*>(self)->work_();
    return 0;
}

bool RunWhilePumping(const std::function<void()>& work, DWORD timeoutMs)
{
    WorkCall call{&work};
    HANDLE thread = CreateThread(nullptr, 0, WorkThread, &call, 0, nullptr);
    if (thread == nullptr)
        return false;
    const ts::Deadline deadline(timeoutMs);
    bool finished = false;
    for (;;) {
        DWORD wait = MsgWaitForMultipleObjects(1, &thread, FALSE, 20, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) {
            finished = true;
            break;
        }
        PumpPending();
        if (deadline.Passed())
            break;
    }
    if (!finished) {
        // The worker still uses `work`: let it finish rather than leave it dangling.
        while (MsgWaitForMultipleObjects(1, &thread, FALSE, 20, QS_ALLINPUT) != WAIT_OBJECT_0)
            PumpPending();
    }
    PumpPending();
    CloseHandle(thread);
    return finished;
}

bool AppOnDialog::Open(bool show)
{
    state = CreateAppState();
    g_App = state;
    dialog = CreateHostDialog(show);
    state->MainWindow = dialog;
    return dialog != nullptr;
}

void AppOnDialog::Close()
{
    if (dialog != nullptr)
        DestroyWindow(dialog);
    dialog = nullptr;
    g_App = nullptr;
    DestroyAppState(state);
    state = nullptr;
}

DISK_GEOMETRY_EX MakeGeometry(DWORD heads, DWORD sectors, DWORD bytesPerSector, int64_t diskSize)
{
    DISK_GEOMETRY_EX geometry = {};
    const int64_t cylinder = static_cast<int64_t>(heads) * sectors * bytesPerSector;
    geometry.Geometry.Cylinders.QuadPart = cylinder != 0 ? diskSize / cylinder : 0;
    geometry.Geometry.MediaType = FixedMedia;
    geometry.Geometry.TracksPerCylinder = heads;
    geometry.Geometry.SectorsPerTrack = sectors;
    geometry.Geometry.BytesPerSector = bytesPerSector;
    geometry.DiskSize.QuadPart = diskSize;
    return geometry;
}

std::wstring TempPath(const std::wstring& name)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring dir = std::wstring(folder) + L"korvane-tests\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) != FALSE;
    if (ok) {
        data->assign(static_cast<size_t>(size.QuadPart), 0);
        size_t done = 0;
        while (ok && done < data->size()) {
            DWORD want = static_cast<DWORD>(std::min<size_t>(data->size() - done, 1u << 24));
            DWORD got = 0;
            ok = ReadFile(file, data->data() + done, want, &got, nullptr) && got == want;
            done += got;
        }
    }
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<unsigned char>& data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < data.size()) {
        DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 24));
        DWORD put = 0;
        ok = WriteFile(file, data.data() + done, want, &put, nullptr) && put == want;
        done += put;
    }
    CloseHandle(file);
    return ok;
}

std::vector<unsigned char> Pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> data(size);
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<unsigned char>(x >> 11);
    }
    return data;
}

std::string LinuxPath(const std::wstring& path)
{
    typedef char*(CDECL * UnixName)(const wchar_t*);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto unixName =
        reinterpret_cast<UnixName>(reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
    if (unixName == nullptr)
        return std::string();
    char* name = unixName(path.c_str());
    if (name == nullptr)
        return std::string();
    const std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool RunLinuxShell(const std::string& command, std::string* output, DWORD timeoutMs)
{
    // Wine starts a Linux program without a handle to wait on: the output is
    // renamed into place once the command has finished.
    const std::wstring answer = TempPath(L"shell-" + std::to_wstring(GetTickCount()) + L".out");
    const std::string target = LinuxPath(answer);
    if (target.empty())
        return false;
    std::string script = "(" + command + ") >'" + target + ".part' 2>&1; mv '" + target + ".part' '" + target + "'";
    std::string line = "/bin/sh -c \"";
    for (char c : script)
        line += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    line += "\"";
    std::wstring wide(line.begin(), line.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &wide[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const bool done =
        PumpUntil([&] { return GetFileAttributesW(answer.c_str()) != INVALID_FILE_ATTRIBUTES; }, timeoutMs);
    std::vector<unsigned char> text;
    const bool read = done && ReadWholeFile(answer, &text);
    DeleteFileW(answer.c_str());
    if (output != nullptr)
        output->assign(text.begin(), text.end());
    return read;
}

} // namespace ts
