// VHDX: a file identifier, two headers (the valid one with the larger sequence
// number counts), two copies of the region table naming the block table and the
// metadata, all little-endian and checked by CRC-32C. Payload blocks sit at
// 1 MiB boundaries; every chunkRatio payload entries of the block table are
// followed by one sector bitmap entry (used by differencing disks only).
//
// Layout of the files written here: identifier, headers and region tables in
// the first MiB, an empty log in the second, metadata in the third, the block
// table from 3 MiB, then the blocks in the order they were first written.
#include "image/virtual_disk.h"

#include "image/file_bytes.h"

#include <algorithm>
#include <cstring>

#include <objbase.h>

namespace {

const uint64_t kMiB = 1 << 20;
const uint32_t kBlockSize = 32 << 20; // what Windows uses for a dynamic disk
const uint32_t kHeaderSize = 4096, kRegionSize = 64 * 1024;
const uint64_t kLogOffset = 1 * kMiB, kMetadataOffset = 2 * kMiB, kTableOffset = 3 * kMiB;
const uint32_t kMaxEntries = 1 << 24;
enum : uint64_t { kStateMask = 7, kFullyPresent = 6, kPartiallyPresent = 7 };

const GUID kBatRegion = {0x2DC27766, 0xF623, 0x4200, {0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08}};
const GUID kMetadataRegion = {0x8B7CA206, 0x4790, 0x4B9A, {0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E}};
const GUID kFileParameters = {0xCAA16737, 0xFA36, 0x4D43, {0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B}};
const GUID kVirtualDiskSize = {0x2FA54224, 0xCD1B, 0x4876, {0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8}};
const GUID kVirtualDiskId = {0xBECA12AB, 0xB2E6, 0x4523, {0x93, 0xEF, 0xC3, 0x09, 0xE0, 0x00, 0xC7, 0x46}};
const GUID kLogicalSector = {0x8141BF1D, 0xA96F, 0x4709, {0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F}};
const GUID kPhysicalSector = {0xCDA348C7, 0x445D, 0x4471, {0x9C, 0xC9, 0xE9, 0x88, 0x52, 0x51, 0xC5, 0x56}};
const GUID kParentLocator = {0xA8D35F2D, 0xB30B, 0x454D, {0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C}};

const wchar_t kNeedsParent[] = L"The image file needs its parent disk, which Korvane doesn't read!";
const wchar_t kUnknownPart[] = L"The image file uses a part of the VHDX format that Korvane doesn't read!";

bool IsGuid(const BYTE* at, const GUID& guid)
{
    return memcmp(at, &guid, sizeof(guid)) == 0;
}

// True when the structure of `size` bytes holds `signature` and its CRC-32C at offset 4.
bool Valid(const BYTE* data, uint32_t size, const char* signature)
{
    uint32_t crc = Crc32c(0, data, 4);
    const BYTE zero[4] = {};
    crc = Crc32c(crc, zero, 4);
    crc = Crc32c(crc, data + 8, size - 8);
    return memcmp(data, signature, strlen(signature)) == 0 && Le32(data + 4) == crc;
}

void Seal(BYTE* data, uint32_t size)
{
    PutLe32(data + 4, 0);
    PutLe32(data + 4, Crc32c(0, data, size));
}

uint32_t ChunkRatio(uint32_t logicalSector, uint32_t blockSize)
{
    return static_cast<uint32_t>((uint64_t(1) << 23) * logicalSector / blockSize);
}

// The block table's entries: payload ones, and after every chunkRatio of them one for a sector bitmap.
uint64_t TableEntries(uint64_t blocks, uint32_t chunkRatio)
{
    return blocks == 0 ? 0 : blocks + (blocks - 1) / chunkRatio;
}

// True when the log holds entries of the header's log GUID: writes the file doesn't show until they are replayed.
bool LogNeedsReplay(HANDLE file, uint64_t fileSize, const BYTE* header, bool* replay)
{
    const BYTE* logGuid = header + 48;
    static const BYTE kNone[16] = {};
    *replay = false;
    if (memcmp(logGuid, kNone, 16) == 0)
        return true;
    const uint64_t offset = Le64(header + 72), length = Le32(header + 68);
    if (offset > fileSize || length > fileSize - offset)
        return false;
    std::vector<BYTE> piece(static_cast<size_t>(std::min<uint64_t>(length, kMiB)));
    for (uint64_t done = 0; done < length && !*replay; done += piece.size()) {
        if (!ReadFileAt(file, offset + done, piece.data(), static_cast<uint32_t>(piece.size())))
            return false;
        for (size_t at = 0; at + 4096 <= piece.size(); at += 4096)
            *replay = *replay || (memcmp(&piece[at], "loge", 4) == 0 && memcmp(&piece[at + 32], logGuid, 16) == 0);
    }
    return true;
}

// Reads the metadata items this program needs; false with *refusal set for a parent or an unknown required item.
bool ReadMetadata(HANDLE file, uint64_t offset, uint32_t length, VirtualDisk* disk, std::wstring* refusal)
{
    std::vector<BYTE> table(kRegionSize);
    if (length < kRegionSize || !ReadFileAt(file, offset, table.data(), kRegionSize) ||
        memcmp(table.data(), "metadata", 8) != 0)
        return false;
    const uint16_t count = Le16(&table[10]);
    if (count > 2047)
        return false;
    int found = 0;
    bool hasParent = false;
    for (uint16_t i = 0; i < count; i++) {
        const BYTE* entry = &table[32 + 32 * i];
        const uint32_t at = Le32(entry + 16), size = Le32(entry + 20);
        const bool required = (Le32(entry + 24) & 4) != 0;
        if (at > length || size > length - at)
            return false;
        BYTE value[16] = {};
        if (size >= 4 && !ReadFileAt(file, offset + at, value, std::min<uint32_t>(size, sizeof(value))))
            return false;
        if (IsGuid(entry, kFileParameters) && size >= 8) {
            disk->blockSize = Le32(value);
            hasParent = (Le32(value + 4) & 2) != 0;
            found |= 1;
        } else if (IsGuid(entry, kVirtualDiskSize) && size >= 8) {
            disk->virtualSize = Le64(value);
            found |= 2;
        } else if (IsGuid(entry, kLogicalSector) && size >= 4) {
            disk->logicalSector = Le32(value);
            found |= 4;
        } else if (IsGuid(entry, kPhysicalSector) && size >= 4) {
            disk->physicalSector = Le32(value);
        } else if (required && !IsGuid(entry, kVirtualDiskId) && !IsGuid(entry, kParentLocator)) {
            *refusal = kUnknownPart;
            return false;
        }
    }
    if (hasParent) {
        *refusal = kNeedsParent;
        return false;
    }
    const uint32_t block = disk->blockSize;
    return found == 7 && block >= kMiB && block <= 256 * kMiB && (block & (block - 1)) == 0 &&
           (disk->logicalSector == 512 || disk->logicalSector == 4096) &&
           disk->virtualSize % disk->logicalSector == 0 && disk->virtualSize <= (64ull << 40);
}

bool WriteHeaders(VirtualDisk& disk, HANDLE file)
{
    BYTE header[kHeaderSize] = {};
    memcpy(header, "head", 4);
    GUID fileWrite = {}, dataWrite = {};
    if (CoCreateGuid(&fileWrite) != S_OK || CoCreateGuid(&dataWrite) != S_OK)
        return false;
    memcpy(header + 16, &fileWrite, 16);
    memcpy(header + 32, &dataWrite, 16);
    PutLe16(header + 66, 1); // version
    PutLe32(header + 68, disk.logLength);
    PutLe64(header + 72, disk.logOffset);
    // The second copy gets the larger number only once the first is in place.
    for (int copy = 1; copy <= 2; copy++) {
        PutLe64(header + 8, ++disk.sequence);
        Seal(header, kHeaderSize);
        if (!WriteFileAt(file, copy * 64 * 1024, header, kHeaderSize) || !FlushFileBuffers(file))
            return false;
    }
    return true;
}

} // namespace

