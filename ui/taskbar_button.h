// The job's progress on the program's taskbar button (Windows 7 and later).
// Every call of the taskbar's interface is made on the dialog's thread: the job
// thread posts what it has to tell. Where the interface is missing nothing shows.
#pragma once

#include <windows.h>
#include <objbase.h>

enum class TaskbarState { None, Running, Paused, Error };

// Posted to the main dialog. wParam: the TaskbarState.
#define WM_TASKBAR_STATE (WM_APP + 12)
// Posted to the main dialog. wParam: thousandths of the job done.
#define WM_TASKBAR_PROGRESS (WM_APP + 13)

// The taskbar's interface, declared here: the platform headers hide it from a
// program built for Windows XP. Only the methods up to SetProgressState are used.
struct ITaskbarProgressList : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HrInit() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddTab(HWND window) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteTab(HWND window) = 0;
    virtual HRESULT STDMETHODCALLTYPE ActivateTab(HWND window) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND window) = 0;
    virtual HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND window, BOOL fullscreen) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProgressValue(HWND window, ULONGLONG completed, ULONGLONG total) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, int flags) = 0;
};

// The taskbar's class and its progress interface (version 3 of the list).
extern const CLSID CLSID_TaskbarButtonList;
extern const IID IID_TaskbarProgressList;
// The flags of SetProgressState.
enum : int { kTaskbarNoProgress = 0, kTaskbarNormal = 2, kTaskbarError = 4, kTaskbarPaused = 8 };

// From any thread: tell the dialog, without waiting for it.
void PostTaskbarState(HWND dialog, TaskbarState state);
void PostTaskbarProgress(HWND dialog, int permille);

// On the dialog's thread, COM initialised there:
// registers the message that announces the button and lets it through to an elevated program.
void PrepareTaskbarButton(HWND dialog);
bool IsTaskbarButtonCreated(UINT message);
// (Re)creates the interface: the button is new whenever the message comes (Explorer restarted).
void OnTaskbarButtonCreated(HWND dialog);
void ShowTaskbarState(HWND dialog, TaskbarState state);
void ShowTaskbarProgress(HWND dialog, int permille);
// Gives the interface back; before COM is uninitialised.
void ReleaseTaskbarButton();
