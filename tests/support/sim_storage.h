// A simulated Windows storage stack for tests: physical disks backed by real
// files, volumes on them, faults and events, answered where the program calls
// the system. Nothing of it is part of korvane.exe.
//
// How it reaches the program: a sim::Stack patches the import address table of
// the test executable (the program code is a static library linked into it, so
// its kernel32 calls go through that table) for CreateFileW, DeviceIoControl,
// ReadFile, WriteFile, SetFilePointer(Ex), FlushFileBuffers, CloseHandle,
// GetFileType, GetFileSizeEx, GetFileInformationByHandle, FindFirstVolumeW,
// FindNextVolumeW, FindVolumeClose, GetVolumePathNameW,
// GetVolumeNameForVolumeMountPointW, GetVolumeInformationW, GetDriveTypeW and
// SetCurrentDirectoryW, MoveFileExW, DeleteFileW and GetFileAttributesW.
// The test's own calls go through the same table. Handles and paths the stack
// does not know pass through to the system unchanged, with three exceptions:
//  - every \\.\PhysicalDriveN path belongs to the stack: one it doesn't describe
//    fails with ERROR_FILE_NOT_FOUND (Wine's own fake drive 0 is out of the way);
//  - the volume list holds the simulated volumes only, plus one "host" volume
//    (kHostVolume) that stands for every drive root Wine has (C:\, Z:\ ...):
//    GetVolumeNameForVolumeMountPointW of such a root names it. Its extent lies
//    on disk Options::hostDisk (default 0; that disk need not be described);
//  - files named with Watch() are recorded, and faults can be put on them.
// File names, as Windows treats them (every call, watched or not):
//  - CreateFileW, MoveFileExW, DeleteFileW and GetFileAttributesW refuse a path
//    whose full form is MAX_PATH characters or longer with ERROR_FILENAME_EXCED_RANGE,
//    unless it is written in the \\?\ form;
//  - MoveFileExW over a read-only file (MOVEFILE_REPLACE_EXISTING) and DeleteFileW
//    of one fail with ERROR_ACCESS_DENIED;
//  - MoveFileExW and DeleteFileW are recorded under the (source's) full path, and
//    faults on that path fail them (ERROR_SHARING_VIOLATION for the first N tries
//    is a scanner holding a file just closed).
// One Stack at a time; construct it in the test and let it go out of scope at
// the end (the destructor restores the table and closes what the program left
// open). Thread-safe: the program's job thread calls in while the test pumps.
//
// Describing a medium (serial and layout identity):
//   sim::Disk d; d.number = 2; d.size = 8 << 20; d.sectorSize = 4096;
//   d.serial = "AA00123"; d.busType = BusTypeUsb;     // IOCTL_STORAGE_QUERY_PROPERTY
//   d.layout = sim::Layout::Mbr; d.mbrSignature = 0x1234abcd;   // or:
//   d.layout = sim::Layout::Gpt; d.gptDiskId = {...};           // or Raw, or:
//   d.layout = sim::Layout::FromContent;  // read from the backing file at each query:
//       MBR signature at bytes 440..443 when bytes 510..511 are 55 AA, GPT disk GUID
//       when sector 1 starts "EFI PART" (GUID at byte 56 of that sector), else raw;
//       so a restore changes the identity as on Windows.
//   d.backingFile = path;   // created by the test, at least `size` bytes (or wrapAt)
//   stack.AddDisk(d);       // \\.\PhysicalDrive2 (any case) now opens
//
// The rules of a raw disk, as Windows applies them:
//  - ReadFile/WriteFile need buffer address, file position and length in whole
//    sectors, else ERROR_INVALID_PARAMETER; a read from the end returns 0 bytes,
//    one across it the part before it; a write across the end fails with
//    ERROR_SECTOR_NOT_FOUND;
//  - a write touching an extent of a volume that is not locked and dismounted
//    through a still-open handle fails with ERROR_ACCESS_DENIED (stricter than
//    Windows, which lets a lock alone through: the program must do both);
//  - opens check share modes against the handles already open on the object
//    (ERROR_SHARING_VIOLATION); a removed disk fails every call on its old
//    handles with ERROR_DEVICE_NOT_CONNECTED and no longer opens;
//  - a write-protected disk fails writes and IOCTL_DISK_IS_WRITABLE with
//    ERROR_WRITE_PROTECT, and opens of its volumes for writing too;
//  - each disk keeps a count of medium changes (IOCTL_STORAGE_CHECK_VERIFY2, or
//    IOCTL_STORAGE_CHECK_VERIFY on a handle with read access) that SwapMedium
//    advances: the serial stays the reader's across swaps, as on a card reader.
// Volumes open by \\?\Volume{...} (no trailing backslash) or, with a drive letter,
// \\.\X:. GetVolumePathNameW of a path under a volume's mount point (a real folder
// of the test, so files there really exist) answers that mount point;
// GetVolumeNameForVolumeMountPointW of it the volume's name; GetDriveTypeW of the
// volume's root its driveType.
// Volumes: FSCTL_LOCK_VOLUME fails with ERROR_ACCESS_DENIED while the volume is
// busy (busyTries, the process's current directory lies under its mount point,
// or a file under it or on its linkedPaths is open in the process),
// FSCTL_DISMOUNT_VOLUME as the test says, FSCTL_UNLOCK_VOLUME or closing
// the locking handle remounts it. IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS answers
// its extents (ERROR_MORE_DATA with the count when the block is short).
// GetVolumeInformationW of \?\Volume{...}\ answers its serial (a volume without
// one has no file system: ERROR_UNRECOGNIZED_VOLUME; a locked one: ERROR_ACCESS_DENIED).
// Disks answer IOCTL_DISK_GET_DRIVE_GEOMETRY(_EX), IOCTL_DISK_GET_LENGTH_INFO,
// IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_STORAGE_QUERY_PROPERTY
// (StorageDeviceProperty; StorageAccessAlignmentProperty when physicalSectorSize
// is set, else ERROR_INVALID_FUNCTION as on XP), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, IOCTL_DISK_IS_WRITABLE,
// the change count and IOCTL_DISK_UPDATE_PROPERTIES (which mounts mountsOnRescan);
// other codes fail with ERROR_INVALID_FUNCTION.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class Layout { Raw, Mbr, Gpt, FromContent };