bool OpenVhdx(HANDLE file, VirtualDisk* disk, std::wstring* refusal)
{
    uint64_t fileSize = 0;
    std::vector<BYTE> first(5 * kRegionSize);
    if (!FileSizeOf(file, &fileSize) || fileSize < 5 * kRegionSize ||
        !ReadFileAt(file, 0, first.data(), 5 * kRegionSize) || memcmp(first.data(), "vhdxfile", 8) != 0)
        return false;
    // The current header: the valid one with the larger sequence number.
    const BYTE* header = nullptr;
    for (int copy = 1; copy <= 2; copy++) {
        const BYTE* candidate = &first[copy * 64 * 1024];
        if (Valid(candidate, kHeaderSize, "head") && Le16(candidate + 66) == 1 &&
            (header == nullptr || Le64(candidate + 8) > Le64(header + 8)))
            header = candidate;
    }
    if (header == nullptr)
        return false;
    disk->sequence = Le64(header + 8);
    disk->logOffset = Le64(header + 72);
    disk->logLength = Le32(header + 68);
    bool replay = false;
    if (!LogNeedsReplay(file, fileSize, header, &replay))
        return false;
    if (replay) {
        *refusal = L"The image file holds changes in its log, which Korvane doesn't replay: attach it once in "
                   L"Windows, detach it and try again!";
        return false;
    }
    const BYTE* regions = nullptr;
    for (int copy = 3; copy <= 4 && regions == nullptr; copy++) {
        const BYTE* candidate = &first[copy * 64 * 1024];
        if (Valid(candidate, kRegionSize, "regi") && Le32(candidate + 8) <= 2047)
            regions = candidate;
    }
    if (regions == nullptr)
        return false;
    uint64_t tableAt = 0, metadataAt = 0;
    uint32_t tableLength = 0, metadataLength = 0;
    for (uint32_t i = 0; i < Le32(regions + 8); i++) {
        const BYTE* entry = regions + 16 + 32 * i;
        const uint64_t at = Le64(entry + 16);
        const uint32_t length = Le32(entry + 24);
        if (at > fileSize || length > fileSize - at)
            return false;
        if (IsGuid(entry, kBatRegion)) {
            tableAt = at;
            tableLength = length;
        } else if (IsGuid(entry, kMetadataRegion)) {
            metadataAt = at;
            metadataLength = length;
        } else if (Le32(entry + 28) & 1) {
            *refusal = kUnknownPart;
            return false;
        }
    }
    if (tableAt == 0 || metadataAt == 0 || !ReadMetadata(file, metadataAt, metadataLength, disk, refusal))
        return false;
    disk->chunkRatio = ChunkRatio(disk->logicalSector, disk->blockSize);
    const uint64_t blocks = (disk->virtualSize + disk->blockSize - 1) / disk->blockSize;
    const uint64_t entries = TableEntries(blocks, disk->chunkRatio);
    if (entries > kMaxEntries || entries * 8 > tableLength)
        return false;
    disk->tableOffset = tableAt;
    disk->tableEntries = static_cast<uint32_t>(entries);
    disk->table.assign(disk->tableEntries, 0);
    if (entries != 0 && !ReadFileAt(file, tableAt, disk->table.data(), disk->tableEntries * 8))
        return false;
    disk->blocks.assign(static_cast<size_t>(blocks), 0);
    disk->fileEnd = (fileSize + kMiB - 1) / kMiB * kMiB;
    for (size_t i = 0; i < disk->blocks.size(); i++) {
        const uint64_t entry = disk->table[i + i / disk->chunkRatio];
        const uint64_t state = entry & kStateMask, at = entry & ~(kMiB - 1);
        const uint64_t inDisk = std::min<uint64_t>(disk->blockSize, disk->virtualSize - i * disk->blockSize);
        if (state == kPartiallyPresent || state == 4 || state == 5)
            return false;
        if (state != kFullyPresent)
            continue;
        if (at < kMiB || at > fileSize || inDisk > fileSize - at)
            return false;
        disk->blocks[i] = at;
        disk->fileEnd = std::max(disk->fileEnd, at + disk->blockSize);
    }
    return true;
}

