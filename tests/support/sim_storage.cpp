#include "tests/support/sim_storage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>

#include <gtest/gtest.h>

namespace sim {

const wchar_t kHostVolume[] = L"\\\\?\\Volume{0057a1e5-0000-4000-8000-00000000c0de}";

std::wstring DiskPath(DWORD number)
{
    return L"\\\\.\\PhysicalDrive" + std::to_wstring(number);
}

std::wstring VolumePath(const std::wstring& guid)
{
    return L"\\\\?\\Volume" + guid;
}

int FindCall(const std::vector<CallRecord>& calls, const std::string& function, DWORD code, size_t from)
{
    for (size_t i = from; i < calls.size(); ++i)
        if (calls[i].function == function && (code == 0 || calls[i].code == code))
            return static_cast<int>(i);
    return -1;
}

int CountCalls(const std::vector<CallRecord>& calls, const std::string& function, DWORD code)
{
    int count = 0;
    for (const CallRecord& call : calls)
        count += call.function == function && (code == 0 || call.code == code) ? 1 : 0;
    return count;
}

namespace {

// The system's own entry points, as the import table held them.
struct Originals {
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::DeviceIoControl) DeviceIoControl;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::SetFilePointer) SetFilePointer;
    decltype(&::SetFilePointerEx) SetFilePointerEx;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetFileType) GetFileType;
    decltype(&::GetFileSizeEx) GetFileSizeEx;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::FindFirstVolumeW) FindFirstVolumeW;
    decltype(&::FindNextVolumeW) FindNextVolumeW;
    decltype(&::FindVolumeClose) FindVolumeClose;
    decltype(&::GetVolumePathNameW) GetVolumePathNameW;
    decltype(&::GetVolumeNameForVolumeMountPointW) GetVolumeNameForVolumeMountPointW;
    decltype(&::GetVolumeInformationW) GetVolumeInformationW;
    decltype(&::GetDriveTypeW) GetDriveTypeW;
    decltype(&::SetCurrentDirectoryW) SetCurrentDirectoryW;
    // Names: moves, deletes and attributes of files.
    decltype(&::MoveFileExW) MoveFileExW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
};
Originals sys;

struct DiskState {
    Disk desc;
    std::vector<int> weakFailed; // reads failed so far per bad area
    HANDLE backing = INVALID_HANDLE_VALUE;
    bool present = true;
    int64_t written = 0;
    DWORD changes = 0; // the medium change count
    int reads = 0;     // reads tried, for vanishAfterReads
};

struct VolumeState {
    Volume desc;
    bool present = true;
    int locksTried = 0;
    HANDLE lockHolder = nullptr;
    bool dismounted = false;
};

enum class Kind { Disk, Volume, Search, File };

struct OpenObject {
    Kind kind = Kind::File;
    std::wstring path;
    DWORD number = 0;  // disk
    std::wstring guid; // volume
    DWORD access = 0;
    DWORD share = 0;
    bool stale = false; // its disk or volume was removed
    int64_t position = 0;
    std::vector<std::wstring> names; // search
    bool link = false;               // file: a link opened itself (FILE_FLAG_OPEN_REPARSE_POINT)
    size_t next = 0;
};

struct FaultState {
    Fault fault;
    int seen = 0;
};

struct HookState {
    Hook hook;
    int seen = 0;
};

struct World {
    Options options;
    CRITICAL_SECTION lock;
    std::vector<DiskState> disks;
    std::vector<VolumeState> volumes;
    std::map<HANDLE, OpenObject> handles;
    std::vector<std::wstring> watched;
    std::vector<std::wstring> links; // watched files that stand for symbolic links
    std::vector<FaultState> faults;
    std::vector<HookState> hooks;
    std::vector<CallRecord> calls;
    // Every real file the process opened while the stack is in place, by full path:
    // an open file keeps its volume's lock out.
    std::map<HANDLE, std::wstring> openFiles;
};

World* g_world = nullptr;

// The disk and its volumes vanish: every handle on them goes stale. Under the lock.
void DropDisk(DWORD number);

