#include "ui/device_watch.h"

#include <commctrl.h>

#include <cstring>
#include <string>

#include "drives/drive_list.h"
#include "drives/wmi_enum.h"
#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "report/error_box.h"
#include "resource.h"
#include "ui/main_dialog.h"

namespace {

// GUID_DEVINTERFACE_DISK, spelled out: not every toolchain's libraries define it.
const GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// All of these belong to the user-interface thread.
HDEVNOTIFY DiskNotification = nullptr;
// A change came while a job ran. The job's own locking and dismounting of
// volumes brings such notices too: the list stays as it is until the job has ended.
bool ChangedDuringJob = false;
// A refresh is under way; its boxes run a message loop in which the timer may fire.
bool Refreshing = false;
// A change came during that refresh: one more follows it.
bool ChangedWhileRefreshing = false;
// The machine resumed since the last refresh: the selection's count of medium changes may have moved.
bool Resumed = false;

// Setting the timer again restarts it: a burst ends in one refresh.
bool ArmRefreshTimer(HWND dialog)
{
    return SetTimer(dialog, kDeviceRefreshTimer, kDeviceRefreshDelayMs, nullptr) != 0;
}

std::wstring StatusShown(HWND dialog)
{
    const HWND bar = GetDlgItem(dialog, IDC_STATUS);
    const LRESULT length = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, 0, 0));
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(length));
    return text;
}

void RefreshOnce(HWND dialog)
{
    AppState& state = *g_App;
    const bool hadSelection =
        state.SelectedIndex >= 0 && static_cast<size_t>(state.SelectedIndex) < state.DriveList.size();
    DriveRecord selected;
    if (hadSelection)
        selected = state.DriveList[static_cast<size_t>(state.SelectedIndex)];
    const std::wstring status = StatusShown(dialog);
    // Leaves nothing selected, no details and the status that asks for a drive.
    if (EnumerateDrives() == 0)
        ReportNoDrives(dialog);
    if (!hadSelection)
        return;
    // The same medium is still there: it stays chosen, and the status (a job's last
    // figures, say) stays as it was.
    int32_t found = FindSameMedium(state.DriveList, selected);
    for (size_t i = 0; found < 0 && Resumed && i < state.DriveList.size(); ++i) {
        DriveRecord slept = selected;
        slept.Identity.ChangeCount = state.DriveList[i].Identity.ChangeCount;
        if (SameMedium(slept, state.DriveList[i]))
            found = static_cast<int32_t>(i);
    }
    if (found >= 0 && SelectDrive(state, found))
        SetStatusText(status);
}

void RefreshKeepingSelection(HWND dialog)
{
    if (Refreshing) {
        ChangedWhileRefreshing = true;
        return;
    }
    Refreshing = true;
    do {
        ChangedWhileRefreshing = false;
        RefreshOnce(dialog);
    } while (ChangedWhileRefreshing);
    Resumed = false;
    Refreshing = false;
}

} // namespace

bool IsMediaChangeNotice(WPARAM event, const DEV_BROADCAST_HDR* header)
{
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || header == nullptr)
        return false;
    if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
        if (header->dbch_size < sizeof(DEV_BROADCAST_VOLUME))
            return false;
        // A network share lies on no disk of this machine.
        const DEV_BROADCAST_VOLUME* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
        return (volume->dbcv_flags & DBTF_NET) == 0;
    }
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W))
            return false;
        const DEV_BROADCAST_DEVICEINTERFACE_W* device =
            reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
        return std::memcmp(&device->dbcc_classguid, &kDiskInterface, sizeof(GUID)) == 0;
    }
    return false;
}

int32_t FindSameMedium(const std::vector<DriveRecord>& list, const DriveRecord& selected)
{
    for (size_t i = 0; i < list.size(); ++i)
        if (SameMedium(selected, list[i]))
            return static_cast<int32_t>(i);
    return -1;
}

bool StartDeviceWatch(HWND dialog)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kDiskInterface;
    DiskNotification = RegisterDeviceNotificationW(dialog, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return DiskNotification != nullptr;
}

void StopDeviceWatch(HWND dialog)
{
    if (DiskNotification != nullptr)
        UnregisterDeviceNotification(DiskNotification);
    DiskNotification = nullptr;
    KillTimer(dialog, kDeviceRefreshTimer);
    ChangedDuringJob = false;
}

void NoteDeviceChange(HWND dialog, WPARAM event, LPARAM data)
{
    if (!IsMediaChangeNotice(event, reinterpret_cast<const DEV_BROADCAST_HDR*>(data)))
        return;
    if (IsJobRunning()) {
        ChangedDuringJob = true;
        return;
    }
    if (!ArmRefreshTimer(dialog))
        RefreshKeepingSelection(dialog);
}

void NoteResume(HWND dialog, WPARAM event)
{
    if (event != PBT_APMRESUMEAUTOMATIC && event != PBT_APMRESUMESUSPEND)
        return;
    Resumed = true;
    if (IsJobRunning()) {
        ChangedDuringJob = true;
        return;
    }
    if (!ArmRefreshTimer(dialog))
        RefreshKeepingSelection(dialog);
}

void OnDeviceRefreshTimer(HWND dialog)
{
    KillTimer(dialog, kDeviceRefreshTimer);
    // A job started since the notice: the refresh waits for its end.
    if (IsJobRunning()) {
        ChangedDuringJob = true;
        return;
    }
    RefreshKeepingSelection(dialog);
}

void RefreshIfDevicesChanged(HWND dialog)
{
    if (!ChangedDuringJob || IsJobRunning())
        return;
    ChangedDuringJob = false;
    RefreshKeepingSelection(dialog);
}
