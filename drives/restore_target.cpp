#include "drives/restore_target.h"

#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "drives/layout_rules.h"
#include "drives/medium_identity.h"
#include "engine/app_state.h"
#include "report/error_box.h"

bool CheckTargetWritable(AppState& state)
{
    DWORD returned = 0;
    if (DeviceIoControl(state.DiskHandle, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned, nullptr) ||
        GetLastError() != ERROR_WRITE_PROTECT)
        return true;
    ShowErrorBox(state, L"The selected physical disk is write-protected!");
    return false;
}

bool CheckTargetStandsAlone(AppState& state)
{
    std::vector<BYTE> layout;
    if (!ReadDriveLayout(state.DiskHandle, &layout) ||
        !LayoutJoinsOtherDisks(layout.data(), static_cast<DWORD>(layout.size())))
        return true;
    ShowErrorBox(state, L"The selected physical disk is a dynamic disk or part of a storage pool,\n"
                        L"writing it would break volumes on other disks!");
    return false;
}