bool BeginVhdx(HANDLE file, uint64_t virtualSize, uint32_t logicalSector, VirtualDisk* disk)
{
    disk->virtualSize = virtualSize;
    disk->logicalSector = logicalSector;
    disk->physicalSector = 4096;
    disk->blockSize = kBlockSize;
    disk->chunkRatio = ChunkRatio(logicalSector, kBlockSize);
    const uint64_t blocks = (virtualSize + kBlockSize - 1) / kBlockSize;
    disk->tableEntries = static_cast<uint32_t>(TableEntries(blocks, disk->chunkRatio));
    disk->blocks.assign(static_cast<size_t>(blocks), 0);
    disk->table.assign(disk->tableEntries, 0);
    disk->tableOffset = kTableOffset;
    const uint32_t tableLength = static_cast<uint32_t>((disk->tableEntries * 8ull + kMiB - 1) / kMiB * kMiB);
    disk->fileEnd = kTableOffset + tableLength;
    disk->logOffset = kLogOffset;
    disk->logLength = static_cast<uint32_t>(kMiB);

    // Everything before the block table; the headers come last, in EndVhdx.
    std::vector<BYTE> start(static_cast<size_t>(kTableOffset), 0);
    memcpy(&start[0], "vhdxfile", 8);
    memcpy(&start[8], L"Korvane", 14);
    BYTE* regions = &start[3 * 64 * 1024];
    memcpy(regions, "regi", 4);
    PutLe32(regions + 8, 2);
    const struct {
        const GUID& id;
        uint64_t at;
        uint32_t length;
    } regionList[] = {{kBatRegion, kTableOffset, tableLength}, {kMetadataRegion, kMetadataOffset, kMiB}};
    for (int i = 0; i < 2; i++) {
        BYTE* entry = regions + 16 + 32 * i;
        memcpy(entry, &regionList[i].id, 16);
        PutLe64(entry + 16, regionList[i].at);
        PutLe32(entry + 24, regionList[i].length);
        PutLe32(entry + 28, 1); // required
    }
    Seal(regions, kRegionSize);
    memcpy(regions + kRegionSize, regions, kRegionSize);

    BYTE* metadata = &start[kMetadataOffset];
    memcpy(metadata, "metadata", 8);
    PutLe16(metadata + 10, 5);
    GUID diskId = {};
    if (CoCreateGuid(&diskId) != S_OK)
        return false;
    const uint32_t kVirtual = 2, kRequired = 4;
    const struct {
        const GUID& id;
        uint32_t length, flags;
    } items[] = {{kFileParameters, 8, kRequired},
                 {kVirtualDiskSize, 8, kVirtual | kRequired},
                 {kVirtualDiskId, 16, kVirtual | kRequired},
                 {kLogicalSector, 4, kVirtual | kRequired},
                 {kPhysicalSector, 4, kVirtual | kRequired}};
    uint32_t at = kRegionSize;
    for (int i = 0; i < 5; i++) {
        BYTE* entry = metadata + 32 + 32 * i;
        memcpy(entry, &items[i].id, 16);
        PutLe32(entry + 16, at);
        PutLe32(entry + 20, items[i].length);
        PutLe32(entry + 24, items[i].flags);
        at += items[i].length;
    }
    PutLe32(metadata + kRegionSize, kBlockSize); // file parameters: no flags (blocks may be unstored, no parent)
    PutLe64(metadata + kRegionSize + 8, virtualSize);
    memcpy(metadata + kRegionSize + 16, &diskId, 16);
    PutLe32(metadata + kRegionSize + 32, logicalSector);
    PutLe32(metadata + kRegionSize + 36, disk->physicalSector);

    std::vector<BYTE> table(tableLength, 0);
    return WriteFileAt(file, 0, start.data(), static_cast<uint32_t>(start.size())) &&
           WriteFileAt(file, kTableOffset, table.data(), tableLength);
}

bool EndVhdx(VirtualDisk& disk, HANDLE file)
{
    for (size_t i = 0; i < disk.blocks.size(); i++) {
        if (disk.blocks[i] != 0)
            disk.table[i + i / disk.chunkRatio] = disk.blocks[i] | kFullyPresent;
    }
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(disk.fileEnd);
    // The table reaches the disk before the headers that make the file whole.
    return (disk.tableEntries == 0 || WriteFileAt(file, disk.tableOffset, disk.table.data(), disk.tableEntries * 8)) &&
           SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file) && FlushFileBuffers(file) &&
           WriteHeaders(disk, file);
}