class Guard {
  public:
    Guard() { EnterCriticalSection(&g_world->lock); }
    ~Guard() { LeaveCriticalSection(&g_world->lock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

std::wstring Lower(const std::wstring& text)
{
    std::wstring lower = text;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(std::towlower(c));
    return lower;
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return Lower(a) == Lower(b);
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::wstring FullPath(const wchar_t* path)
{
    wchar_t full[1024] = {};
    const DWORD length = GetFullPathNameW(path, 1024, full, nullptr);
    return length > 0 && length < 1024 ? std::wstring(full) : std::wstring(path);
}

DiskState* FindDisk(DWORD number)
{
    for (DiskState& disk : g_world->disks)
        if (disk.present && disk.desc.number == number)
            return &disk;
    return nullptr;
}

VolumeState* FindVolume(const std::wstring& guid)
{
    for (VolumeState& volume : g_world->volumes)
        if (volume.present && SameText(volume.desc.guid, guid))
            return &volume;
    return nullptr;
}

OpenObject* FindHandle(HANDLE handle)
{
    auto found = g_world->handles.find(handle);
    return found == g_world->handles.end() ? nullptr : &found->second;
}

// \\.\PhysicalDriveN (any case): true and the number.
bool ParseDiskPath(const std::wstring& path, DWORD* number)
{
    static const std::wstring prefix = L"\\\\.\\physicaldrive";
    if (!StartsWith(path, prefix) || path.size() == prefix.size() || path.size() > prefix.size() + 9)
        return false;
    DWORD value = 0;
    for (size_t i = prefix.size(); i < path.size(); ++i) {
        if (path[i] < L'0' || path[i] > L'9')
            return false;
        value = value * 10 + static_cast<DWORD>(path[i] - L'0');
    }
    *number = value;
    return true;
}

// The volume that a device path (\\?\Volume{..}, \\.\Volume{..} or \\.\X:) opens.
VolumeState* VolumeForDevicePath(const std::wstring& path)
{
    for (VolumeState& volume : g_world->volumes) {
        if (!volume.present)
            continue;
        const std::wstring& guid = volume.desc.guid;
        if (SameText(path, L"\\\\?\\Volume" + guid) || SameText(path, L"\\\\.\\Volume" + guid))
            return &volume;
        const std::wstring& mount = volume.desc.mountPoint;
        if (mount.size() == 3 && mount[1] == L':' && SameText(path, L"\\\\.\\" + mount.substr(0, 2)))
            return &volume;
    }
    return nullptr;
}

bool Matches(const std::string& function, DWORD code, const std::wstring& path, const CallRecord& call)
{
    return function == call.function && (code == 0 || code == call.code) && (path.empty() || SameText(path, call.path));
}

// Runs the hooks for a call about to be made, then says whether a fault fails it.
bool Faulted(CallRecord& call)
{
    std::vector<std::function<void(const CallRecord&)>> actions;
    {
        Guard guard;
        for (HookState& state : g_world->hooks) {
            if (!Matches(state.hook.function, state.hook.code, state.hook.path, call))
                continue;
            ++state.seen;
            if (state.hook.nth == 0 || state.seen == state.hook.nth)
                actions.push_back(state.hook.action);
        }
    }
    for (const auto& action : actions)
        action(call);
    Guard guard;
    for (FaultState& state : g_world->faults) {
        if (!Matches(state.fault.function, state.fault.code, state.fault.path, call))
            continue;
        ++state.seen;
        if (state.seen > state.fault.skip &&
            (state.fault.count < 0 || state.seen <= state.fault.skip + state.fault.count)) {
            call.ok = false;
            call.error = state.fault.error;
            return true;
        }
    }
    return false;
}

// Records the call and leaves its error for the caller.
void Finish(const CallRecord& call)
{
    {
        Guard guard;
        g_world->calls.push_back(call);
    }
    if (!call.ok)
        SetLastError(call.error);
}

BOOL Fail(CallRecord& call, DWORD error)
{
    call.ok = false;
    call.error = error;
    Finish(call);
    return FALSE;
}

BOOL Succeed(CallRecord& call)
{
    call.ok = true;
    call.error = 0;
    Finish(call);
    return TRUE;
}

// What the object under a handle is, copied under the lock; false for handles the stack doesn't know.
bool Lookup(HANDLE handle, OpenObject* object)
{
    if (g_world == nullptr)
        return false;
    Guard guard;
    OpenObject* found = FindHandle(handle);
    if (found == nullptr)
        return false;
    *object = *found;
    return true;
}

// ---- the medium's bytes ----

int64_t Physical(const Disk& disk, int64_t offset)
{
    return disk.wrapAt > 0 ? offset % disk.wrapAt : offset;
}

// Splits [offset, offset + length) at wrap and drop boundaries; `piece` gets each span.
template <typename Piece> bool ForEachSpan(const Disk& disk, int64_t offset, int64_t length, Piece piece)
{
    int64_t at = offset;
    const int64_t end = offset + length;
    while (at < end) {
        int64_t next = end;
        if (disk.wrapAt > 0)
            next = std::min(next, (at / disk.wrapAt + 1) * disk.wrapAt);
        if (disk.dropFrom > at)
            next = std::min(next, disk.dropFrom);
        if (disk.dropTo > at)
            next = std::min(next, disk.dropTo);
        const bool dropped = at >= disk.dropFrom && at < disk.dropTo;
        if (!piece(at, Physical(disk, at), next - at, dropped))
            return false;
        at = next;
    }
    return true;
}

bool BackingAt(HANDLE backing, int64_t physical)
{
    LARGE_INTEGER position = {};
    position.QuadPart = physical;
    return sys.SetFilePointerEx(backing, position, nullptr, FILE_BEGIN) != FALSE;
}

bool ReadMedium(const DiskState& disk, int64_t offset, BYTE* buffer, int64_t length)
{
    return ForEachSpan(disk.desc, offset, length, [&](int64_t at, int64_t physical, int64_t count, bool) {
        BYTE* target = buffer + (at - offset);
        std::memset(target, 0, static_cast<size_t>(count));
        DWORD got = 0;
        // A backing file shorter than the medium reads as zeros past its end.
        return BackingAt(disk.backing, physical) &&
               sys.ReadFile(disk.backing, target, static_cast<DWORD>(count), &got, nullptr) != FALSE;
    });
}

bool WriteMedium(const DiskState& disk, int64_t offset, const BYTE* buffer, int64_t length)
{
    return ForEachSpan(disk.desc, offset, length, [&](int64_t at, int64_t physical, int64_t count, bool dropped) {
        if (dropped)
            return true;
        DWORD put = 0;
        return BackingAt(disk.backing, physical) &&
               sys.WriteFile(disk.backing, buffer + (at - offset), static_cast<DWORD>(count), &put, nullptr) &&
               put == count;
    });
}

// ---- answers of a disk ----

struct LayoutIdentity {
    DWORD style = PARTITION_STYLE_RAW;
    DWORD signature = 0;
    GUID diskId = {};
    BYTE mbr[512] = {};
    bool mbrRead = false;
};

LayoutIdentity ReadLayout(const DiskState& disk)
{
    LayoutIdentity layout;
    const Disk& d = disk.desc;
    if (d.layout == Layout::Mbr) {
        layout.style = PARTITION_STYLE_MBR;
        layout.signature = d.mbrSignature;
        return layout;
    }
    if (d.layout == Layout::Gpt) {
        layout.style = PARTITION_STYLE_GPT;
        layout.diskId = d.gptDiskId;
        return layout;
    }
    if (d.layout == Layout::Raw)
        return layout;
    std::vector<BYTE> start(static_cast<size_t>(d.sectorSize) * 2, 0);
    if (!ReadMedium(disk, 0, start.data(), static_cast<int64_t>(start.size())))
        return layout;
    if (start[510] != 0x55 || start[511] != 0xAA)
        return layout;
    std::memcpy(layout.mbr, start.data(), 512);
    layout.mbrRead = true;
    const BYTE* header = start.data() + d.sectorSize;
    if (start[446 + 4] == 0xEE && std::memcmp(header, "EFI PART", 8) == 0) {
        layout.style = PARTITION_STYLE_GPT;
        std::memcpy(&layout.diskId, header + 56, sizeof(GUID));
        return layout;
    }
    layout.style = PARTITION_STYLE_MBR;
    std::memcpy(&layout.signature, start.data() + 440, 4);
    return layout;
}

DWORD LittleEndian32(const BYTE* bytes)
{
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 | static_cast<DWORD>(bytes[2]) << 16 |
           static_cast<DWORD>(bytes[3]) << 24;
}

// Copies `answer` into the caller's block: all of it, or ERROR_INSUFFICIENT_BUFFER below `least`.
DWORD Answer(const void* answer, size_t size, size_t least, void* out, DWORD outSize, DWORD* returned)
{
    if (out == nullptr || outSize < least)
        return ERROR_INSUFFICIENT_BUFFER;
    const size_t count = std::min(size, static_cast<size_t>(outSize));
    std::memcpy(out, answer, count);
    *returned = static_cast<DWORD>(count);
    return NO_ERROR;
}

DISK_GEOMETRY GeometryOf(const Disk& d)
{
    DISK_GEOMETRY geometry = {};
    const int64_t cylinder = static_cast<int64_t>(d.heads) * d.sectorsPerTrack * d.sectorSize;
    geometry.Cylinders.QuadPart = cylinder > 0 ? d.size / cylinder : 0;
    geometry.MediaType = d.mediaType;
    geometry.TracksPerCylinder = d.heads;
    geometry.SectorsPerTrack = d.sectorsPerTrack;
    geometry.BytesPerSector = d.sectorSize;
    return geometry;
}

DWORD DeviceDescriptor(const Disk& d, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    if (in == nullptr || inSize < sizeof(STORAGE_PROPERTY_QUERY))
        return ERROR_INVALID_PARAMETER;
    const STORAGE_PROPERTY_QUERY* query = static_cast<const STORAGE_PROPERTY_QUERY*>(in);
    if (query->PropertyId == StorageAccessAlignmentProperty && d.physicalSectorSize != 0) {
        const DWORD alignment[7] = {28, 28, 64, 0, d.sectorSize, d.physicalSectorSize, 0};
        return Answer(alignment, sizeof(alignment), sizeof(STORAGE_DESCRIPTOR_HEADER), out, outSize, returned);
    }
    if (query->PropertyId != StorageDeviceProperty)
        return ERROR_INVALID_FUNCTION;
    if (query->QueryType == PropertyExistsQuery)
        return NO_ERROR;
    std::vector<BYTE> block(sizeof(STORAGE_DEVICE_DESCRIPTOR), 0);
    auto append = [&](const std::string& text) -> DWORD {
        const DWORD offset = static_cast<DWORD>(block.size());
        block.insert(block.end(), text.begin(), text.end());
        block.push_back(0);
        return offset;
    };
    const DWORD vendor = append(d.vendor);
    const DWORD product = append(d.product);
    const DWORD revision = append("1.0");
    const DWORD serial = d.serial.empty() ? 0 : append(d.serial);
    STORAGE_DEVICE_DESCRIPTOR* descriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(block.data());
    descriptor->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    descriptor->Size = static_cast<DWORD>(block.size());
    descriptor->RemovableMedia = d.removable ? TRUE : FALSE;
    descriptor->VendorIdOffset = vendor;
    descriptor->ProductIdOffset = product;
    descriptor->ProductRevisionOffset = revision;
    descriptor->SerialNumberOffset = serial;
    descriptor->BusType = d.busType;
    return Answer(block.data(), block.size(), sizeof(STORAGE_DESCRIPTOR_HEADER), out, outSize, returned);
}

DWORD DriveLayout(const DiskState& disk, void* out, DWORD outSize, DWORD* returned)
{
    const LayoutIdentity identity = ReadLayout(disk);
    const DWORD count = identity.style == PARTITION_STYLE_MBR ? 4 : 0;
    const size_t size =
        offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + count * sizeof(PARTITION_INFORMATION_EX);
    std::vector<LONGLONG> storage((std::max(size, sizeof(DRIVE_LAYOUT_INFORMATION_EX)) + 7) / 8, 0);
    DRIVE_LAYOUT_INFORMATION_EX* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(storage.data());
    layout->PartitionStyle = identity.style;
    layout->PartitionCount = count;
    if (identity.style == PARTITION_STYLE_MBR)
        layout->Mbr.Signature = identity.signature;
    if (identity.style == PARTITION_STYLE_GPT) {
        layout->Gpt.DiskId = identity.diskId;
        layout->Gpt.StartingUsableOffset.QuadPart = 34LL * disk.desc.sectorSize;
        layout->Gpt.UsableLength.QuadPart = disk.desc.size - 67LL * disk.desc.sectorSize;
        layout->Gpt.MaxPartitionCount = 128;
    }
    for (DWORD i = 0; i < count && identity.mbrRead; ++i) {
        const BYTE* entry = identity.mbr + 446 + 16 * i;
        PARTITION_INFORMATION_EX& partition = layout->PartitionEntry[i];
        partition.PartitionStyle = PARTITION_STYLE_MBR;
        partition.StartingOffset.QuadPart = static_cast<LONGLONG>(LittleEndian32(entry + 8)) * disk.desc.sectorSize;
        partition.PartitionLength.QuadPart = static_cast<LONGLONG>(LittleEndian32(entry + 12)) * disk.desc.sectorSize;
        partition.PartitionNumber = entry[4] != 0 ? i + 1 : 0;
        partition.Mbr.PartitionType = entry[4];
        partition.Mbr.BootIndicator = entry[0] == 0x80 ? TRUE : FALSE;
        partition.Mbr.RecognizedPartition = entry[4] != 0 ? TRUE : FALSE;
        partition.Mbr.HiddenSectors = LittleEndian32(entry + 8);
    }
    return Answer(storage.data(), size, size, out, outSize, returned);
}

// Windows reads the new layout: its volumes arrive, mount, and their file systems write.
void MountOnRescan(DiskState& disk)
{
    std::vector<Volume> arriving;
    arriving.swap(disk.desc.mountsOnRescan);
    for (const Volume& volume : arriving) {
        VolumeState state;
        state.desc = volume;
        g_world->volumes.push_back(state);
        if (volume.extents.empty())
            continue;
        const std::vector<BYTE> sector(disk.desc.sectorSize, 0xF5);
        WriteMedium(disk, volume.extents[0].offset, sector.data(), disk.desc.sectorSize);
    }
}

DWORD DiskControl(OpenObject& object, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* returned)
{
    DiskState* disk = FindDisk(object.number);
    if (object.stale || disk == nullptr)
        return ERROR_DEVICE_NOT_CONNECTED;
    const Disk& d = disk->desc;
    switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
        DISK_GEOMETRY_EX geometry = {};
        geometry.Geometry = GeometryOf(d);
        geometry.DiskSize.QuadPart = d.size;
        return Answer(&geometry, sizeof(geometry), offsetof(DISK_GEOMETRY_EX, Data), out, outSize, returned);
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        const DISK_GEOMETRY geometry = GeometryOf(d);
        return Answer(&geometry, sizeof(geometry), sizeof(geometry), out, outSize, returned);
    }
    case IOCTL_DISK_GET_LENGTH_INFO: {
        GET_LENGTH_INFORMATION length = {};
        length.Length.QuadPart = d.size;
        return Answer(&length, sizeof(length), sizeof(length), out, outSize, returned);
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER number = {};
        number.DeviceType = FILE_DEVICE_DISK;
        number.DeviceNumber = d.number;
        return Answer(&number, sizeof(number), sizeof(number), out, outSize, returned);
    }
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return DeviceDescriptor(d, in, inSize, out, outSize, returned);
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        return DriveLayout(*disk, out, outSize, returned);
    case IOCTL_DISK_UPDATE_PROPERTIES:
        MountOnRescan(*disk);
        return NO_ERROR;
    case IOCTL_DISK_IS_WRITABLE:
        return d.writeProtected ? ERROR_WRITE_PROTECT : NO_ERROR;
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2: {
        if (code == IOCTL_STORAGE_CHECK_VERIFY && !(object.access & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL)))
            return ERROR_ACCESS_DENIED;
        const ULONG changes = disk->changes;
        if (out == nullptr && outSize == 0)
            return NO_ERROR;
        return Answer(&changes, sizeof(changes), sizeof(changes), out, outSize, returned);
    }
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

bool CurrentDirectoryUnder(const std::wstring& mountPoint)
{
    if (mountPoint.empty())
        return false;
    wchar_t current[1024] = {};
    const DWORD length = GetCurrentDirectoryW(1024, current);
    if (length == 0 || length >= 1024)
        return false;
    std::wstring folder = current;
    if (folder.back() != L'\\')
        folder += L'\\';
    return StartsWith(folder, mountPoint);
}

// True when `path` lies on the volume: under its mount point or on its linked paths.
bool LiesOnVolume(const Volume& volume, const std::wstring& path)
{
    if (!volume.mountPoint.empty() && StartsWith(path, volume.mountPoint))
        return true;
    for (const std::wstring& linked : volume.linkedPaths)
        if (SameText(path, linked) || StartsWith(path, linked + L"\\"))
            return true;
    return false;
}

bool FileOpenOn(const Volume& volume)
{
    for (const auto& entry : g_world->openFiles)
        if (LiesOnVolume(volume, entry.second))
            return true;
    return false;
}

DWORD VolumeControl(HANDLE handle, OpenObject& object, DWORD code, void* out, DWORD outSize, DWORD* returned)
{
    VolumeState* volume = FindVolume(object.guid);
    if (object.stale || volume == nullptr)
        return ERROR_DEVICE_NOT_CONNECTED;
    switch (code) {
    case FSCTL_LOCK_VOLUME: {
        ++volume->locksTried;
        const int busy = volume->desc.busyTries;
        if (volume->lockHolder == handle)
            return NO_ERROR;
        if (volume->lockHolder != nullptr || busy < 0 || volume->locksTried <= busy ||
            CurrentDirectoryUnder(volume->desc.mountPoint) || FileOpenOn(volume->desc))
            return ERROR_ACCESS_DENIED;
        volume->lockHolder = handle;
        return NO_ERROR;
    }
    case FSCTL_UNLOCK_VOLUME:
        if (volume->lockHolder != handle)
            return ERROR_NOT_LOCKED;
        volume->lockHolder = nullptr;
        volume->dismounted = false;
        return NO_ERROR;
    case FSCTL_DISMOUNT_VOLUME:
        if (volume->desc.dismountFails)
            return ERROR_ACCESS_DENIED;
        volume->dismounted = true;
        return NO_ERROR;
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
        if (volume->desc.extentsError != 0)
            return volume->desc.extentsError;
        const std::vector<Extent>& extents = volume->desc.extents;
        const size_t size = offsetof(VOLUME_DISK_EXTENTS, Extents) + extents.size() * sizeof(DISK_EXTENT);
        if (out == nullptr || outSize < sizeof(VOLUME_DISK_EXTENTS))
            return ERROR_INSUFFICIENT_BUFFER;
        VOLUME_DISK_EXTENTS* block = static_cast<VOLUME_DISK_EXTENTS*>(out);
        block->NumberOfDiskExtents = static_cast<DWORD>(extents.size());
        if (outSize < size) {
            *returned = sizeof(VOLUME_DISK_EXTENTS);
            return ERROR_MORE_DATA;
        }
        for (size_t i = 0; i < extents.size(); ++i) {
            block->Extents[i].DiskNumber = extents[i].disk;
            block->Extents[i].StartingOffset.QuadPart = extents[i].offset;
            block->Extents[i].ExtentLength.QuadPart = extents[i].length;
        }
        *returned = static_cast<DWORD>(size);
        return NO_ERROR;
    }
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

// A write into a volume's extents needs that volume locked and dismounted.
bool WriteHitsMountedVolume(DWORD disk, int64_t offset, int64_t length)
{
    for (const VolumeState& volume : g_world->volumes) {
        if (!volume.present || (volume.lockHolder != nullptr && volume.dismounted))
            continue;
        for (const Extent& extent : volume.desc.extents)
            if (extent.disk == disk && offset < extent.offset + extent.length && extent.offset < offset + length)
                return true;
    }
    return false;
}

bool Reads(DWORD access)
{
    return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
}

bool Writes(DWORD access)
{
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

bool SharingConflict(Kind kind, const std::wstring& key, DWORD access, DWORD share)
{
    for (const auto& entry : g_world->handles) {
        const OpenObject& open = entry.second;
        if (open.kind != kind || open.stale || !SameText(kind == Kind::Disk ? open.path : open.guid, key))
            continue;
        if ((Reads(access) && !(open.share & FILE_SHARE_READ)) ||
            (Writes(access) && !(open.share & FILE_SHARE_WRITE)) ||
            (Reads(open.access) && !(share & FILE_SHARE_READ)) || (Writes(open.access) && !(share & FILE_SHARE_WRITE)))
            return true;
    }
    return false;
}

bool OnWriteProtectedDisk(const Volume& volume)
{
    for (const Extent& extent : volume.extents) {
        const DiskState* disk = FindDisk(extent.disk);
        if (disk != nullptr && disk->desc.writeProtected)
            return true;
    }
    return false;
}

HANDLE NewToken()
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

bool Listed(const std::vector<std::wstring>& paths, const std::wstring& full)
{
    Guard guard;
    for (const std::wstring& path : paths)
        if (SameText(path, full))
            return true;
    return false;
}

bool IsWatched(const std::wstring& full)
{
    return Listed(g_world->watched, full);
}

// ---- file names ----

// Windows takes a path of MAX_PATH characters or more only in its \\?\ form.
bool BeyondMaxPath(const wchar_t* path)
{
    return std::wcsncmp(path, L"\\\\?\\", 4) != 0 && FullPath(path).size() >= MAX_PATH;
}

bool ReadOnly(const wchar_t* path)
{
    const DWORD attributes = sys.GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Recorded under the source's full path; faults on that path (a scanner holding a just-closed file).
BOOL WINAPI HookMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (g_world == nullptr || from == nullptr || to == nullptr)
        return sys.MoveFileExW(from, to, flags);
    CallRecord call;
    call.function = "MoveFileExW";
    call.code = flags;
    call.path = FullPath(from);
    if (BeyondMaxPath(from) || BeyondMaxPath(to))
        return Fail(call, ERROR_FILENAME_EXCED_RANGE);
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    // A read-only file is never replaced.
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0 && ReadOnly(to))
        return Fail(call, ERROR_ACCESS_DENIED);
    return sys.MoveFileExW(from, to, flags) ? Succeed(call) : Fail(call, GetLastError());
}

BOOL WINAPI HookDeleteFileW(LPCWSTR path)
{
    if (g_world == nullptr || path == nullptr)
        return sys.DeleteFileW(path);
    CallRecord call;
    call.function = "DeleteFileW";
    call.path = FullPath(path);
    if (BeyondMaxPath(path))
        return Fail(call, ERROR_FILENAME_EXCED_RANGE);
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    if (ReadOnly(path))
        return Fail(call, ERROR_ACCESS_DENIED);
    return sys.DeleteFileW(path) ? Succeed(call) : Fail(call, GetLastError());
}

DWORD WINAPI HookGetFileAttributesW(LPCWSTR path)
{
    if (g_world != nullptr && path != nullptr && BeyondMaxPath(path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_FILE_ATTRIBUTES;
    }
    return sys.GetFileAttributesW(path);
}

// ---- the replacements ----

HANDLE WINAPI HookCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    auto passThrough = [&] { return sys.CreateFileW(name, access, share, security, disposition, flags, templateFile); };
    if (g_world == nullptr || name == nullptr)
        return passThrough();
    const std::wstring path = name;
    CallRecord call;
    call.function = "CreateFileW";
    call.code = access;
    call.path = path;
    DWORD number = 0;
    bool isDisk = ParseDiskPath(path, &number);
    bool isVolume = false;
    {
        Guard guard;
        isVolume = !isDisk && VolumeForDevicePath(path) != nullptr;
    }
    if (!isDisk && !isVolume) {
        const std::wstring full = FullPath(name);
        if (BeyondMaxPath(name)) {
            Fail(call, ERROR_FILENAME_EXCED_RANGE);
            return INVALID_HANDLE_VALUE;
        }
        if (!IsWatched(full)) {
            const HANDLE file = passThrough();
            if (file != INVALID_HANDLE_VALUE) {
                const DWORD error = GetLastError();
                Guard guard;
                g_world->openFiles[file] = full;
                SetLastError(error);
            }
            return file;
        }
        call.path = full;
        if (Faulted(call)) {
            Finish(call);
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE file = passThrough();
        const DWORD error = GetLastError();
        call.ok = file != INVALID_HANDLE_VALUE;
        call.error = call.ok ? 0 : error;
        call.handle = file;
        if (call.ok) {
            Guard guard;
            OpenObject object;
            object.kind = Kind::File;
            object.path = full;
            object.link = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 && Listed(g_world->links, full);
            g_world->handles[file] = object;
            g_world->openFiles[file] = full;
        }
        Finish(call);
        return file;
    }
    if (Faulted(call)) {
        Finish(call);
        return INVALID_HANDLE_VALUE;
    }
    OpenObject object;
    object.access = access;
    object.share = share;
    object.path = path;
    {
        Guard guard;
        if (isDisk) {
            DiskState* disk = FindDisk(number);
            if (disk == nullptr) {
                Fail(call, ERROR_FILE_NOT_FOUND);
                return INVALID_HANDLE_VALUE;
            }
            object.kind = Kind::Disk;
            object.number = number;
            object.path = DiskPath(number);
        } else {
            VolumeState* volume = VolumeForDevicePath(path);
            if (volume == nullptr) {
                Fail(call, ERROR_FILE_NOT_FOUND);
                return INVALID_HANDLE_VALUE;
            }
            object.kind = Kind::Volume;
            object.guid = volume->desc.guid;
            object.path = VolumePath(volume->desc.guid);
            // A file system on write-protected media lets no one open its volume for writing.
            if (Writes(access) && OnWriteProtectedDisk(volume->desc)) {
                Fail(call, ERROR_WRITE_PROTECT);
                return INVALID_HANDLE_VALUE;
            }
        }
        call.path = object.path;
        if (disposition != OPEN_EXISTING) {
            Fail(call, ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (SharingConflict(object.kind, object.kind == Kind::Disk ? object.path : object.guid, access, share)) {
            Fail(call, ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE token = NewToken();
        g_world->handles[token] = object;
        call.handle = token;
    }
    Succeed(call);
    return call.handle;
}

BOOL WINAPI HookCloseHandle(HANDLE handle)
{
    if (g_world != nullptr) {
        Guard guard;
        g_world->openFiles.erase(handle);
    }
    OpenObject object;
    if (!Lookup(handle, &object))
        return sys.CloseHandle(handle);
    CallRecord call;
    call.function = "CloseHandle";
    call.path = object.path;
    call.handle = handle;
    {
        Guard guard;
        if (object.kind == Kind::Volume) {
            VolumeState* volume = FindVolume(object.guid);
            // Closing the handle that holds the lock unlocks the volume; the system mounts it again.
            if (volume != nullptr && volume->lockHolder == handle) {
                volume->lockHolder = nullptr;
                volume->dismounted = false;
            }
        }
        g_world->handles.erase(handle);
    }
    const BOOL closed = sys.CloseHandle(handle);
    return closed ? Succeed(call) : Fail(call, GetLastError());
}

BOOL WINAPI HookDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind == Kind::Search)
        return sys.DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
    CallRecord call;
    call.function = "DeviceIoControl";
    call.code = code;
    call.path = object.path;
    call.handle = handle;
    call.length = outSize;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    if (object.kind == Kind::File) {
        const BOOL done = sys.DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
        return done ? Succeed(call) : Fail(call, GetLastError());
    }
    DWORD answered = 0;
    DWORD error = NO_ERROR;
    {
        Guard guard;
        OpenObject* open = FindHandle(handle);
        if (open == nullptr)
            error = ERROR_INVALID_HANDLE;
        else if (open->kind == Kind::Disk)
            error = DiskControl(*open, code, in, inSize, out, outSize, &answered);
        else
            error = VolumeControl(handle, *open, code, out, outSize, &answered);
    }
    if (returned != nullptr)
        *returned = answered;
    call.done = answered;
    return error == NO_ERROR ? Succeed(call) : Fail(call, error);
}

// Unbuffered raw-disk rules: address, position and length in whole sectors.
bool Aligned(const void* buffer, int64_t position, DWORD length, DWORD sector)
{
    return reinterpret_cast<uintptr_t>(buffer) % sector == 0 && position % sector == 0 && length % sector == 0;
}

// What a read and a write share before they touch a simulated medium: objects the
// stack doesn't simulate go to the system, faults answer, and watched files are
// read or written by the system with the call recorded. True when the call is the
// disk's to carry out; otherwise `*answer` is the call's result.
template <typename Buffer, typename SystemCall>
bool PrepareDiskIo(const char* function, HANDLE handle, Buffer buffer, DWORD length, LPDWORD done,
                   LPOVERLAPPED overlapped, SystemCall system, CallRecord* call, BOOL* answer)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind == Kind::Search || object.kind == Kind::Volume) {
        *answer = system(handle, buffer, length, done, overlapped);
        return false;
    }
    call->function = function;
    call->path = object.path;
    call->handle = handle;
    call->length = length;
    call->offset = object.position;
    if (done != nullptr)
        *done = 0;
    if (Faulted(*call)) {
        Finish(*call);
        *answer = FALSE;
        return false;
    }
    if (object.kind != Kind::File)
        return true;
    LARGE_INTEGER here = {}, zero = {};
    if (sys.SetFilePointerEx(handle, zero, &here, FILE_CURRENT))
        call->offset = here.QuadPart;
    const BOOL moved = system(handle, buffer, length, done, overlapped);
    call->done = done != nullptr ? *done : 0;
    *answer = moved ? Succeed(*call) : Fail(*call, GetLastError());
    return false;
}

// A read that touches a bad area fails; weak areas count the failures they still owe.
bool HitsBadArea(DiskState& disk, int64_t position, int64_t count)
{
    const std::vector<BadArea>& areas = disk.desc.badAreas;
    disk.weakFailed.resize(areas.size(), 0);
    bool hit = false;
    for (size_t i = 0; i < areas.size(); ++i) {
        const BadArea& area = areas[i];
        if (area.offset >= position + count || area.offset + area.length <= position)
            continue;
        if (area.weakReads < 0) {
            hit = true;
        } else if (disk.weakFailed[i] < area.weakReads) {
            ++disk.weakFailed[i];
            hit = true;
        }
    }
    return hit;
}

// The read of a simulated disk under the stack's lock: the error, or NO_ERROR with
// the bytes moved; `*delay` how long a failing medium takes to give up.
DWORD ReadDisk(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped, CallRecord& call,
               DWORD* delay)
{
    Guard guard;
    OpenObject* open = FindHandle(handle);
    DiskState* disk = open != nullptr ? FindDisk(open->number) : nullptr;
    if (open == nullptr || open->stale || disk == nullptr)
        return ERROR_DEVICE_NOT_CONNECTED;
    if (disk->desc.vanishAfterReads > 0 && ++disk->reads > disk->desc.vanishAfterReads) {
        DropDisk(disk->desc.number);
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    if (overlapped != nullptr || !Reads(open->access))
        return overlapped != nullptr ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED;
    const Disk& d = disk->desc;
    if (!Aligned(buffer, open->position, length, d.sectorSize))
        return ERROR_INVALID_PARAMETER;
    const int64_t count = std::max<int64_t>(0, std::min<int64_t>(length, d.size - open->position));
    // Every bad area is asked, so that each weak one counts the read.
    const bool bad = HitsBadArea(*disk, open->position, count);
    if (bad || (d.readErrorAt >= open->position && d.readErrorAt < open->position + count)) {
        *delay = d.failedReadDelayMs;
        return ERROR_CRC;
    }
    if (count > 0 && !ReadMedium(*disk, open->position, static_cast<BYTE*>(buffer), count))
        return ERROR_IO_DEVICE;
    open->position += count;
    if (done != nullptr)
        *done = static_cast<DWORD>(count);
    call.done = static_cast<DWORD>(count);
    return NO_ERROR;
}

BOOL WINAPI HookReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped)
{
    CallRecord call;
    BOOL answer = FALSE;
    if (!PrepareDiskIo("ReadFile", handle, buffer, length, done, overlapped, sys.ReadFile, &call, &answer))
        return answer;
    DWORD delay = 0;
    const DWORD error = ReadDisk(handle, buffer, length, done, overlapped, call, &delay);
    // Outside the lock: the test and other threads go on while the medium struggles.
    if (delay != 0)
        Sleep(delay);
    return error == NO_ERROR ? Succeed(call) : Fail(call, error);
}

BOOL WINAPI HookWriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped)
{
    CallRecord call;
    BOOL answer = FALSE;
    if (!PrepareDiskIo("WriteFile", handle, buffer, length, done, overlapped, sys.WriteFile, &call, &answer))
        return answer;
    Guard guard;
    OpenObject* open = FindHandle(handle);
    DiskState* disk = open != nullptr ? FindDisk(open->number) : nullptr;
    if (open == nullptr || open->stale || disk == nullptr)
        return Fail(call, ERROR_DEVICE_NOT_CONNECTED);
    if (overlapped != nullptr)
        return Fail(call, ERROR_INVALID_PARAMETER);
    if (!Writes(open->access))
        return Fail(call, ERROR_ACCESS_DENIED);
    const Disk& d = disk->desc;
    if (d.writeProtected)
        return Fail(call, ERROR_WRITE_PROTECT);
    if (!Aligned(buffer, open->position, length, d.sectorSize))
        return Fail(call, ERROR_INVALID_PARAMETER);
    if (open->position + length > d.size)
        return Fail(call, ERROR_SECTOR_NOT_FOUND);
    if (WriteHitsMountedVolume(d.number, open->position, length))
        return Fail(call, ERROR_ACCESS_DENIED);
    if (length > 0 && !WriteMedium(*disk, open->position, static_cast<const BYTE*>(buffer), length))
        return Fail(call, ERROR_IO_DEVICE);
    disk->written += length;
    open->position += length;
    if (done != nullptr)
        *done = length;
    call.done = length;
    return Succeed(call);
}

// Moves a simulated disk handle's position; false with the error when the result would be negative.
DWORD MoveDiskPosition(HANDLE handle, int64_t distance, DWORD method, int64_t* result)
{
    Guard guard;
    OpenObject* open = FindHandle(handle);
    DiskState* disk = open != nullptr ? FindDisk(open->number) : nullptr;
    if (open == nullptr || open->stale || disk == nullptr)
        return ERROR_DEVICE_NOT_CONNECTED;
    int64_t base = 0;
    if (method == FILE_CURRENT)
        base = open->position;
    else if (method == FILE_END)
        base = disk->desc.size;
    else if (method != FILE_BEGIN)
        return ERROR_INVALID_PARAMETER;
    if (base + distance < 0)
        return ERROR_NEGATIVE_SEEK;
    open->position = base + distance;
    *result = open->position;
    return NO_ERROR;
}

// A move of a simulated disk's position, recorded and open to faults: true and
// `*result` set, or false with the failure recorded and its error set.
bool SeekDisk(const char* function, HANDLE handle, int64_t distance, DWORD method, CallRecord* call,
               int64_t* result)
{
    OpenObject object;
    Lookup(handle, &object);
    call->function = function;
    call->path = object.path;
    call->handle = handle;
    if (Faulted(*call)) {
        Finish(*call);
        return false;
    }
    const DWORD error = MoveDiskPosition(handle, distance, method, result);
    if (error != NO_ERROR)
        Fail(*call, error);
    return error == NO_ERROR;
}

bool IsSimulatedDisk(HANDLE handle)
{
    OpenObject object;
    return Lookup(handle, &object) && object.kind == Kind::Disk;
}

BOOL WINAPI HookSetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method)
{
    if (!IsSimulatedDisk(handle))
        return sys.SetFilePointerEx(handle, distance, newPosition, method);
    CallRecord call;
    int64_t result = 0;
    if (!SeekDisk("SetFilePointerEx", handle, distance.QuadPart, method, &call, &result))
        return FALSE;
    if (newPosition != nullptr)
        newPosition->QuadPart = result;
    call.offset = result;
    return Succeed(call);
}

DWORD WINAPI HookSetFilePointer(HANDLE handle, LONG low, PLONG high, DWORD method)
{
    if (!IsSimulatedDisk(handle))
        return sys.SetFilePointer(handle, low, high, method);
    const int64_t distance =
        high != nullptr ? (static_cast<int64_t>(*high) << 32) | static_cast<uint32_t>(low) : static_cast<int64_t>(low);
    CallRecord call;
    int64_t result = 0;
    if (!SeekDisk("SetFilePointer", handle, distance, method, &call, &result))
        return INVALID_SET_FILE_POINTER;
    if (high != nullptr)
        *high = static_cast<LONG>(result >> 32);
    call.offset = result;
    Succeed(call);
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(result);
}

BOOL WINAPI HookFlushFileBuffers(HANDLE handle)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind == Kind::Search)
        return sys.FlushFileBuffers(handle);
    CallRecord call;
    call.function = "FlushFileBuffers";
    call.path = object.path;
    call.handle = handle;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    if (object.kind == Kind::File)
        return sys.FlushFileBuffers(handle) ? Succeed(call) : Fail(call, GetLastError());
    return object.stale ? Fail(call, ERROR_DEVICE_NOT_CONNECTED) : Succeed(call);
}

DWORD WINAPI HookGetFileType(HANDLE handle)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind == Kind::File || object.kind == Kind::Search)
        return sys.GetFileType(handle);
    return FILE_TYPE_DISK;
}

