// What a disk's partition layout says of volumes beyond the disk itself: free of any system call.
#pragma once

#include <windows.h>

// True when an IOCTL_DISK_GET_DRIVE_LAYOUT_EX answer of `size` bytes holds a partition
// of a dynamic disk (MBR type 0x42, the GPT LDM metadata or data type) or of a storage
// pool (MBR type 0xE7, the GPT Storage Spaces types): such a disk's volumes are described
// by metadata outside every volume, and may span other disks. Entries the answer is too
// short to hold are not looked at.
bool LayoutJoinsOtherDisks(const BYTE* answer, DWORD size);

// The same for one partition type: an MBR type byte, or a GPT type as its 16 bytes lie on the disk.
bool MbrTypeJoinsOtherDisks(BYTE type);
bool GptTypeJoinsOtherDisks(const void* type);
