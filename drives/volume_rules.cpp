#include "drives/volume_rules.h"

#include <algorithm>
#include <cwctype>

bool IsPhysicalDrivePath(const std::wstring& path)
{
    static const wchar_t kPrefix[] = L"\\\\.\\PHYSICALDRIVE";
    const size_t length = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
    if (path.size() <= length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (towupper(path[i]) != kPrefix[i])
            return false;
    return true;
}

bool VolumeWithoutExtents(UINT driveType, DWORD extentsError)
{
    // A floppy drive, a RAM disk or a mounted image file: its driver has no extents to give.
    const bool noExtents = extentsError == ERROR_INVALID_FUNCTION || extentsError == ERROR_NOT_SUPPORTED;
    return driveType == DRIVE_CDROM || driveType == DRIVE_REMOTE || extentsError == ERROR_NOT_READY || noExtents;
}

bool DiskNumberOf(const STORAGE_DEVICE_NUMBER& number, DWORD* disk)
{
    // A CD or another kind of device has no volumes we could take out of the way.
    if (number.DeviceType != FILE_DEVICE_DISK)
        return false;
    *disk = number.DeviceNumber;
    return true;
}

std::wstring VolumeDevicePath(const std::wstring& volumeName)
{
    // With the backslash, CreateFileW would open the root folder of the file system.
    if (!volumeName.empty() && volumeName.back() == L'\\')
        return volumeName.substr(0, volumeName.size() - 1);
    return volumeName;
}

size_t ExtentsBlockSize(DWORD count)
{
    const size_t needed = offsetof(VOLUME_DISK_EXTENTS, Extents) + static_cast<size_t>(count) * sizeof(DISK_EXTENT);
    return std::max(needed, sizeof(VOLUME_DISK_EXTENTS));
}

bool ReadExtentDisks(const VOLUME_DISK_EXTENTS& block, size_t bytes, std::vector<DWORD>* disks)
{
    disks->clear();
    if (bytes < offsetof(VOLUME_DISK_EXTENTS, Extents))
        return false;
    const size_t room = (bytes - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT);
    if (block.NumberOfDiskExtents > room)
        return false;
    for (DWORD i = 0; i < block.NumberOfDiskExtents; ++i)
        disks->push_back(block.Extents[i].DiskNumber);
    return true;
}

bool LiesOnDisk(const std::vector<DWORD>& extentDisks, DWORD disk)
{
    return std::find(extentDisks.begin(), extentDisks.end(), disk) != extentDisks.end();
}

std::vector<std::wstring> VolumesOnDisk(const std::vector<VolumeLayout>& volumes, DWORD disk)
{
    std::vector<std::wstring> onDisk;
    for (const VolumeLayout& volume : volumes) {
        if (LiesOnDisk(volume.Disks, disk))
            onDisk.push_back(volume.DevicePath);
    }
    return onDisk;
}