// Sectors that can't be read: every read touching [offset, offset + length) fails with
// ERROR_CRC; with weakReads > 0 only the first weakReads such reads fail (a weak sector
// that a later try gets). Whole sectors, as a drive fails them.
struct BadArea {
    int64_t offset = 0;
    int64_t length = 0;
    int weakReads = -1;
};

struct Extent {
    DWORD disk = 0;
    int64_t offset = 0;
    int64_t length = 0;
};

struct Volume {
    std::wstring guid; // "{...}": the name is \\?\Volume{...}\ ;
    std::vector<Extent> extents;
    std::wstring mountPoint; // "S:\" or a real folder ending in '\'; empty for none
    int busyTries = 0;       // the first busyTries locks fail; -1: every lock fails
    bool dismountFails = false;
    DWORD extentsError = 0;       // nonzero: the extents query fails with this error
    UINT driveType = DRIVE_FIXED; // what GetDriveTypeW says of the volume's root
    DWORD serial = 0;             // GetVolumeInformationW's serial number; 0: no file system
    // Real files and folders of the test that lie on this volume though their path
    // leads elsewhere (through a junction or symbolic link): their handles answer
    // GetFileInformationByHandle with this volume's serial, and they keep a lock out.
    std::vector<std::wstring> linkedPaths;
};

struct Disk {
    DWORD number = 1;       // \\.\PhysicalDrive<number>
    DWORD sectorSize = 512; // 512 or 4096
    int64_t size = 0;       // what the disk reports, in bytes
    DWORD heads = 255;      // geometry: cylinders follow from the size
    DWORD sectorsPerTrack = 63;
    MEDIA_TYPE mediaType = FixedMedia;
    std::string serial; // empty: the descriptor names no serial number
    std::string vendor = "KORVSIM";
    std::string product = "Simulated Disk";
    STORAGE_BUS_TYPE busType = BusTypeUsb;
    bool removable = false;
    Layout layout = Layout::Raw;
    DWORD mbrSignature = 0;
    GUID gptDiskId = {};
    std::wstring backingFile; // the medium's content
    int64_t wrapAt = 0;       // > 0: a counterfeit medium, offset o lands at o % wrapAt
    int64_t dropFrom = 0;     // writes into [dropFrom, dropTo) report success and vanish
    int64_t dropTo = 0;
    int64_t readErrorAt = -1; // a read covering this offset fails with ERROR_CRC
    std::vector<BadArea> badAreas;
    DWORD failedReadDelayMs = 0; // a failing drive's retries: each read that fails takes this long
    // > 0: the disk falls off the bus after this many reads: that read and every later
    // call fail with ERROR_DEVICE_NOT_CONNECTED, as after RemoveDisk.
    int vanishAfterReads = 0;
    // > 0: what StorageAccessAlignmentProperty answers (a 512e disk: sectorSize 512, 4096 here).
    DWORD physicalSectorSize = 0;
    bool writeProtected = false;
    // Mount when the disk is told to read its layout again (IOCTL_DISK_UPDATE_PROPERTIES),
    // as Windows mounts the volumes of a new layout, and each one's file system writes
    // one sector of 0xF5 at the start of its first extent (once).
    std::vector<Volume> mountsOnRescan;
};

