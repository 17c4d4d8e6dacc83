#include "ui/main_dialog.h"

#include <commctrl.h>

#include "drives/drive_list.h"
#include "drives/wmi_enum.h"
#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "resource.h"
#include "ui/device_watch.h"
#include "ui/file_select.h"
#include "ui/startup.h"
#include "ui/taskbar_button.h"
#include "ui/verify_option.h"

static WNDPROC EditOwnProc = nullptr;
// The operator closed the window while a job ran: quit once it has ended.
static bool QuitPending = false;

void ReportNoDrives(HWND dialog)
{
    MessageBoxW(dialog, L"Could not enumerate any physical drive!", L"Disk error", MB_OK | MB_ICONERROR);
}

static INT_PTR OnInitDialog(HWND dialog)
{
    g_App->MainWindow = dialog;
    if (InitWmi() && EnumerateDrives() == 0)
        ReportNoDrives(dialog);
    // Without the registration the volume broadcasts still tell of most changes.
    StartDeviceWatch(dialog);
    HWND edit = GetDlgItem(dialog, IDC_FILE_NAME);
    SendMessageW(edit, EM_LIMITTEXT, FileNameEditLimit, 0);
    PrepareTaskbarButton(dialog);
    EditOwnProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FileNameEditProc)));
    return TRUE;
}

static void QuitProgram(HWND dialog)
{
    StopDeviceWatch(dialog);
    EndDialog(dialog, IDCANCEL);
    PostQuitMessage(0);
}

static INT_PTR OnClose(HWND dialog)
{
    // The job still uses AppState: ask it to stop and quit when it has ended.
    if (IsJobRunning()) {
        QuitPending = true;
        RequestCancel();
        return TRUE;
    }
    QuitProgram(dialog);
    return TRUE;
}

static INT_PTR OnJobEndedMessage(HWND dialog)
{
    OnJobEnded();
    // No to the cancel question that the close brought keeps the program too.
    const bool quit = QuitPending && !CancelWasDeclined();
    QuitPending = false;
    if (quit)
        QuitProgram(dialog);
    else
        RefreshIfDevicesChanged(dialog);
    return TRUE;
}

static INT_PTR OnQueryEndSession(HWND dialog)
{
    // A log-off or shut-down in the middle of a restore leaves a half-written disk.
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, IsJobRunning() ? FALSE : TRUE);
    return TRUE;
}

static INT_PTR OnDeviceChange(HWND dialog, WPARAM event, LPARAM data)
{
    NoteDeviceChange(dialog, event, data);
    // The system's default answer grants every request to remove a device.
    return FALSE;
}

static INT_PTR OnDeviceTimer(HWND dialog, WPARAM id)
{
    if (id != kDeviceRefreshTimer)
        return FALSE;
    OnDeviceRefreshTimer(dialog);
    return TRUE;
}

static INT_PTR OnDestroy(HWND dialog)
{
    StopDeviceWatch(dialog);
    return FALSE;
}

static INT_PTR OnRefresh(HWND dialog)
{
    if (EnumerateDrives() == 0)
        ReportNoDrives(dialog);
    return FALSE;
}

static INT_PTR OnDriveCombo(HWND dialog, WORD notification)
{
    if (notification == CBN_SELCHANGE) {
        const LRESULT index = SendDlgItemMessageW(dialog, IDC_DRIVE_COMBO, CB_GETCURSEL, 0, 0);
        SelectDrive(*g_App, static_cast<int32_t>(index));
    }
    return FALSE;
}

static INT_PTR OnAllowEdit(HWND dialog)
{
    const BOOL locked = IsDlgButtonChecked(dialog, IDC_ALLOW_EDIT) == BST_CHECKED ? FALSE : TRUE;
    SendDlgItemMessageW(dialog, IDC_FILE_NAME, EM_SETREADONLY, locked, 0);
    return FALSE;
}

