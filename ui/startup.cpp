#include "ui/startup.h"

#include <commctrl.h>

#include "engine/app_state.h"
#include "resource.h"
#include "ui/file_select.h"
#include "ui/main_dialog.h"
#include "ui/taskbar_button.h"
#include "ui/verify_option.h"

HINSTANCE g_Instance = nullptr;
HWND g_MainWindow = nullptr;
HWND g_StatusBar = nullptr;
HBRUSH BackgroundBrush = nullptr;

static HANDLE InstanceMutex = nullptr;

#ifndef _WIN64
static_assert(sizeof(TOOLINFOW) == 48, "the 32-bit tool record is 48 bytes");
#endif

static const wchar_t FirstStatusText[] = L"Please select a physical drive!";

static void AddControlTip(HWND dialog, int controlId, const wchar_t* text)
{
    HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, dialog, nullptr, g_Instance, nullptr);
    if (tip == nullptr)
        return;
    TOOLINFOW tool;
    ZeroMemory(&tool, sizeof(tool));
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = dialog;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, controlId));
    tool.lpszText = const_cast<wchar_t*>(text);
    SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

static void AddControlTips(HWND dialog)
{
    static const struct {
        int id;
        const wchar_t* text;
    } tips[] = {
        {IDC_CREATE, L"Create image from physical drive"},
        {IDC_RESTORE, L"Restore image on physical drive"},
        {IDC_REFRESH, L"Refresh list of drives"},
        {IDC_SELECT, L"Select filename of the image"},
        {IDC_ALLOW_EDIT, L"Allow manual edit of the filename"},
        {IDC_CANCEL, L"Cancel image processing"},
        {IDC_ABOUT, L"About program"},
    };
    for (const auto& tip : tips)
        AddControlTip(dialog, tip.id, tip.text);
}

HWND CreateMainWindow()
{
    HWND dialog = CreateDialogParamW(g_Instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (dialog == nullptr)
        return nullptr;
    g_StatusBar = CreateWindowExW(0, STATUSCLASSNAMEW, FirstStatusText, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, dialog,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)), g_Instance, nullptr);
    AddControlTips(dialog);
    AddVerifyMenuItem(dialog);
    HICON icon = LoadIconW(g_Instance, MAKEINTRESOURCEW(IDI_MAIN));
    if (icon != nullptr)
        SetClassLongPtrW(dialog, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
    ShowMainWindow(dialog);
    return dialog;
}

void ShowMainWindow(HWND dialog)
{
    // The first ShowWindow of a process may take the launcher's show state. The dialog has
    // one fixed size and no maximise box: hidden, minimised and maximised all end normal.
    ShowWindow(dialog, SW_SHOW);
    if (!IsWindowVisible(dialog) || IsIconic(dialog) || IsZoomed(dialog))
        ShowWindow(dialog, SW_SHOWNORMAL);
}

const wchar_t* StartupWarningText(bool otherInstanceRunning)
{
    if (otherInstanceRunning)
        return L"Several instances of this program\ncan't access one disk or one imagefile\nat a time!";
    return L"ABSOLUTELY NO WARRANTY!\n\nCareless use of this program\ncan disrupt data at your disk!";
}

static void ShowStartupWarning()
{
    InstanceMutex = CreateMutexW(nullptr, TRUE, L"KORVANE_BY_TALMOR");
    const bool otherInstanceRunning = GetLastError() == ERROR_ALREADY_EXISTS;
    MessageBoxW(g_MainWindow, StartupWarningText(otherInstanceRunning), L"WARNING!", MB_OK | MB_ICONWARNING);
}

static int RunMessageLoop()
{
    MSG message = {};
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1)
            return 1;
        if (g_MainWindow == nullptr || !IsDialogMessageW(g_MainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

int RunKorvane(HINSTANCE instance)
{
    g_Instance = instance;
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
    if (!InitCommonControlsEx(&controls))
        return 1;

    g_App = CreateAppState();
    g_Registry = new RegistryHolder;
    BackgroundBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    g_MainWindow = CreateMainWindow();
    ShowStartupWarning();
    // Without the dialog nothing could ever end the message loop.
    const int exitCode = g_MainWindow != nullptr ? RunMessageLoop() : 1;

    // The close command lets a running job end first, so no worker uses AppState now.
    DeleteObject(BackgroundBrush);
    if (InstanceMutex != nullptr) {
        ReleaseMutex(InstanceMutex);
        CloseHandle(InstanceMutex);
        InstanceMutex = nullptr;
    }
    // Before COM goes with the record.
    ReleaseTaskbarButton();
    DestroyAppState(g_App);
    g_App = nullptr;
    delete g_Registry;
    g_Registry = nullptr;
    return exitCode;
}
