// What tells one medium from another of the same size behind one device path:
// the count of medium changes the device keeps, the serial number it reports
// and the identity of its partition layout.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

// A part whose query the device can't answer at all (a file-backed drive, a
// loop device) stays unanswered. Two identities are the same medium when each
// part is unanswered on both sides, or answered on both with the same value:
// an answer on one side only, or two different answers, mean another medium.
struct MediumIdentity {
    // A card reader reports its own serial for every card, and cards written from one
    // image share their layout identity: only the change count tells a swapped card.
    bool ChangeCountAnswered = false;
    DWORD ChangeCount = 0;
    bool SerialAnswered = false;
    std::string SerialNumber; // empty when the device reports none
    bool LayoutAnswered = false;
    DWORD PartitionStyle = PARTITION_STYLE_RAW; // a raw medium has no layout identity
    DWORD MbrSignature = 0;
    GUID GptDiskId = {};
};

bool SameMediumIdentity(const MediumIdentity& listed, const MediumIdentity& now);

// The serial number from a StorageDeviceProperty answer of `size` bytes. False
// when the answer is too short to say where a serial would be. A zero offset,
// an offset outside the answer's strings or an empty (or all-blank) string is no serial.
bool SerialFromDescriptor(const BYTE* answer, DWORD size, std::string* serial);
// The layout identity from an IOCTL_DISK_GET_DRIVE_LAYOUT_EX answer of `size` bytes.
bool LayoutFromAnswer(const BYTE* answer, DWORD size, MediumIdentity* identity);

// The device's IOCTL_DISK_GET_DRIVE_LAYOUT_EX answer, in a block grown until it fits.
bool ReadDriveLayout(HANDLE device, std::vector<BYTE>* answer);
// The device's count of medium changes (IOCTL_STORAGE_CHECK_VERIFY2, else
// IOCTL_STORAGE_CHECK_VERIFY, which needs read access); false when it gives none.
bool ReadMediumChangeCount(HANDLE device, DWORD* count);
// Asks the open device the change count first, then the serial and the layout;
// parts it can't answer stay unanswered.
MediumIdentity ReadMediumIdentity(HANDLE device);
