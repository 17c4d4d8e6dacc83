#include "ui/taskbar_button.h"

// {56FDF344-FD6D-11d0-958A-006097C9A090}
const CLSID CLSID_TaskbarButtonList = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
// {EA1AFB91-9E28-4B86-90E9-9E9F8A5EEFAF}
const IID IID_TaskbarProgressList = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

namespace {

// Both used on the dialog's thread only.
UINT ButtonCreatedMessage = 0;
ITaskbarProgressList* Taskbar = nullptr;
// What the button should show, kept so that a button made anew shows it too.
TaskbarState ShownState = TaskbarState::None;
int ShownPermille = 0;

int StateFlags(TaskbarState state)
{
    switch (state) {
    case TaskbarState::Running:
        return kTaskbarNormal;
    case TaskbarState::Paused:
        return kTaskbarPaused;
    case TaskbarState::Error:
        return kTaskbarError;
    default:
        return kTaskbarNoProgress;
    }
}

// The results are not checked: a button that can't show progress is no failure of the job.
void Apply(HWND dialog)
{
    if (Taskbar == nullptr)
        return;
    Taskbar->SetProgressState(dialog, StateFlags(ShownState));
    if (ShownState != TaskbarState::None)
        Taskbar->SetProgressValue(dialog, static_cast<ULONGLONG>(ShownPermille), 1000);
}

} // namespace

void PostTaskbarState(HWND dialog, TaskbarState state)
{
    PostMessageW(dialog, WM_TASKBAR_STATE, static_cast<WPARAM>(state), 0);
}

void PostTaskbarProgress(HWND dialog, int permille)
{
    PostMessageW(dialog, WM_TASKBAR_PROGRESS, static_cast<WPARAM>(permille), 0);
}

void PrepareTaskbarButton(HWND dialog)
{
    ButtonCreatedMessage = RegisterWindowMessageW(L"TaskbarButtonCreated");
    if (ButtonCreatedMessage == 0)
        return;
    // An elevated program hears this message from Explorer only when it asks to
    // (Windows 7 and later; not there before, where the button shows no progress).
    typedef BOOL(WINAPI * FilterProc)(HWND, UINT, DWORD, void*);
    const HMODULE user = GetModuleHandleW(L"user32.dll");
    const FilterProc allow =
        user != nullptr
            ? reinterpret_cast<FilterProc>(reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilterEx")))
            : nullptr;
    if (allow != nullptr)
        allow(dialog, ButtonCreatedMessage, 1 /* MSGFLT_ALLOW */, nullptr);
}

bool IsTaskbarButtonCreated(UINT message)
{
    return ButtonCreatedMessage != 0 && message == ButtonCreatedMessage;
}

void OnTaskbarButtonCreated(HWND dialog)
{
    ReleaseTaskbarButton();
    void* created = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarButtonList, nullptr, CLSCTX_INPROC_SERVER, IID_TaskbarProgressList,
                                &created)) ||
        created == nullptr)
        return;
    Taskbar = static_cast<ITaskbarProgressList*>(created);
    if (FAILED(Taskbar->HrInit())) {
        ReleaseTaskbarButton();
        return;
    }
    if (ShownState != TaskbarState::None)
        Apply(dialog);
}

void ShowTaskbarState(HWND dialog, TaskbarState state)
{
    ShownState = state;
    if (state == TaskbarState::None)
        ShownPermille = 0;
    if (Taskbar != nullptr)
        Taskbar->SetProgressState(dialog, StateFlags(state));
}

void ShowTaskbarProgress(HWND dialog, int permille)
{
    // Late news of a job that has ended must not bring the bar back.
    if (ShownState == TaskbarState::None)
        return;
    ShownPermille = permille;
    if (Taskbar != nullptr)
        Taskbar->SetProgressValue(dialog, static_cast<ULONGLONG>(permille), 1000);
}

void ReleaseTaskbarButton()
{
    if (Taskbar != nullptr)
        Taskbar->Release();
    Taskbar = nullptr;
}
