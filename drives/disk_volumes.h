// Keeping the target disk's volumes out of the way of a raw transfer.
#pragma once

#include <windows.h>

struct AppState;

// False (after an error box) when the image file lies on a volume of the
// disk open in state.DiskHandle. True when it does not, or when the system
// can't tell which disk holds the path.
bool CheckImageNotOnDisk(AppState& state, const wchar_t* imagePath);
// Restore: locks and dismounts every volume of the disk open in
// state.DiskHandle, keeping the handles in state.VolumeHandles. False (after
// an error box) when a volume can't be locked; nothing has been written then.
bool TakeVolumesOffline(AppState& state);
// Unlocks and closes what TakeVolumesOffline kept; called after CloseDisk.
void ReleaseVolumes(AppState& state);