// A call that fails instead of being carried out. `function` as in CallRecord;
// `code` 0 for any ioctl; `path` a disk path, volume name (without trailing
// backslash), watched file, or empty for any; `skip` matching calls pass first,
// then `count` fail (-1: all later ones).
struct Fault {
    std::string function;
    DWORD code = 0;
    std::wstring path;
    DWORD error = ERROR_IO_DEVICE;
    int skip = 0;
    int count = -1;
};

// One call on a simulated or watched object, in the order the calls were made.
struct CallRecord {
    std::string function; // "CreateFileW", "DeviceIoControl", "ReadFile", ...
    DWORD code = 0;       // ioctl code; access mask for CreateFileW
    std::wstring path;    // the object's path (disk, volume name, file, folder)
    int64_t offset = -1;  // file position of a read or write, or the new position
    DWORD length = 0;     // bytes asked for
    DWORD done = 0;       // bytes moved or returned
    bool ok = false;
    DWORD error = 0; // GetLastError() after a failed call
    HANDLE handle = nullptr;
};

// Runs before the n-th matching call (1-based; 0 = every matching call) is carried out,
// outside the stack's lock: it may change the stack, press buttons, request a cancel.
struct Hook {
    std::string function;
    DWORD code = 0;
    std::wstring path;
    int nth = 1;
    std::function<void(const CallRecord&)> action;
};

struct Options {
    DWORD hostDisk = 0; // the disk that Wine's own drive roots lie on
};

extern const wchar_t kHostVolume[]; // the host volume's name

// The \\.\PhysicalDriveN path and the \\?\Volume{...} device path of a volume (no trailing backslash).
std::wstring DiskPath(DWORD number);
std::wstring VolumePath(const std::wstring& guid);

class Stack {
  public:
    explicit Stack(const Options& options = Options());
    ~Stack();
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    bool Installed() const;

    // Describing the machine; also the events a test applies at any moment.
    void AddDisk(const Disk& disk);                    // a disk arrives (or is there from the start)
    void RemoveDisk(DWORD number);                     // it and its volumes vanish
    void SwapMedium(DWORD number, const Disk& medium); // another medium answers to that number
    void AdvanceChangeCount(DWORD number);             // the same medium, counted as changed (a sleep, a bus reset)
    void AddVolume(const Volume& volume);
    void RemoveVolume(const std::wstring& guid);
    void AddFault(const Fault& fault);
    void AddHook(const Hook& hook);
    void Watch(const std::wstring& path); // record (and allow faults on) this real file
    // Watches this real file as a symbolic link to itself: opened with
    // FILE_FLAG_OPEN_REPARSE_POINT it is the link (FILE_ATTRIBUTE_REPARSE_POINT in
    // GetFileInformationByHandle), otherwise its content is the link's target.
    void MakeLink(const std::wstring& path);

    // What happened.
    std::vector<CallRecord> Calls() const;
    void ClearCalls();
    // Simulated handles (disks, volumes, volume searches) still open.
    int OpenHandles() const;
    bool VolumeLocked(const std::wstring& guid) const;
    bool VolumeMounted(const std::wstring& guid) const;
    // Bytes written to the disk since it was added (dropped writes included).
    int64_t BytesWritten(DWORD number) const;

  private:
    bool installed_ = false;
};

// Position of the first record at or after `from` matching function (and code when nonzero); -1 if none.
int FindCall(const std::vector<CallRecord>& calls, const std::string& function, DWORD code = 0, size_t from = 0);
// How many records match.
int CountCalls(const std::vector<CallRecord>& calls, const std::string& function, DWORD code = 0);

} // namespace sim
