// Keeping the selected disk's volumes out of the way of a raw transfer.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "drives/volume_rules.h"

struct AppState;

// False (after an error box) when the image file lies on a volume of the disk
// open in state.DiskHandle, or, when the selected drive is a physical drive,
// when the system can't tell where the file lies. A file on a network share
// or a CD lies on no disk.
bool CheckImageNotOnDisk(AppState& state, const wchar_t* imagePath);
// The path can pass through a junction or symbolic link onto the disk: false (after
// the error box) when the opened `file` has the serial number of a volume of the disk
// open in state.DiskHandle. Volumes that don't answer a serial hold no file system;
// a handle that can't tell its own passes (the caller checks what it opened).
bool CheckImageFileNotOnDisk(AppState& state, HANDLE file);
// The same for the folder that a file still to be created goes into.
bool CheckImageFolderNotOnDisk(AppState& state, const wchar_t* imagePath);
// Moves the program's own current folder to the program's folder, so that it
// holds no volume of the disk; a folder chosen in the file dialog would.
void LeaveCurrentFolder();
// Restore: locks and dismounts every volume of the disk open in
// state.DiskHandle, keeping the handles in state.VolumeHandles. False when a
// volume can't be taken or, for a physical drive, when its volumes can't be
// told (after an error box), or when a cancel was requested meanwhile (no box:
// the job tells its outcome). Nothing has been written then.
bool TakeVolumesOffline(AppState& state);
// Create: locks, without dismounting and with read access only, every volume of
// the disk open in state.DiskHandle while it is read, so that the image is
// consistent. Where one can't be locked, asks whether to read anyway (default No)
// and clears state.SourceVolumesLocked. False on No or when a cancel was requested
// meanwhile; every volume is released then.
bool LockVolumesForReading(AppState& state);
// Unlocks and closes what TakeVolumesOffline or LockVolumesForReading kept; called after CloseDisk.
void ReleaseVolumes(AppState& state);

// Their steps.

// The number of the disk open in `disk`; false when the device can't tell or is no disk.
bool ReadDiskNumber(HANDLE disk, DWORD* number);
// The disk numbers of the extents of the volume at `devicePath` (no trailing backslash).
// On failure `error` (when given) gets the reason.
bool ReadVolumeDisks(const std::wstring& devicePath, std::vector<DWORD>* disks, DWORD* error = nullptr);
// Every volume the system lists whose extents could be read. False when the list
// can't be read whole, or, when `strict`, when a volume's extents can't be read
// and the volume is not one without extents (see VolumeWithoutExtents).
bool ListVolumes(std::vector<VolumeLayout>* volumes, bool strict = false);
// Locks and dismounts each volume, keeping the handles in state.VolumeHandles. When one
// can't be taken, releases every held volume, shows the error box and returns false;
// when a cancel is requested, releases them and returns false without a box.
bool LockVolumes(AppState& state, const std::vector<std::wstring>& devicePaths);
// The device path of the volume that holds `imagePath`, which need not exist yet.
bool ImageVolumePath(const wchar_t* imagePath, std::wstring* devicePath);
// False (after the error box) when the image's volume, given by the disks of its extents, lies on `disk`.
bool CheckImageVolume(AppState& state, const std::vector<DWORD>& imageVolumeDisks, DWORD disk);
