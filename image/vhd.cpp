// VHD: a 512-byte footer at the end of the file (and, in a dynamic disk, its copy
// at the start), big-endian fields, each structure checked by the one's
// complement of its byte sum. A dynamic disk's header points at its block table;
// each stored block is a sector bitmap followed by the block's data.
#include "image/virtual_disk.h"

#include "image/file_bytes.h"

#include <algorithm>
#include <cstring>

#include <objbase.h>

namespace {

const uint32_t kBlockSize = 2 << 20; // what Windows uses
const uint32_t kNotStored = 0xFFFFFFFF;
const uint32_t kMaxEntries = 1 << 24;
enum : uint32_t { kFixed = 2, kDynamic = 3, kDifferencing = 4 };

uint32_t Be32(const BYTE* at)
{
    return static_cast<uint32_t>(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

uint64_t Be64(const BYTE* at)
{
    return static_cast<uint64_t>(Be32(at)) << 32 | Be32(at + 4);
}

void PutBe32(BYTE* at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        at[i] = static_cast<BYTE>(value >> (24 - 8 * i));
}

void PutBe64(BYTE* at, uint64_t value)
{
    PutBe32(at, static_cast<uint32_t>(value >> 32));
    PutBe32(at + 4, static_cast<uint32_t>(value));
}

// The one's complement of the sum of all bytes but the checksum's own four at `field`.
uint32_t Checksum(const BYTE* data, size_t size, size_t field)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++)
        sum += i >= field && i < field + 4 ? 0 : data[i];
    return ~sum;
}

bool ValidFooter(const BYTE* footer)
{
    return memcmp(footer, "conectix", 8) == 0 && Be32(footer + 64) == Checksum(footer, 512, 64);
}

// Cylinders, heads and sectors per track for `sectors`, as the format's documents compute them.
uint32_t Geometry(uint64_t sectors)
{
    sectors = std::min<uint64_t>(sectors, 65535ull * 16 * 255);
    uint64_t perTrack, heads, cylindersTimesHeads;
    if (sectors >= 65535ull * 16 * 63) {
        perTrack = 255;
        heads = 16;
        cylindersTimesHeads = sectors / perTrack;
    } else {
        perTrack = 17;
        cylindersTimesHeads = sectors / perTrack;
        heads = std::max<uint64_t>((cylindersTimesHeads + 1023) / 1024, 4);
        if (cylindersTimesHeads >= heads * 1024 || heads > 16) {
            perTrack = 31;
            heads = 16;
            cylindersTimesHeads = sectors / perTrack;
        }
        if (cylindersTimesHeads >= heads * 1024) {
            perTrack = 63;
            heads = 16;
            cylindersTimesHeads = sectors / perTrack;
        }
    }
    return static_cast<uint32_t>(cylindersTimesHeads / heads) << 16 | static_cast<uint32_t>(heads) << 8 |
           static_cast<uint32_t>(perTrack);
}

// Seconds since 2000-01-01 00:00 UTC.
uint32_t Timestamp()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    const uint64_t y2000 = 125911584000000000ull; // 2000-01-01 in 100 ns since 1601-01-01
    return ticks > y2000 ? static_cast<uint32_t>((ticks - y2000) / 10000000) : 0;
}

} // namespace

