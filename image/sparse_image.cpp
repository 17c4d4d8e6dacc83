#include "image/sparse_image.h"

#include <winioctl.h>

#include <cstdint>
#include <cstring>

bool MakeImageSparse(HANDLE file, const wchar_t* path)
{
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(path, root, MAX_PATH + 1))
        return false;
    DWORD flags = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
        (flags & FILE_SUPPORTS_SPARSE_FILES) == 0)
        return false;
    DWORD returned = 0;
    return DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

bool IsAllZero(const BYTE* data, size_t size)
{
    // Whole machine words, eight at a time, then the rest byte by byte.
    const size_t block = 8 * sizeof(uintptr_t);
    size_t at = 0;
    for (; at + block <= size; at += block) {
        uintptr_t words[8];
        std::memcpy(words, data + at, block);
        if ((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] | words[7]) != 0)
            return false;
    }
    for (; at < size; ++at)
        if (data[at] != 0)
            return false;
    return true;
}
