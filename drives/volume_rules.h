// Which volumes stand in the way of a raw transfer: decisions over the disk
// numbers and extents that the system reports, free of any system call.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <string>
#include <vector>

// One volume as the system lists it.
struct VolumeLayout {
    std::wstring DevicePath;  // the volume's name without its trailing backslash, ready for CreateFileW
    std::vector<DWORD> Disks; // the disk number of each of its extents
};

// True for a path that names a physical drive (\\.\PHYSICALDRIVEn, any case): the
// drives Windows lists. Where the volumes of such a drive can't be told, nothing
// may be written to it.
bool IsPhysicalDrivePath(const std::wstring& path);

// True when a volume whose extents query failed with `extentsError` has no
// extents on any disk: a CD or DVD, a network drive, a drive without a medium
// (ERROR_NOT_READY), or a volume whose driver has no extents to give (a floppy
// drive, a RAM disk, a mounted image: ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED).
// `driveType` is what GetDriveTypeW says of its root.
bool VolumeWithoutExtents(UINT driveType, DWORD extentsError);

// The disk number of a device, when the device is a disk at all.
bool DiskNumberOf(const STORAGE_DEVICE_NUMBER& number, DWORD* disk);

// A volume name as FindFirstVolumeW gives it ("\\?\Volume{...}\") turned into
// the path that opens the volume itself rather than its root folder.
std::wstring VolumeDevicePath(const std::wstring& volumeName);

// Bytes an extents block needs to hold `count` extents.
size_t ExtentsBlockSize(DWORD count);

// The disk numbers of a filled extents block of `bytes` bytes. False when the
// block is shorter than the count of extents it claims.
bool ReadExtentDisks(const VOLUME_DISK_EXTENTS& block, size_t bytes, std::vector<DWORD>* disks);

// True when any extent lies on `disk`: a volume spanning several disks lies on each of them.
bool LiesOnDisk(const std::vector<DWORD>& extentDisks, DWORD disk);

// Device paths of the volumes that lie on `disk`, in the order listed.
std::vector<std::wstring> VolumesOnDisk(const std::vector<VolumeLayout>& volumes, DWORD disk);