BOOL WINAPI HookGetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind == Kind::File)
        return sys.GetFileSizeEx(handle, size);
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL WINAPI HookGetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    OpenObject object;
    if (!Lookup(handle, &object))
        return sys.GetFileInformationByHandle(handle, info);
    CallRecord call;
    call.function = "GetFileInformationByHandle";
    call.path = object.path;
    call.handle = handle;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    if (object.kind != Kind::File)
        return Fail(call, ERROR_INVALID_FUNCTION);
    if (!sys.GetFileInformationByHandle(handle, info))
        return Fail(call, GetLastError());
    if (object.link)
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    // A file on a simulated volume carries that volume's serial, whatever its path says.
    Guard guard;
    for (const VolumeState& volume : g_world->volumes)
        if (volume.present && volume.desc.serial != 0 && LiesOnVolume(volume.desc, object.path))
            info->dwVolumeSerialNumber = volume.desc.serial;
    return Succeed(call);
}

BOOL CopyName(const std::wstring& name, LPWSTR out, DWORD length, CallRecord& call)
{
    if (out == nullptr || name.size() + 1 > length)
        return Fail(call, ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(out, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return Succeed(call);
}

HANDLE WINAPI HookFindFirstVolumeW(LPWSTR name, DWORD length)
{
    if (g_world == nullptr)
        return sys.FindFirstVolumeW(name, length);
    CallRecord call;
    call.function = "FindFirstVolumeW";
    if (Faulted(call)) {
        Finish(call);
        return INVALID_HANDLE_VALUE;
    }
    OpenObject search;
    search.kind = Kind::Search;
    {
        Guard guard;
        for (const VolumeState& volume : g_world->volumes)
            if (volume.present)
                search.names.push_back(VolumePath(volume.desc.guid) + L"\\");
    }
    if (search.names.empty()) {
        Fail(call, ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    search.next = 1;
    call.path = search.names[0];
    const HANDLE token = NewToken();
    call.handle = token;
    if (!CopyName(search.names[0], name, length, call)) {
        sys.CloseHandle(token);
        return INVALID_HANDLE_VALUE;
    }
    Guard guard;
    g_world->handles[token] = search;
    return token;
}

BOOL WINAPI HookFindNextVolumeW(HANDLE handle, LPWSTR name, DWORD length)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind != Kind::Search)
        return sys.FindNextVolumeW(handle, name, length);
    CallRecord call;
    call.function = "FindNextVolumeW";
    call.handle = handle;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    std::wstring next;
    {
        Guard guard;
        OpenObject* open = FindHandle(handle);
        if (open != nullptr && open->next < open->names.size())
            next = open->names[open->next++];
    }
    if (next.empty())
        return Fail(call, ERROR_NO_MORE_FILES);
    call.path = next;
    return CopyName(next, name, length, call);
}

BOOL WINAPI HookFindVolumeClose(HANDLE handle)
{
    OpenObject object;
    if (!Lookup(handle, &object) || object.kind != Kind::Search)
        return sys.FindVolumeClose(handle);
    CallRecord call;
    call.function = "FindVolumeClose";
    call.handle = handle;
    {
        Guard guard;
        g_world->handles.erase(handle);
    }
    sys.CloseHandle(handle);
    return Succeed(call);
}

// The simulated volume whose mount point holds `path` (the longest such mount point).
bool MountedVolumeOf(const std::wstring& path, std::wstring* mountPoint, std::wstring* guid)
{
    Guard guard;
    size_t best = 0;
    for (const VolumeState& volume : g_world->volumes) {
        const std::wstring& mount = volume.desc.mountPoint;
        if (!volume.present || mount.empty() || mount.size() <= best)
            continue;
        if (StartsWith(path, mount) || SameText(path + L"\\", mount)) {
            best = mount.size();
            *mountPoint = mount;
            *guid = volume.desc.guid;
        }
    }
    return best > 0;
}

BOOL WINAPI HookGetVolumePathNameW(LPCWSTR file, LPWSTR out, DWORD length)
{
    if (g_world == nullptr || file == nullptr)
        return sys.GetVolumePathNameW(file, out, length);
    CallRecord call;
    call.function = "GetVolumePathNameW";
    call.path = file;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    std::wstring mount, guid;
    if (MountedVolumeOf(FullPath(file), &mount, &guid))
        return CopyName(mount, out, length, call);
    const BOOL found = sys.GetVolumePathNameW(file, out, length);
    return found ? Succeed(call) : Fail(call, GetLastError());
}

BOOL WINAPI HookGetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR out, DWORD length)
{
    if (g_world == nullptr || mountPoint == nullptr)
        return sys.GetVolumeNameForVolumeMountPointW(mountPoint, out, length);
    const std::wstring point = mountPoint;
    CallRecord call;
    call.function = "GetVolumeNameForVolumeMountPointW";
    call.path = point;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    std::wstring name;
    {
        Guard guard;
        for (const VolumeState& volume : g_world->volumes)
            if (volume.present && !volume.desc.mountPoint.empty() && SameText(volume.desc.mountPoint, point))
                name = VolumePath(volume.desc.guid) + L"\\";
    }
    if (!name.empty())
        return CopyName(name, out, length, call);
    // Every drive root of the system stands for the host volume.
    if (point.size() == 3 && point[1] == L':' && point[2] == L'\\')
        return CopyName(std::wstring(kHostVolume) + L"\\", out, length, call);
    const BOOL found = sys.GetVolumeNameForVolumeMountPointW(mountPoint, out, length);
    return found ? Succeed(call) : Fail(call, GetLastError());
}

BOOL WINAPI HookGetVolumeInformationW(LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                      LPDWORD componentLength, LPDWORD flags, LPWSTR fileSystem, DWORD fileSystemSize)
{
    auto passThrough = [&] {
        return sys.GetVolumeInformationW(root, name, nameSize, serial, componentLength, flags, fileSystem,
                                         fileSystemSize);
    };
    if (g_world == nullptr || root == nullptr)
        return passThrough();
    const std::wstring path = root;
    CallRecord call;
    call.function = "GetVolumeInformationW";
    call.path = path;
    DWORD answer = 0;
    DWORD error = ERROR_FILE_NOT_FOUND;
    {
        Guard guard;
        const VolumeState* found = nullptr;
        for (const VolumeState& volume : g_world->volumes)
            if (volume.present && SameText(path, VolumePath(volume.desc.guid) + L"\\"))
                found = &volume;
        if (found == nullptr)
            return passThrough();
        if (found->lockHolder != nullptr)
            error = ERROR_ACCESS_DENIED;
        else if (found->desc.serial == 0)
            error = ERROR_UNRECOGNIZED_VOLUME;
        else
            error = NO_ERROR;
        answer = found->desc.serial;
    }
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    if (error != NO_ERROR)
        return Fail(call, error);
    if (name != nullptr && nameSize > 0)
        name[0] = L'\0';
    if (serial != nullptr)
        *serial = answer;
    if (componentLength != nullptr)
        *componentLength = 255;
    if (flags != nullptr)
        *flags = 0;
    if (fileSystem != nullptr && fileSystemSize > 4)
        lstrcpynW(fileSystem, L"FAT", static_cast<int>(fileSystemSize));
    return Succeed(call);
}

UINT WINAPI HookGetDriveTypeW(LPCWSTR root)
{
    if (g_world == nullptr || root == nullptr)
        return sys.GetDriveTypeW(root);
    const std::wstring path = root;
    {
        Guard guard;
        for (const VolumeState& volume : g_world->volumes) {
            if (!volume.present)
                continue;
            if (SameText(path, VolumePath(volume.desc.guid) + L"\\") || SameText(path, VolumePath(volume.desc.guid)) ||
                (!volume.desc.mountPoint.empty() && SameText(path, volume.desc.mountPoint)))
                return volume.desc.driveType;
        }
    }
    return sys.GetDriveTypeW(root);
}

BOOL WINAPI HookSetCurrentDirectoryW(LPCWSTR folder)
{
    if (g_world == nullptr || folder == nullptr)
        return sys.SetCurrentDirectoryW(folder);
    CallRecord call;
    call.function = "SetCurrentDirectoryW";
    call.path = folder;
    if (Faulted(call)) {
        Finish(call);
        return FALSE;
    }
    return sys.SetCurrentDirectoryW(folder) ? Succeed(call) : Fail(call, GetLastError());
}

// ---- the import table ----

struct Patch {
    const char* name;
    void* hook;
    void** original;
};

#define KORV_PATCH(fn)                                                                                                 \
    {                                                                                                                  \
#fn, reinterpret_cast < void*>(&Hook##fn), reinterpret_cast < void**>(&sys.fn)                                 \
    }
const Patch kPatches[] = {
    KORV_PATCH(CreateFileW),
    KORV_PATCH(DeviceIoControl),
    KORV_PATCH(ReadFile),
    KORV_PATCH(WriteFile),
    KORV_PATCH(SetFilePointer),
    KORV_PATCH(SetFilePointerEx),
    KORV_PATCH(FlushFileBuffers),
    KORV_PATCH(CloseHandle),
    KORV_PATCH(GetFileType),
    KORV_PATCH(GetFileSizeEx),
    KORV_PATCH(GetFileInformationByHandle),
    KORV_PATCH(FindFirstVolumeW),
    KORV_PATCH(FindNextVolumeW),
    KORV_PATCH(FindVolumeClose),
    KORV_PATCH(GetVolumePathNameW),
    KORV_PATCH(GetVolumeNameForVolumeMountPointW),
    KORV_PATCH(GetVolumeInformationW),
    KORV_PATCH(GetDriveTypeW),
    KORV_PATCH(SetCurrentDirectoryW),
    KORV_PATCH(MoveFileExW),
    KORV_PATCH(DeleteFileW),
    KORV_PATCH(GetFileAttributesW),
};
#undef KORV_PATCH

// The executable's import slots of the patched functions, found by name.
std::vector<std::pair<void**, const Patch*>> ImportSlots()
{
    std::vector<std::pair<void**, const Patch*>> slots;
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return slots;
    for (const IMAGE_IMPORT_DESCRIPTOR* entry =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
        const DWORD namesAt = entry->OriginalFirstThunk != 0 ? entry->OriginalFirstThunk : entry->FirstThunk;
        const IMAGE_THUNK_DATA* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + namesAt);
        IMAGE_THUNK_DATA* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            for (const Patch& patch : kPatches)
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), patch.name) == 0)
                    slots.push_back({reinterpret_cast<void**>(&addresses[i].u1.Function), &patch});
        }
    }
    return slots;
}

