#include "drives/medium_identity.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// A descriptor is a few hundred bytes; a layout holds up to 128 GPT entries, and an MBR
// disk a chain of logical drives: the answer grows until it fits, up to a bound.
const DWORD kDescriptorBytes = 4096;
const DWORD kFirstLayoutBytes = sizeof(DRIVE_LAYOUT_INFORMATION_EX) + 127 * sizeof(PARTITION_INFORMATION_EX);
const DWORD kMostLayoutBytes = 1024 * 1024;

bool ReadSerial(HANDLE device, MediumIdentity* identity)
{
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<BYTE> answer(kDescriptorBytes);
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), answer.data(),
                         static_cast<DWORD>(answer.size()), &returned, nullptr))
        return false;
    return SerialFromDescriptor(answer.data(), returned, &identity->SerialNumber);
}

bool ReadLayout(HANDLE device, MediumIdentity* identity)
{
    std::vector<BYTE> answer;
    return ReadDriveLayout(device, &answer) &&
           LayoutFromAnswer(answer.data(), static_cast<DWORD>(answer.size()), identity);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

bool ReadDriveLayout(HANDLE device, std::vector<BYTE>* answer)
{
    for (DWORD size = kFirstLayoutBytes; size <= kMostLayoutBytes; size *= 2) {
        answer->assign(size, 0);
        DWORD returned = 0;
        if (DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, answer->data(), size, &returned,
                            nullptr)) {
            answer->resize(returned);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA)
            break;
    }
    answer->clear();
    return false;
}

bool SameMediumIdentity(const MediumIdentity& listed, const MediumIdentity& now)
{
    if (listed.ChangeCountAnswered != now.ChangeCountAnswered ||
        (listed.ChangeCountAnswered && listed.ChangeCount != now.ChangeCount))
        return false;
    if (listed.SerialAnswered != now.SerialAnswered || listed.LayoutAnswered != now.LayoutAnswered)
        return false;
    if (listed.SerialAnswered && listed.SerialNumber != now.SerialNumber)
        return false;
    if (!listed.LayoutAnswered)
        return true;
    if (listed.PartitionStyle != now.PartitionStyle)
        return false;
    if (listed.PartitionStyle == PARTITION_STYLE_MBR)
        return listed.MbrSignature == now.MbrSignature;
    if (listed.PartitionStyle == PARTITION_STYLE_GPT)
        return std::memcmp(&listed.GptDiskId, &now.GptDiskId, sizeof(GUID)) == 0;
    return true;
}

bool SerialFromDescriptor(const BYTE* answer, DWORD size, std::string* serial)
{
    serial->clear();
    const size_t needed = offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) + sizeof(DWORD);
    if (answer == nullptr || size < needed)
        return false;
    STORAGE_DEVICE_DESCRIPTOR head = {};
    std::memcpy(&head, answer, needed);
    // The answer may claim less than it returned; what lies beyond its own size is not part of it.
    const DWORD end = head.Size != 0 && head.Size < size ? head.Size : size;
    DWORD offset = head.SerialNumberOffset;
    // An offset into the fixed part, or past the answer, points at no serial.
    if (offset < offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) || offset >= end)
        return true;
    while (offset < end && answer[offset] != 0)
        serial->push_back(static_cast<char>(answer[offset++]));
    // Some devices pad their serial with blanks; the padding says nothing about the medium.
    size_t first = 0;
    while (first < serial->size() && IsBlank((*serial)[first]))
        ++first;
    size_t last = serial->size();
    while (last > first && IsBlank((*serial)[last - 1]))
        --last;
    *serial = serial->substr(first, last - first);
    return true;
}

bool LayoutFromAnswer(const BYTE* answer, DWORD size, MediumIdentity* identity)
{
    // The style and its identity come before the partition entries.
    const size_t needed = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    if (answer == nullptr || size < needed)
        return false;
    DRIVE_LAYOUT_INFORMATION_EX layout = {};
    std::memcpy(&layout, answer, needed);
    identity->PartitionStyle = layout.PartitionStyle;
    identity->MbrSignature = 0;
    identity->GptDiskId = GUID();
    if (layout.PartitionStyle == PARTITION_STYLE_MBR)
        identity->MbrSignature = layout.Mbr.Signature;
    else if (layout.PartitionStyle == PARTITION_STYLE_GPT)
        identity->GptDiskId = layout.Gpt.DiskId;
    else if (layout.PartitionStyle != PARTITION_STYLE_RAW)
        return false;
    return true;
}

bool ReadMediumChangeCount(HANDLE device, DWORD* count)
{
    for (DWORD code : {static_cast<DWORD>(IOCTL_STORAGE_CHECK_VERIFY2), static_cast<DWORD>(IOCTL_STORAGE_CHECK_VERIFY)}) {
        ULONG changes = 0;
        DWORD returned = 0;
        // An answer without the count (a device that only says whether a medium is in) tells nothing.
        if (DeviceIoControl(device, code, nullptr, 0, &changes, sizeof(changes), &returned, nullptr) &&
            returned >= sizeof(changes)) {
            *count = changes;
            return true;
        }
    }
    return false;
}

MediumIdentity ReadMediumIdentity(HANDLE device)
{
    MediumIdentity identity;
    // First: a device that noticed a new medium says so before any other query.
    identity.ChangeCountAnswered = ReadMediumChangeCount(device, &identity.ChangeCount);
    identity.SerialAnswered = ReadSerial(device, &identity);
    identity.LayoutAnswered = ReadLayout(device, &identity);
    if (!identity.LayoutAnswered)
        identity.PartitionStyle = PARTITION_STYLE_RAW;
    return identity;
}
