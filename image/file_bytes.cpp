#include "image/file_bytes.h"

namespace {

OVERLAPPED At(uint64_t offset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

} // namespace

bool ReadFileAt(HANDLE file, uint64_t offset, void* buffer, DWORD size)
{
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    return ReadFile(file, buffer, size, &done, &at) && done == size;
}

bool WriteFileAt(HANDLE file, uint64_t offset, const void* buffer, DWORD size)
{
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    return WriteFile(file, buffer, size, &done, &at) && done == size;
}

bool FileSizeOf(HANDLE file, uint64_t* size)
{
    LARGE_INTEGER length = {};
    if (!GetFileSizeEx(file, &length))
        return false;
    *size = static_cast<uint64_t>(length.QuadPart);
    return true;
}
