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
static const wchar_t kVolumesUnknownText[] = L"Can't read the volumes of the selected physical disk,\n"
                                             L"please refresh the list of drives and try again!";
static const wchar_t kImagePlaceUnknownText[] = L"Can't tell on which drive the selected file lies,\n"
                                                L"please choose a file on another drive!";
static const wchar_t kReadInUseQuestion[] = L"Can't lock a volume of the selected physical disk,\n"
                                            L"the image may mix old and new data!\n\nCONTINUE ?";

// Where the volumes of a physical drive can't be told, they may be mounted: fail closed.
static bool SelectedIsPhysicalDrive(const AppState& state)
{
    if (state.SelectedIndex < 0 || static_cast<size_t>(state.SelectedIndex) >= state.DriveList.size())
        return false;
    return IsPhysicalDrivePath(state.DriveList[static_cast<size_t>(state.SelectedIndex)].DeviceID);
}

// Looks at the request without taking it: the job tells the outcome.
static bool CancelPending(AppState& state)
{
    EnterCriticalSection(&state.Lock);
    const bool requested = state.CancelRequested;
    LeaveCriticalSection(&state.Lock);
    return requested;
}

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

bool ReadVolumeDisks(const std::wstring& devicePath, std::vector<DWORD>* disks, DWORD* error)
{
    disks->clear();
    DWORD failure = ERROR_INVALID_DATA;
    // No access rights asked: the query needs none, and a volume in use still answers.
    HANDLE volume =
        CreateFileW(devicePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        if (error != nullptr)
            *error = GetLastError();
        return false;
    }
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
        failure = GetLastError();
        if (failure != ERROR_MORE_DATA || extents->NumberOfDiskExtents <= count)
            break;
        count = extents->NumberOfDiskExtents;
    }
    CloseHandle(volume);
    if (!read && error != nullptr)
        *error = failure;
    return read;
}

// A volume without a place on any disk, judged by the error of its extents query and its drive type.
static bool HasNoExtents(const std::wstring& devicePath, DWORD extentsError)
{
    const std::wstring root = devicePath + L"\\";
    return VolumeWithoutExtents(GetDriveTypeW(root.c_str()), extentsError);
}

