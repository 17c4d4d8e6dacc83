#include "drives/drive_list.h"

#include <windows.h>

#include <algorithm>

#include "engine/app_state.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "resource.h"

namespace {

// Device paths begin with the four characters \\.\; the combo box leaves them out.
const size_t kDevicePrefixLength = 4;

void ClearDetails(HWND dialog)
{
    while (SendDlgItemMessageW(dialog, IDC_DETAILS, LB_GETCOUNT, 0, 0) > 0) {
        if (SendDlgItemMessageW(dialog, IDC_DETAILS, LB_DELETESTRING, 0, 0) == LB_ERR)
            break;
    }
}

void AddDetailLine(HWND dialog, const std::wstring& line)
{
    SendDlgItemMessageW(dialog, IDC_DETAILS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

} // namespace

std::wstring ComboTextFor(const DriveRecord& drive)
{
    // A path no longer than the prefix keeps its whole text rather than showing an empty entry.
    if (drive.DeviceID.size() <= kDevicePrefixLength)
        return drive.DeviceID;
    return drive.DeviceID.substr(kDevicePrefixLength);
}

void SortDriveList(std::vector<DriveRecord>& list)
{
    std::sort(list.begin(), list.end(), DriveRecordLess);
}

bool SelectDrive(AppState& state, int32_t index)
{
    const HWND dialog = state.MainWindow;
    ClearDetails(dialog);

    const int64_t count = static_cast<int64_t>(state.DriveList.size());
    if (count == 0 || index < -1 || index >= count) {
        ShowErrorBox(state, L"Could not open this physical drive!");
        return false;
    }

    state.SelectedIndex = index;
    SendDlgItemMessageW(dialog, IDC_DRIVE_COMBO, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (index == -1)
        return true;

    const DriveRecord& drive = state.DriveList[static_cast<size_t>(index)];
    AddDetailLine(dialog, drive.Caption);
    AddDetailLine(dialog, FormatByteCount(static_cast<uint64_t>(drive.DiskGeometry.DiskSize.QuadPart)) + L"Bytes");
    AddDetailLine(dialog, drive.MediaDescription);
    AddDetailLine(dialog, drive.InterfaceType);
    SetStatusText(L"Physical drive selected");
    return true;
}
