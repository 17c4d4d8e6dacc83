#include "image/virtual_disk.h"

#include "image/file_bytes.h"

#include <algorithm>

#include "image/sparse_image.h"

namespace {

const uint64_t kSector = 512;
const uint32_t kZeroRun = 1 << 20;

bool WriteZerosAt(HANDLE file, uint64_t offset, uint64_t size)
{
    if (size == 0)
        return true;
    std::vector<BYTE> zeros(static_cast<size_t>(std::min<uint64_t>(size, kZeroRun)), 0);
    for (uint64_t done = 0; done < size;) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(size - done, zeros.size()));
        if (!WriteFileAt(file, offset + done, zeros.data(), piece))
            return false;
        done += piece;
    }
    return true;
}

// The rest of the block stored last, which sequential writes would have filled, as zeros.
bool FinishPendingBlock(VirtualDisk& disk, HANDLE file)
{
    if (disk.pendingBlock < 0)
        return true;
    const uint64_t data = disk.blocks[static_cast<size_t>(disk.pendingBlock)];
    disk.pendingBlock = -1;
    return WriteZerosAt(file, data + disk.pendingFrom, disk.blockSize - disk.pendingFrom);
}

// Stores block `index` at the file's end with `size` bytes at `within` and zeros around them.
bool StoreBlock(VirtualDisk& disk, HANDLE file, size_t index, uint32_t within, const uint8_t* data, uint32_t size)
{
    if (!FinishPendingBlock(disk, file))
        return false;
    uint64_t at = disk.fileEnd;
    if (disk.bitmapSize != 0) {
        // Every sector of a stored block is in use: those not written hold zeros.
        std::vector<BYTE> bitmap(disk.bitmapSize, 0xFF);
        if (!WriteFileAt(file, at, bitmap.data(), disk.bitmapSize))
            return false;
        at += disk.bitmapSize;
    }
    if (!WriteZerosAt(file, at, within) || !WriteFileAt(file, at + within, data, size))
        return false;
    disk.blocks[index] = at;
    disk.fileEnd = at + disk.blockSize;
    disk.pendingBlock = static_cast<int64_t>(index);
    disk.pendingFrom = within + size;
    return true;
}

// A dynamic VHD's sectors whose bit in the block's bitmap is clear hold no data: zeros.
bool ReadVhdBlock(const VirtualDisk& disk, HANDLE file, uint64_t data, uint32_t within, uint8_t* buffer, uint32_t size)
{
    const uint32_t first = within / kSector, last = (within + size - 1) / kSector;
    std::vector<BYTE> bits(last / 8 - first / 8 + 1);
    if (!ReadFileAt(file, data - disk.bitmapSize + first / 8, bits.data(), static_cast<uint32_t>(bits.size())))
        return false;
    const auto used = [&](uint32_t sector) { return (bits[sector / 8 - first / 8] & (0x80 >> (sector % 8))) != 0; };
    uint32_t done = 0;
    for (uint32_t sector = first; sector <= last;) {
        uint32_t end = sector + 1;
        while (end <= last && used(end) == used(sector))
            end++;
        const uint32_t from = std::max(within, sector * 512u), to = std::min(within + size, end * 512u);
        if (used(sector)) {
            if (!ReadFileAt(file, data + from, buffer + done, to - from))
                return false;
        } else {
            std::fill(buffer + done, buffer + done + (to - from), 0);
        }
        done += to - from;
        sector = end;
    }
    return true;
}

} // namespace

namespace {

struct Crc32cTable {
    uint32_t entries[256];
};

// The reflected Castagnoli polynomial's table, made by the compiler.
constexpr Crc32cTable MakeCrc32cTable()
{
    Crc32cTable table = {};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; bit++)
            value = (value >> 1) ^ (value & 1 ? 0x82F63B78u : 0);
        table.entries[i] = value;
    }
    return table;
}

