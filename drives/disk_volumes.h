// Keeping the target disk's volumes out of the way of a raw transfer.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "drives/volume_rules.h"

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

// Their steps.

// The number of the disk open in `disk`; false when the device can't tell or is no disk.
bool ReadDiskNumber(HANDLE disk, DWORD* number);
// The disk numbers of the extents of the volume at `devicePath` (no trailing backslash).
bool ReadVolumeDisks(const std::wstring& devicePath, std::vector<DWORD>* disks);
// Every volume the system lists whose extents could be read. False when it lists none.
bool ListVolumes(std::vector<VolumeLayout>* volumes);
// Locks and dismounts each volume, keeping the handles in state.VolumeHandles. When one
// can't be taken, releases every held volume, shows the error box and returns false.
bool LockVolumes(AppState& state, const std::vector<std::wstring>& devicePaths);
// The device path of the volume that holds `imagePath`, which need not exist yet.
bool ImageVolumePath(const wchar_t* imagePath, std::wstring* devicePath);
// False (after the error box) when the image's volume, given by the disks of its extents, lies on `disk`.
bool CheckImageVolume(AppState& state, const std::vector<DWORD>& imageVolumeDisks, DWORD disk);
