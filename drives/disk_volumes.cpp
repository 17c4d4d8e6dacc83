#include "drives/disk_volumes.h"

#include "engine/app_state.h"

bool CheckImageNotOnDisk(AppState&, const wchar_t*)
{
    return true;
}

bool TakeVolumesOffline(AppState&)
{
    return true;
}

void ReleaseVolumes(AppState&)
{
}
