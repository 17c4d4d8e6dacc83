// Virtual disks: VHD (fixed and dynamic) and VHDX (fixed and dynamic) read at
// any offset; new dynamic VHD and VHDX files written at any offset, in any
// order, with blocks that hold only zeros left unstored.
//
// These functions show nothing: they return false and the caller tells. They
// never close the file handle they are given. The handle is a synchronous one
// (positioned reads and writes through OVERLAPPED offsets); the file's own
// structures sit at 512-byte boundaries, so it must not be opened unbuffered.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct VirtualDisk {
    bool vhdx = false;
    uint64_t virtualSize = 0; // bytes of the disk inside
    uint32_t logicalSector = 512;
    uint32_t physicalSector = 512;
    bool fixed = false;           // a fixed VHD: the disk's bytes from offset 0 of the file
    uint32_t blockSize = 0;       // bytes of disk per block
    uint32_t bitmapSize = 0;      // VHD: the sector bitmap before each block's data
    std::vector<uint64_t> blocks; // file offset of each block's data; 0: not stored (reads as zeros)
    // Where the file keeps its block table and what comes after the last block.
    uint64_t tableOffset = 0;
    uint32_t tableEntries = 0;   // VHD: entries; VHDX: entries with the sector bitmap ones
    uint32_t chunkRatio = 0;     // VHDX: data blocks per sector bitmap block
    std::vector<uint64_t> table; // VHDX: the block table as read, sector bitmap entries included
    uint64_t fileEnd = 0;        // where the next stored block goes
    int64_t pendingBlock = -1;   // the block stored last, written from its start up to pendingFrom only
    uint32_t pendingFrom = 0;
    BYTE footer[512] = {};  // VHD: the footer, written again at the end
    uint64_t logOffset = 0; // VHDX: the log region, kept in the headers written at the end
    uint32_t logLength = 0;
    uint64_t sequence = 0; // VHDX: the current header's sequence number
};

// Largest virtual disk each kind holds as Korvane writes it: 2 040 GB for a
// VHD, 64 TB for a VHDX. False also for sizes that aren't whole 512-byte sectors.
bool VirtualDiskSizeFits(bool vhdx, uint64_t size);

// Reads the headers of an opened VHD or VHDX. False with *refusal set to the text to show
// (a differencing disk, a VHDX whose log must be replayed first), or with *refusal
// empty when the file is damaged (the caller says "Read file error").
bool OpenVirtualDisk(HANDLE file, bool vhdx, VirtualDisk* disk, std::wstring* refusal);
// `size` bytes of the virtual disk at `offset` (blocks never written read as zeros).
bool ReadVirtualDisk(const VirtualDisk& disk, HANDLE file, uint64_t offset, uint8_t* buffer, uint32_t size);
// A new dynamic VHD or VHDX of `virtualSize` bytes in the empty `file`; `logicalSector`
// is the drive's (512 or 4096; a VHD has 512 only). False when the size doesn't fit
// (see VirtualDiskSizeFits) or the file can't be written.
bool BeginVirtualDisk(HANDLE file, bool vhdx, uint64_t virtualSize, uint32_t logicalSector, VirtualDisk* disk);
// Writes at any offset (offset and size whole 512-byte sectors); a block not yet
// stored is stored at the file's end on its first bytes that aren't zero, the
// rest of it zeros; while it gets only zeros it stays unstored.
bool WriteVirtualDisk(VirtualDisk& disk, HANDLE file, uint64_t offset, const uint8_t* data, uint32_t size);
// Writes what is kept in memory (block table, footer, headers) so that the file is complete.
bool EndVirtualDisk(VirtualDisk& disk, HANDLE file);

// The checksum of VHDX structures: CRC-32C (Castagnoli), continued from `crc` (0 to start).
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);

// Internals shared by the VHD and VHDX parts.
bool OpenVhd(HANDLE file, VirtualDisk* disk, std::wstring* refusal);
bool BeginVhd(HANDLE file, uint64_t virtualSize, VirtualDisk* disk);
bool EndVhd(VirtualDisk& disk, HANDLE file);
bool OpenVhdx(HANDLE file, VirtualDisk* disk, std::wstring* refusal);
bool BeginVhdx(HANDLE file, uint64_t virtualSize, uint32_t logicalSector, VirtualDisk* disk);
bool EndVhdx(VirtualDisk& disk, HANDLE file);
