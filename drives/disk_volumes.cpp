#include "drives/disk_volumes.h"

#include <winioctl.h>

#include <vector>

#include "drives/volume_rules.h"
#include "engine/app_state.h"
#include "report/error_box.h"

// Another program (an Explorer window, a virus scanner) may hold a volume for
// a moment; give it a few seconds before telling the operator.
static const int kLockTries = 20;
static const DWORD kLockPauseMs = 250;

static const wchar_t kVolumeInUseText[] = L"Can't lock a volume of the selected physical disk,\n"
                                          L"please close all programs and windows that use the drive!";
static const wchar_t kImageOnDiskText[] = L"The selected file lies on the selected physical disk,\n"
                                          L"please choose a file on another drive!";

bool ReadDiskNumber(HANDLE disk, DWORD* number)
{
    STORAGE_DEVICE_NUMBER device = {};
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device, sizeof(device), &returned,
                         nullptr))
        return false;
    if (returned < sizeof(device))
        return false;
    return DiskNumberOf(device, number);
}

bool ReadVolumeDisks(const std::wstring& devicePath, std::vector<DWORD>* disks)
{
    disks->clear();
    // No access rights asked: the query needs none, and a volume in use still answers.
    HANDLE volume =
        CreateFileW(devicePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    bool read = false;
    // LONGLONG elements keep the block aligned like the structure it holds.
    std::vector<LONGLONG> block;
    DWORD count = 1;
    // A volume spanning several disks answers ERROR_MORE_DATA with the count it needs;
    // the count may change between the calls, so ask a few times.
    for (int attempt = 0; attempt < 4 && !read; ++attempt) {
        const size_t bytes = ExtentsBlockSize(count);
        block.assign((bytes + sizeof(LONGLONG) - 1) / sizeof(LONGLONG), 0);
        VOLUME_DISK_EXTENTS* extents = reinterpret_cast<VOLUME_DISK_EXTENTS*>(block.data());
        DWORD returned = 0;
        if (DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, extents,
                            static_cast<DWORD>(bytes), &returned, nullptr)) {
            read = ReadExtentDisks(*extents, returned, disks);
            break;
        }
        if (GetLastError() != ERROR_MORE_DATA || extents->NumberOfDiskExtents <= count)
            break;
        count = extents->NumberOfDiskExtents;
    }
    CloseHandle(volume);
    return read;
}

bool ListVolumes(std::vector<VolumeLayout>* volumes)
{
    volumes->clear();
    wchar_t name[MAX_PATH] = {};
    HANDLE search = FindFirstVolumeW(name, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        VolumeLayout volume;
        volume.DevicePath = VolumeDevicePath(name);
        // A volume that can't tell its extents (an empty card reader slot, a CD) is no
        // volume of a disk we could lock; the transfer would then meet it as before.
        if (ReadVolumeDisks(volume.DevicePath, &volume.Disks))
            volumes->push_back(volume);
    } while (FindNextVolumeW(search, name, MAX_PATH));
    FindVolumeClose(search);
    return true;
}

// Opens, locks and dismounts one volume. The locked handle, or INVALID_HANDLE_VALUE.
static HANDLE TakeVolume(const std::wstring& devicePath)
{
    HANDLE volume = CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    DWORD returned = 0;
    bool locked = false;
    for (int attempt = 0; attempt < kLockTries && !locked; ++attempt) {
        if (attempt > 0)
            Sleep(kLockPauseMs);
        locked = DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
    }
    // Without the dismount the file system would keep what it cached of the old
    // contents and could write it back over the restored drive after the unlock.
    bool dismounted =
        locked && DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (dismounted)
        return volume;
    if (locked)
        DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(volume);
    return INVALID_HANDLE_VALUE;
}

bool LockVolumes(AppState& state, const std::vector<std::wstring>& devicePaths)
{
    for (const std::wstring& path : devicePaths) {
        HANDLE volume = TakeVolume(path);
        if (volume == INVALID_HANDLE_VALUE) {
            // Give the volumes back before the box waits for the operator.
            ReleaseVolumes(state);
            ShowErrorBox(state, kVolumeInUseText);
            return false;
        }
        state.VolumeHandles.push_back(volume);
    }
    return true;
}

bool TakeVolumesOffline(AppState& state)
{
    DWORD disk = 0;
    if (!IsOpenHandle(state.DiskHandle) || !ReadDiskNumber(state.DiskHandle, &disk))
        return true;
    std::vector<VolumeLayout> volumes;
    if (!ListVolumes(&volumes))
        return true;
    return LockVolumes(state, VolumesOnDisk(volumes, disk));
}

void ReleaseVolumes(AppState& state)
{
    for (HANDLE volume : state.VolumeHandles) {
        DWORD returned = 0;
        DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
        CloseHandle(volume);
    }
    state.VolumeHandles.clear();
}

bool ImageVolumePath(const wchar_t* imagePath, std::wstring* devicePath)
{
    devicePath->clear();
    if (imagePath == nullptr || imagePath[0] == L'\0')
        return false;
    // Sized by asking: a relative name under a deep current folder outgrows MAX_PATH.
    const DWORD fullLength = GetFullPathNameW(imagePath, 0, nullptr, nullptr);
    if (fullLength == 0)
        return false;
    std::vector<wchar_t> full(fullLength + 1, L'\0');
    const DWORD written = GetFullPathNameW(imagePath, static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (written == 0 || written >= full.size())
        return false;
    // The file need not exist yet (a create); the mount point above it does.
    std::vector<wchar_t> mountPoint(full.size() + 1, L'\0');
    if (!GetVolumePathNameW(full.data(), mountPoint.data(), static_cast<DWORD>(mountPoint.size())))
        return false;
    wchar_t volumeName[MAX_PATH] = {};
    if (!GetVolumeNameForVolumeMountPointW(mountPoint.data(), volumeName, MAX_PATH))
        return false;
    *devicePath = VolumeDevicePath(volumeName);
    return true;
}

bool CheckImageVolume(AppState& state, const std::vector<DWORD>& imageVolumeDisks, DWORD disk)
{
    if (!LiesOnDisk(imageVolumeDisks, disk))
        return true;
    ShowErrorBox(state, kImageOnDiskText);
    return false;
}

bool CheckImageNotOnDisk(AppState& state, const wchar_t* imagePath)
{
    DWORD disk = 0;
    if (!IsOpenHandle(state.DiskHandle) || !ReadDiskNumber(state.DiskHandle, &disk))
        return true;
    std::wstring volume;
    std::vector<DWORD> volumeDisks;
    if (!ImageVolumePath(imagePath, &volume) || !ReadVolumeDisks(volume, &volumeDisks))
        return true;
    return CheckImageVolume(state, volumeDisks, disk);
}
