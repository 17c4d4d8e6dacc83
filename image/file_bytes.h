// Reading and writing an image file's records: positioned reads and writes, the file's
// size, and little-endian fields.
#pragma once

#include <windows.h>

#include <cstdint>

// Reads or writes exactly `size` bytes at `offset` of the synchronous `file` (its pointer
// is left after them); false otherwise.
bool ReadFileAt(HANDLE file, uint64_t offset, void* buffer, DWORD size);
bool WriteFileAt(HANDLE file, uint64_t offset, const void* buffer, DWORD size);
bool FileSizeOf(HANDLE file, uint64_t* size);

inline uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

inline uint64_t Le64(const uint8_t* p)
{
    return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

inline void PutLe16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLe32(uint8_t* p, uint32_t value)
{
    PutLe16(p, static_cast<uint16_t>(value));
    PutLe16(p + 2, static_cast<uint16_t>(value >> 16));
}

inline void PutLe64(uint8_t* p, uint64_t value)
{
    PutLe32(p, static_cast<uint32_t>(value));
    PutLe32(p + 4, static_cast<uint32_t>(value >> 32));
}