static INT_PTR OnRestore(HWND dialog)
{
    const int answer = MessageBoxW(dialog, L"All data at the physical disk will be lost!\n\nCONTINUE ?",
                                   L"Write data to disk", MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2);
    if (answer == IDYES)
        StartImageJob(JobKind::Restore);
    return FALSE;
}

static INT_PTR OnAbout()
{
    return DialogBoxParamW(g_Instance, MAKEINTRESOURCEW(IDD_ABOUT), nullptr, AboutBoxProc, 0);
}

static INT_PTR OnCommand(HWND dialog, WORD id, WORD notification)
{
    switch (id) {
    case IDCANCEL:
        return OnClose(dialog);
    case IDC_REFRESH:
        return OnRefresh(dialog);
    case IDC_DRIVE_COMBO:
        return OnDriveCombo(dialog, notification);
    case IDC_SELECT:
        SelectImageFile();
        return FALSE;
    case IDC_CREATE:
        StartImageJob(JobKind::Create);
        return FALSE;
    case IDC_ALLOW_EDIT:
        return OnAllowEdit(dialog);
    case IDC_RESTORE:
        return OnRestore(dialog);
    case IDC_CANCEL:
        RequestCancel();
        return FALSE;
    case IDC_ABOUT:
        return OnAbout();
    default:
        return FALSE;
    }
}

static INT_PTR OnSysCommand(HWND dialog, WPARAM command)
{
    // The low four bits of a system command are the system's own.
    return ToggleMenuChoice(dialog, static_cast<UINT>(command & 0xFFF0)) ? TRUE : FALSE;
}

static INT_PTR OnListBoxColour(HWND dialog, HDC context, HWND list)
{
    if (list != GetDlgItem(dialog, IDC_DETAILS))
        return FALSE;
    SetBkMode(context, TRANSPARENT);
    // The list box paints its lines opaquely in the background colour, whatever the mode.
    SetBkColor(context, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<INT_PTR>(BackgroundBrush);
}

// Registered messages have no fixed number to switch on.
static INT_PTR OnOtherMessage(HWND dialog, UINT message)
{
    if (!IsTaskbarButtonCreated(message))
        return FALSE;
    OnTaskbarButtonCreated(dialog);
    return TRUE;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
    case WM_SYSCOMMAND:
        return OnSysCommand(dialog, wParam);
    case WM_CTLCOLORLISTBOX:
        return OnListBoxColour(dialog, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_JOB_ENDED:
        return OnJobEndedMessage(dialog);
    case WM_QUERYENDSESSION:
        return OnQueryEndSession(dialog);
    case WM_DEVICECHANGE:
        return OnDeviceChange(dialog, wParam, lParam);
    case WM_TIMER:
        return OnDeviceTimer(dialog, wParam);
    case WM_POWERBROADCAST:
        // Every request is granted: the answer is the system's default.
        NoteResume(dialog, wParam);
        return FALSE;
    case WM_DESTROY:
        return OnDestroy(dialog);
    case WM_TASKBAR_STATE:
        ShowTaskbarState(dialog, static_cast<TaskbarState>(wParam));
        return TRUE;
    case WM_TASKBAR_PROGRESS:
        ShowTaskbarProgress(dialog, static_cast<int>(wParam));
        return TRUE;
    default:
        return OnOtherMessage(dialog, message);
    }
}

LRESULT CALLBACK FileNameEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Every key belongs to the edit while it has the focus: Tab, Esc and Enter too.
    if (message == WM_GETDLGCODE)
        return DLGC_WANTALLKEYS;
    if (message == WM_KEYDOWN && wParam == VK_RETURN) {
        SendMessageW(edit, EM_SETREADONLY, TRUE, 0);
        CheckDlgButton(GetParent(edit), IDC_ALLOW_EDIT, BST_UNCHECKED);
    }
    return CallWindowProcW(EditOwnProc, edit, message, wParam, lParam);
}

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_ABOUT_OK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