void WriteSlot(void** slot, void* value)
{
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection))
        return;
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
}

} // namespace

Stack::Stack(const Options& options)
{
    if (g_world != nullptr) {
        ADD_FAILURE() << "a second sim::Stack while one is installed";
        return;
    }
    installed_ = true;
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    for (const Patch& patch : kPatches)
        *patch.original = reinterpret_cast<void*>(GetProcAddress(kernel, patch.name));
    World* world = new World;
    world->options = options;
    InitializeCriticalSection(&world->lock);
    VolumeState host;
    host.desc.guid = std::wstring(kHostVolume).substr(10);
    host.desc.extents.push_back({options.hostDisk, 1 << 20, 64LL << 30});
    world->volumes.push_back(host);
    g_world = world;
    for (const auto& slot : ImportSlots()) {
        *slot.second->original = *slot.first;
        WriteSlot(slot.first, slot.second->hook);
    }
}

Stack::~Stack()
{
    if (!installed_)
        return;
    for (const auto& slot : ImportSlots())
        WriteSlot(slot.first, *slot.second->original);
    World* world = g_world;
    g_world = nullptr;
    // Simulated handles left open die with the stack; watched files stay their owner's.
    for (const auto& entry : world->handles)
        if (entry.second.kind != Kind::File)
            sys.CloseHandle(entry.first);
    for (DiskState& disk : world->disks)
        if (disk.backing != INVALID_HANDLE_VALUE)
            sys.CloseHandle(disk.backing);
    DeleteCriticalSection(&world->lock);
    delete world;
}

