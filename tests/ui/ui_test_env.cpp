#include "tests/ui/ui_test_env.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "engine/app_state.h"
#include "tests/support/win_test_support.h"
#include "ui/file_select.h"
#include "ui/startup.h"

static HWND TheMainWindow = nullptr;
static std::wstring FirstStatus;

std::wstring InitialStatusText()
{
    return FirstStatus;
}

HWND MainWindow()
{
    return TheMainWindow;
}

HWND Control(int id)
{
    return GetDlgItem(TheMainWindow, id);
}

namespace {

// Start-up's steps up to the message loop, as the program takes them.
class MainWindowEnvironment : public testing::Environment {
  public:
    void SetUp() override
    {
        g_Instance = GetModuleHandleW(nullptr);
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
        ASSERT_TRUE(InitCommonControlsEx(&controls));
        g_App = CreateAppState();
        g_Registry = new RegistryHolder;
        BackgroundBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
        // Boxes of the drive discovery (none when Wine lists its drive) are answered.
        ts::BoxWatcher boxes;
        g_MainWindow = TheMainWindow = CreateMainWindow();
        ASSERT_NE(TheMainWindow, nullptr);
        FirstStatus = ts::StatusText(g_StatusBar);
    }
    void TearDown() override
    {
        DestroyWindow(TheMainWindow);
        DeleteObject(BackgroundBrush);
        DestroyAppState(g_App);
        g_App = nullptr;
        delete g_Registry;
    }
};

testing::Environment* const environment = testing::AddGlobalTestEnvironment(new MainWindowEnvironment);

struct Search {
    std::wstring caption;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM param)
{
    Search* search = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (pid != GetCurrentProcessId() || window == TheMainWindow || std::wstring(className) != L"#32770" ||
        !IsWindowVisible(window))
        return TRUE;
    // The About box has an id-less static as message boxes do: tell them apart by caption.
    if (search->caption.empty() ? ts::IsMessageBox(window) : ts::WindowText(window) != search->caption)
        return TRUE;
    search->found = window;
    return FALSE;
}

} // namespace

HWND FindOwnDialog(const std::wstring& caption, DWORD timeoutMs)
{
    const ts::Deadline deadline(timeoutMs);
    do {
        Search search{caption, nullptr};
        EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr)
            return search.found;
        Sleep(20);
    } while (!deadline.Passed());
    return nullptr;
}

void WhileModal(const std::function<void()>& modal, const std::function<void()>& helper)
{
    std::atomic<bool> done{false};
    ts::TestThread thread([&] {
        helper();
        done = true;
    });
    modal();
    // The helper may still be answering: keep this thread's windows alive meanwhile.
    ts::PumpUntil([&] { return done.load(); }, 30000);
    thread.Join();
}
