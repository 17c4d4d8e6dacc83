#include "drives/layout_rules.h"

#include <winioctl.h>

#include <cstddef>
#include <cstring>

namespace {

// As the system's own headers and the published lists of partition types name them.
const BYTE kMbrTypes[] = {0x42, 0xE7, 0xD7}; // dynamic disk, storage pool, storage pool data

const GUID kGptTypes[] = {
    {0x5808C8AA, 0x7E8F, 0x42E0, {0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3}}, // LDM metadata
    {0xAF9B60A0, 0x1431, 0x4F62, {0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD}}, // LDM data
    {0xE75CAF8F, 0xF680, 0x4CEE, {0xAF, 0xA3, 0xB0, 0x01, 0xE5, 0x6E, 0xFC, 0x2D}}, // storage pool member
    {0xE7ADDCB4, 0xDC34, 0x4539, {0x9A, 0x76, 0xEB, 0xBD, 0x07, 0xBE, 0x6F, 0x7E}}, // storage pool data
};

bool JoinsOtherDisks(const PARTITION_INFORMATION_EX& entry)
{
    if (entry.PartitionStyle == PARTITION_STYLE_MBR)
        return MbrTypeJoinsOtherDisks(entry.Mbr.PartitionType);
    return entry.PartitionStyle == PARTITION_STYLE_GPT && GptTypeJoinsOtherDisks(&entry.Gpt.PartitionType);
}

} // namespace

bool MbrTypeJoinsOtherDisks(BYTE type)
{
    for (BYTE joining : kMbrTypes)
        if (type == joining)
            return true;
    return false;
}

// A GUID lies on the disk as the structure lies in memory: three little-endian fields, then eight bytes.
bool GptTypeJoinsOtherDisks(const void* type)
{
    for (const GUID& joining : kGptTypes)
        if (std::memcmp(type, &joining, sizeof(GUID)) == 0)
            return true;
    return false;
}

bool LayoutJoinsOtherDisks(const BYTE* answer, DWORD size)
{
    const size_t first = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    if (answer == nullptr || size < first)
        return false;
    DRIVE_LAYOUT_INFORMATION_EX head = {};
    std::memcpy(&head, answer, first);
    for (DWORD i = 0; i < head.PartitionCount; ++i) {
        const size_t at = first + static_cast<size_t>(i) * sizeof(PARTITION_INFORMATION_EX);
        if (at + sizeof(PARTITION_INFORMATION_EX) > size)
            break;
        PARTITION_INFORMATION_EX entry = {};
        std::memcpy(&entry, answer + at, sizeof(entry));
        if (JoinsOtherDisks(entry))
            return true;
    }
    return false;
}