bool Stack::Installed() const
{
    return installed_;
}

void Stack::AddDisk(const Disk& disk)
{
    DiskState state;
    state.desc = disk;
    state.backing = sys.CreateFileW(disk.backingFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    Guard guard;
    for (DiskState& old : g_world->disks)
        if (old.present && old.desc.number == disk.number)
            old.present = false;
    g_world->disks.push_back(state);
}

void Stack::RemoveDisk(DWORD number)
{
    Guard guard;
    DropDisk(number);
}

namespace {

void DropDisk(DWORD number)
{
    for (DiskState& disk : g_world->disks)
        if (disk.desc.number == number)
            disk.present = false;
    for (VolumeState& volume : g_world->volumes)
        for (const Extent& extent : volume.desc.extents)
            if (extent.disk == number)
                volume.present = false;
    for (auto& entry : g_world->handles) {
        OpenObject& open = entry.second;
        if ((open.kind == Kind::Disk && open.number == number) ||
            (open.kind == Kind::Volume && FindVolume(open.guid) == nullptr))
            open.stale = true;
    }
}

} // namespace

void Stack::SwapMedium(DWORD number, const Disk& medium)
{
    Disk swapped = medium;
    swapped.number = number;
    DWORD changes = 0;
    {
        Guard guard;
        const DiskState* old = FindDisk(number);
        changes = old != nullptr ? old->changes : 0;
    }
    AddDisk(swapped);
    Guard guard;
    FindDisk(number)->changes = changes + 1;
}

void Stack::AdvanceChangeCount(DWORD number)
{
    Guard guard;
    DiskState* disk = FindDisk(number);
    if (disk != nullptr)
        ++disk->changes;
}

void Stack::AddVolume(const Volume& volume)
{
    VolumeState state;
    state.desc = volume;
    for (std::wstring& path : state.desc.linkedPaths)
        path = FullPath(path.c_str());
    Guard guard;
    g_world->volumes.push_back(state);
}

void Stack::RemoveVolume(const std::wstring& guid)
{
    Guard guard;
    VolumeState* volume = FindVolume(guid);
    if (volume != nullptr)
        volume->present = false;
    for (auto& entry : g_world->handles)
        if (entry.second.kind == Kind::Volume && SameText(entry.second.guid, guid))
            entry.second.stale = true;
}

void Stack::AddFault(const Fault& fault)
{
    Guard guard;
    g_world->faults.push_back({fault, 0});
}

void Stack::AddHook(const Hook& hook)
{
    Guard guard;
    g_world->hooks.push_back({hook, 0});
}

void Stack::Watch(const std::wstring& path)
{
    const std::wstring full = FullPath(path.c_str());
    Guard guard;
    g_world->watched.push_back(full);
}

void Stack::MakeLink(const std::wstring& path)
{
    Watch(path);
    const std::wstring full = FullPath(path.c_str());
    Guard guard;
    g_world->links.push_back(full);
}

std::vector<CallRecord> Stack::Calls() const
{
    Guard guard;
    return g_world->calls;
}

void Stack::ClearCalls()
{
    Guard guard;
    g_world->calls.clear();
}

int Stack::OpenHandles() const
{
    Guard guard;
    int count = 0;
    for (const auto& entry : g_world->handles)
        count += entry.second.kind != Kind::File ? 1 : 0;
    return count;
}

bool Stack::VolumeLocked(const std::wstring& guid) const
{
    Guard guard;
    const VolumeState* volume = FindVolume(guid);
    return volume != nullptr && volume->lockHolder != nullptr;
}

bool Stack::VolumeMounted(const std::wstring& guid) const
{
    Guard guard;
    const VolumeState* volume = FindVolume(guid);
    return volume != nullptr && !(volume->lockHolder != nullptr && volume->dismounted);
}

int64_t Stack::BytesWritten(DWORD number) const
{
    Guard guard;
    int64_t total = 0;
    for (const DiskState& disk : g_world->disks)
        if (disk.desc.number == number)
            total += disk.written;
    return total;
}

} // namespace sim