bool OpenVhd(HANDLE file, VirtualDisk* disk, std::wstring* refusal)
{
    uint64_t fileSize = 0;
    BYTE* footer = disk->footer;
    if (!FileSizeOf(file, &fileSize) || fileSize < 512 || !ReadFileAt(file, fileSize - 512, footer, 512))
        return false;
    if (!ValidFooter(footer)) {
        // A dynamic disk whose last footer is damaged still has the copy at its start.
        if (!ReadFileAt(file, 0, footer, 512) || !ValidFooter(footer) || Be32(footer + 60) == kFixed)
            return false;
    }
    const uint32_t type = Be32(footer + 60);
    disk->virtualSize = Be64(footer + 48);
    disk->fileEnd = fileSize - 512;
    if (type == kDifferencing) {
        *refusal = L"The image file needs its parent disk, which Korvane doesn't read!";
        return false;
    }
    if (disk->virtualSize % 512 != 0 || disk->virtualSize > (16ull << 40) || (type != kFixed && type != kDynamic))
        return false;
    if (type == kFixed) {
        disk->fixed = true;
        return disk->virtualSize <= fileSize - 512;
    }
    BYTE header[1024];
    const uint64_t headerOffset = Be64(footer + 16);
    if (headerOffset > fileSize || !ReadFileAt(file, headerOffset, header, sizeof(header)) ||
        memcmp(header, "cxsparse", 8) != 0 || Be32(header + 36) != Checksum(header, sizeof(header), 36))
        return false;
    disk->tableOffset = Be64(header + 16);
    disk->tableEntries = Be32(header + 28);
    disk->blockSize = Be32(header + 32);
    const uint32_t block = disk->blockSize;
    if (block < 4096 || block > (256u << 20) || (block & (block - 1)) != 0)
        return false;
    disk->bitmapSize = (block / 512 / 8 + 511) / 512 * 512;
    const uint64_t needed = (disk->virtualSize + block - 1) / block;
    if (disk->tableEntries < needed || disk->tableEntries > kMaxEntries)
        return false;
    std::vector<BYTE> table(static_cast<size_t>(needed) * 4);
    if (needed != 0 && !ReadFileAt(file, disk->tableOffset, table.data(), static_cast<uint32_t>(table.size())))
        return false;
    disk->blocks.assign(static_cast<size_t>(needed), 0);
    for (size_t i = 0; i < disk->blocks.size(); i++) {
        const uint32_t entry = Be32(&table[i * 4]);
        if (entry == kNotStored)
            continue;
        const uint64_t data = entry * 512ull + disk->bitmapSize;
        if (data + block > fileSize)
            return false;
        disk->blocks[i] = data;
        disk->fileEnd = std::max(disk->fileEnd, data + block);
    }
    return true;
}

bool BeginVhd(HANDLE file, uint64_t virtualSize, VirtualDisk* disk)
{
    disk->virtualSize = virtualSize;
    disk->blockSize = kBlockSize;
    disk->bitmapSize = 512;
    disk->tableEntries = static_cast<uint32_t>((virtualSize + kBlockSize - 1) / kBlockSize);
    disk->blocks.assign(disk->tableEntries, 0);
    disk->tableOffset = 512 + 1024;
    disk->fileEnd = disk->tableOffset + (disk->tableEntries * 4ull + 511) / 512 * 512;

    BYTE* footer = disk->footer;
    memset(footer, 0, 512);
    memcpy(footer, "conectix", 8);
    PutBe32(footer + 8, 2);           // features: the reserved bit that is always set
    PutBe32(footer + 12, 0x00010000); // format version
    PutBe64(footer + 16, 512);        // the dynamic header
    PutBe32(footer + 24, Timestamp());
    memcpy(footer + 28, "kvn ", 4);    // creator application
    PutBe32(footer + 32, 0x00010000);  // creator version
    memcpy(footer + 36, "Wi2k", 4);    // creator host: Windows
    PutBe64(footer + 40, virtualSize); // original size
    PutBe64(footer + 48, virtualSize); // current size
    PutBe32(footer + 56, Geometry(virtualSize / 512));
    PutBe32(footer + 60, kDynamic);
    GUID id = {};
    if (CoCreateGuid(&id) != S_OK)
        return false;
    memcpy(footer + 68, &id, 16);
    PutBe32(footer + 64, Checksum(footer, 512, 64));

    BYTE header[1024] = {};
    memcpy(header, "cxsparse", 8);
    PutBe64(header + 8, ~0ull);
    PutBe64(header + 16, disk->tableOffset);
    PutBe32(header + 24, 0x00010000);
    PutBe32(header + 28, disk->tableEntries);
    PutBe32(header + 32, kBlockSize);
    PutBe32(header + 36, Checksum(header, sizeof(header), 36));
    // The table as nothing stored, to its padding; EndVhd writes the entries.
    std::vector<BYTE> table(static_cast<size_t>(disk->fileEnd - disk->tableOffset), 0xFF);
    return WriteFileAt(file, 0, footer, 512) && WriteFileAt(file, 512, header, sizeof(header)) &&
           WriteFileAt(file, disk->tableOffset, table.data(), static_cast<uint32_t>(table.size()));
}

bool EndVhd(VirtualDisk& disk, HANDLE file)
{
    std::vector<BYTE> table(disk.blocks.size() * 4, 0xFF);
    for (size_t i = 0; i < disk.blocks.size(); i++) {
        if (disk.blocks[i] != 0)
            PutBe32(&table[i * 4], static_cast<uint32_t>((disk.blocks[i] - disk.bitmapSize) / 512));
    }
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(disk.fileEnd + 512);
    return WriteFileAt(file, disk.tableOffset, table.data(), static_cast<uint32_t>(table.size())) &&
           WriteFileAt(file, disk.fileEnd, disk.footer, 512) && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
           SetEndOfFile(file);
}