constexpr Crc32cTable kCrc32c = MakeCrc32cTable();

} // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size)
{
    const BYTE* bytes = static_cast<const BYTE*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; i++)
        crc = kCrc32c.entries[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool VirtualDiskSizeFits(bool vhdx, uint64_t size)
{
    const uint64_t largest = vhdx ? 64ull << 40 : 2040ull << 30;
    return size != 0 && size % kSector == 0 && size <= largest;
}

bool OpenVirtualDisk(HANDLE file, bool vhdx, VirtualDisk* disk, std::wstring* refusal)
{
    refusal->clear();
    *disk = VirtualDisk();
    disk->vhdx = vhdx;
    return vhdx ? OpenVhdx(file, disk, refusal) : OpenVhd(file, disk, refusal);
}

bool ReadVirtualDisk(const VirtualDisk& disk, HANDLE file, uint64_t offset, uint8_t* buffer, uint32_t size)
{
    if (offset > disk.virtualSize || size > disk.virtualSize - offset)
        return false;
    if (disk.fixed)
        return ReadFileAt(file, offset, buffer, size);
    while (size > 0) {
        const size_t index = static_cast<size_t>(offset / disk.blockSize);
        const uint32_t within = static_cast<uint32_t>(offset % disk.blockSize);
        const uint32_t piece = std::min(size, disk.blockSize - within);
        const uint64_t data = disk.blocks[index];
        if (data == 0)
            std::fill(buffer, buffer + piece, 0);
        else if (!(disk.bitmapSize != 0 ? ReadVhdBlock(disk, file, data, within, buffer, piece)
                                        : ReadFileAt(file, data + within, buffer, piece)))
            return false;
        offset += piece;
        buffer += piece;
        size -= piece;
    }
    return true;
}

bool BeginVirtualDisk(HANDLE file, bool vhdx, uint64_t virtualSize, uint32_t logicalSector, VirtualDisk* disk)
{
    *disk = VirtualDisk();
    disk->vhdx = vhdx;
    if (!VirtualDiskSizeFits(vhdx, virtualSize) || (logicalSector != 512 && (!vhdx || logicalSector != 4096)) ||
        virtualSize % logicalSector != 0)
        return false;
    return vhdx ? BeginVhdx(file, virtualSize, logicalSector, disk) : BeginVhd(file, virtualSize, disk);
}

bool WriteVirtualDisk(VirtualDisk& disk, HANDLE file, uint64_t offset, const uint8_t* data, uint32_t size)
{
    if (offset % kSector != 0 || size % kSector != 0 || offset > disk.virtualSize || size > disk.virtualSize - offset)
        return false;
    if (disk.fixed)
        return WriteFileAt(file, offset, data, size);
    while (size > 0) {
        const size_t index = static_cast<size_t>(offset / disk.blockSize);
        const uint32_t within = static_cast<uint32_t>(offset % disk.blockSize);
        const uint32_t piece = std::min(size, disk.blockSize - within);
        const uint64_t stored = disk.blocks[index];
        if (stored == 0) {
            if (!IsAllZero(data, piece) && !StoreBlock(disk, file, index, within, data, piece))
                return false;
        } else {
            if (disk.pendingBlock == static_cast<int64_t>(index)) {
                // Zeros where this write skips ahead of what the block was written up to.
                if (within > disk.pendingFrom &&
                    !WriteZerosAt(file, stored + disk.pendingFrom, within - disk.pendingFrom))
                    return false;
                disk.pendingFrom = std::max(disk.pendingFrom, within + piece);
            }
            if (!WriteFileAt(file, stored + within, data, piece))
                return false;
        }
        offset += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

bool EndVirtualDisk(VirtualDisk& disk, HANDLE file)
{
    if (disk.fixed)
        return true;
    if (!FinishPendingBlock(disk, file))
        return false;
    return disk.vhdx ? EndVhdx(disk, file) : EndVhd(disk, file);
}