bool ListVolumes(std::vector<VolumeLayout>* volumes, bool strict)
{
    volumes->clear();
    wchar_t name[MAX_PATH] = {};
    HANDLE search = FindFirstVolumeW(name, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_NO_MORE_FILES; // no volume at all
    bool whole = true;
    // Past a volume that can't be told: a create still locks every volume it can find.
    do {
        VolumeLayout volume;
        volume.DevicePath = VolumeDevicePath(name);
        DWORD error = 0;
        if (ReadVolumeDisks(volume.DevicePath, &volume.Disks, &error))
            volumes->push_back(volume);
        else if (strict && !HasNoExtents(volume.DevicePath, error))
            whole = false;
    } while (FindNextVolumeW(search, name, MAX_PATH));
    // A list that ended early may have left out a volume of the disk.
    if (GetLastError() != ERROR_NO_MORE_FILES)
        whole = false;
    FindVolumeClose(search);
    return whole;
}

// The device paths of the volumes of the disk open in state.DiskHandle. False when
// they can't all be told for a physical drive (those that could are given all the
// same); for anything else (a file standing in for a drive) an unknown disk has no volumes.
static bool FindVolumesOfDisk(AppState& state, std::vector<std::wstring>* paths)
{
    paths->clear();
    const bool strict = SelectedIsPhysicalDrive(state);
    DWORD disk = 0;
    if (!IsOpenHandle(state.DiskHandle) || !ReadDiskNumber(state.DiskHandle, &disk))
        return !strict;
    std::vector<VolumeLayout> volumes;
    const bool whole = ListVolumes(&volumes, strict);
    *paths = VolumesOnDisk(volumes, disk);
    return whole || !strict;
}

// Opens and locks one volume, and dismounts it when asked. The locked handle, or
// INVALID_HANDLE_VALUE when it can't be taken or a cancel was requested meanwhile.
// Only a dismount asks for write access: a write-protected medium opens its volumes
// for reading only, and a create must still be able to lock them.
static HANDLE TakeVolume(AppState& state, const std::wstring& devicePath, bool dismount)
{
    const DWORD access = dismount ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    HANDLE volume = CreateFileW(devicePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    DWORD returned = 0;
    bool locked = false;
    for (int attempt = 0; attempt < kLockTries && !locked; ++attempt) {
        if (attempt > 0) {
            // Cancel, Esc or closing the window ends the wait.
            if (CancelPending(state))
                break;
            Sleep(kLockPauseMs);
        }
        locked = DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
    }
    // Without the dismount the file system would keep what it cached of the old
    // contents and could write it back over the restored drive after the unlock.
    bool taken = locked;
    if (locked && dismount)
        taken = DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
    if (taken)
        return volume;
    if (locked)
        DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(volume);
    return INVALID_HANDLE_VALUE;
}

bool LockVolumes(AppState& state, const std::vector<std::wstring>& devicePaths)
{
    for (const std::wstring& path : devicePaths) {
        HANDLE volume = TakeVolume(state, path, true);
        if (volume == INVALID_HANDLE_VALUE) {
            // Give the volumes back before the box waits for the operator.
            ReleaseVolumes(state);
            if (!CancelPending(state))
                ShowErrorBox(state, kVolumeInUseText);
            return false;
        }
        state.VolumeHandles.push_back(volume);
    }
    // A request that came with the last lock still stops the restore before its first write.
    if (CancelPending(state)) {
        ReleaseVolumes(state);
        return false;
    }
    return true;
}

void LeaveCurrentFolder()
{
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return;
    wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\')
        --name;
    if (name == path)
        return;
    *name = L'\0';
    // When the move fails, a volume that still holds the current folder can't be
    // locked, and the lock step says so.
    SetCurrentDirectoryW(path);
}

bool TakeVolumesOffline(AppState& state)
{
    std::vector<std::wstring> paths;
    if (!FindVolumesOfDisk(state, &paths)) {
        ShowErrorBox(state, kVolumesUnknownText);
        return false;
    }
    return LockVolumes(state, paths);
}

bool LockVolumesForReading(AppState& state)
{
    std::vector<std::wstring> paths;
    bool allLocked = FindVolumesOfDisk(state, &paths);
    for (const std::wstring& path : paths) {
        HANDLE volume = TakeVolume(state, path, false);
        if (volume == INVALID_HANDLE_VALUE)
            allLocked = false;
        else
            state.VolumeHandles.push_back(volume);
        if (CancelPending(state))
            break;
    }
    if (CancelPending(state)) {
        ReleaseVolumes(state);
        return false;
    }
    state.SourceVolumesLocked = allLocked;
    if (allLocked)
        return true;
    // The volumes that were locked stay locked while the question waits: the answer may be Yes.
    const int answer = MessageBoxW(state.MainWindow, kReadInUseQuestion, L"Read image from disk",
                                   MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2);
    if (answer == IDYES)
        return true;
    ReleaseVolumes(state);
    return false;
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

// The mount point above `imagePath` (with its trailing backslash); the file need not exist yet.
static bool ImageMountPoint(const wchar_t* imagePath, std::vector<wchar_t>* mountPoint)
{
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
    mountPoint->assign(full.size() + 1, L'\0');
    return GetVolumePathNameW(full.data(), mountPoint->data(), static_cast<DWORD>(mountPoint->size())) != FALSE;
}

bool ImageVolumePath(const wchar_t* imagePath, std::wstring* devicePath)
{
    devicePath->clear();
    std::vector<wchar_t> mountPoint;
    if (!ImageMountPoint(imagePath, &mountPoint))
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

// Where the file's place can't be told, it may lie on the disk; on a physical
// drive that refuses the job, elsewhere (a file standing in for a drive) it passes.
static bool RefuseUnknown(AppState& state, bool strict, const wchar_t* text)
{
    if (!strict)
        return true;
    ShowErrorBox(state, text);
    return false;
}

bool CheckImageNotOnDisk(AppState& state, const wchar_t* imagePath)
{
    const bool strict = SelectedIsPhysicalDrive(state);
    DWORD disk = 0;
    if (!IsOpenHandle(state.DiskHandle) || !ReadDiskNumber(state.DiskHandle, &disk))
        return RefuseUnknown(state, strict, kVolumesUnknownText);
    std::vector<wchar_t> mountPoint;
    if (!ImageMountPoint(imagePath, &mountPoint))
        return RefuseUnknown(state, strict, kImagePlaceUnknownText);
    wchar_t volumeName[MAX_PATH] = {};
    if (!GetVolumeNameForVolumeMountPointW(mountPoint.data(), volumeName, MAX_PATH)) {
        // A network share has no volume of ours; a subst drive or anything else unknown may hide one.
        const bool remote = GetDriveTypeW(mountPoint.data()) == DRIVE_REMOTE;
        return remote || RefuseUnknown(state, strict, kImagePlaceUnknownText);
    }
    const std::wstring volume = VolumeDevicePath(volumeName);
    std::vector<DWORD> volumeDisks;
    DWORD error = 0;
    if (!ReadVolumeDisks(volume, &volumeDisks, &error))
        return HasNoExtents(volume, error) || RefuseUnknown(state, strict, kImagePlaceUnknownText);
    return CheckImageVolume(state, volumeDisks, disk);
}

bool CheckImageFileNotOnDisk(AppState& state, HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!IsOpenHandle(file) || !GetFileInformationByHandle(file, &info))
        return true;
    // Volumes that can't all be told were refused (restore) or asked about (create) already.
    std::vector<std::wstring> paths;
    FindVolumesOfDisk(state, &paths);
    for (const std::wstring& path : paths) {
        const std::wstring root = path + L"\\";
        DWORD serial = 0;
        // A volume without a file system holds no file.
        if (GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) &&
            serial == info.dwVolumeSerialNumber) {
            ShowErrorBox(state, kImageOnDiskText);
            return false;
        }
    }
    return true;
}

bool CheckImageFolderNotOnDisk(AppState& state, const wchar_t* imagePath)
{
    std::wstring folder = imagePath;
    const size_t slash = folder.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return true;
    folder.resize(slash + 1);
    // A folder opens only with backup semantics; no access rights are needed to ask of it.
    HANDLE opened = CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return true; // the image file can't be created there either: its own step says so
    const bool elsewhere = CheckImageFileNotOnDisk(state, opened);
    CloseHandle(opened);
    return elsewhere;
}
