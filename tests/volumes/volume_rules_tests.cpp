#include <gtest/gtest.h>

#include <vector>

#include "drives/layout_rules.h"
#include "drives/volume_rules.h"

using Disks = std::vector<DWORD>;
using Paths = std::vector<std::wstring>;

TEST(VolumesOnDisk, PicksEveryVolumeOfTheDiskAndNoneOfAnother)
{
    const std::vector<VolumeLayout> volumes = {
        {L"\\\\?\\Volume{a}", {0}},    // system disk
        {L"\\\\?\\Volume{b}", {2}},    // card, first partition
        {L"\\\\?\\Volume{c}", {1, 2}}, // spans the second disk and the card
        {L"\\\\?\\Volume{d}", {}},     // no extents at all
        {L"\\\\?\\Volume{e}", {2}},    // card, second partition
    };
    EXPECT_EQ(VolumesOnDisk(volumes, 2), (Paths{L"\\\\?\\Volume{b}", L"\\\\?\\Volume{c}", L"\\\\?\\Volume{e}"}));
    EXPECT_EQ(VolumesOnDisk(volumes, 1), Paths{L"\\\\?\\Volume{c}"});
    EXPECT_EQ(VolumesOnDisk(volumes, 0), Paths{L"\\\\?\\Volume{a}"});
    EXPECT_TRUE(VolumesOnDisk(volumes, 3).empty());
    EXPECT_TRUE(VolumesOnDisk({}, 0).empty());
}

TEST(LiesOnDisk, AnyExtentCountsAndNoExtentMeansNowhere)
{
    EXPECT_TRUE(LiesOnDisk(Disks{4}, 4));
    EXPECT_TRUE(LiesOnDisk(Disks{0, 4}, 4));
    EXPECT_TRUE(LiesOnDisk(Disks{4, 0}, 0));
    EXPECT_FALSE(LiesOnDisk(Disks{0, 1}, 4));
    EXPECT_FALSE(LiesOnDisk(Disks{}, 0));
}

TEST(DiskNumberOf, OnlyADiskHasANumberThatCounts)
{
    DWORD disk = 99;
    STORAGE_DEVICE_NUMBER number = {};
    number.DeviceType = FILE_DEVICE_DISK;
    number.DeviceNumber = 3;
    number.PartitionNumber = 0;
    ASSERT_TRUE(DiskNumberOf(number, &disk));
    EXPECT_EQ(disk, 3u);

    disk = 99;
    number.DeviceType = FILE_DEVICE_CD_ROM;
    EXPECT_FALSE(DiskNumberOf(number, &disk));
    EXPECT_EQ(disk, 99u);
}

// An extents block as the system fills it, in storage aligned for the structure.
struct ExtentsBlock {
    explicit ExtentsBlock(const Disks& disks) : storage((ExtentsBlockSize(static_cast<DWORD>(disks.size())) + 7) / 8, 0)
    {
        block()->NumberOfDiskExtents = static_cast<DWORD>(disks.size());
        DISK_EXTENT* extents = block()->Extents;
        for (size_t i = 0; i < disks.size(); ++i) {
            extents[i].DiskNumber = disks[i];
            extents[i].StartingOffset.QuadPart = 1048576LL * static_cast<LONGLONG>(i + 1);
            extents[i].ExtentLength.QuadPart = 4096;
        }
    }
    VOLUME_DISK_EXTENTS* block() { return reinterpret_cast<VOLUME_DISK_EXTENTS*>(storage.data()); }
    std::vector<LONGLONG> storage;
};

TEST(ReadExtentDisks, ReadsWhatTheBlockHoldsAndNeverPastIt)
{
    Disks disks;
    ExtentsBlock one(Disks{5});
    ASSERT_TRUE(ReadExtentDisks(*one.block(), sizeof(VOLUME_DISK_EXTENTS), &disks));
    EXPECT_EQ(disks, Disks{5});

    ExtentsBlock three(Disks{1, 2, 1});
    ASSERT_TRUE(ReadExtentDisks(*three.block(), ExtentsBlockSize(3), &disks));
    EXPECT_EQ(disks, (Disks{1, 2, 1}));

    ExtentsBlock none(Disks{});
    ASSERT_TRUE(ReadExtentDisks(*none.block(), offsetof(VOLUME_DISK_EXTENTS, Extents), &disks));
    EXPECT_TRUE(disks.empty());

    // What the first, one-extent-sized answer for a volume on two disks looks like:
    // the count of two with room for one. Reading past the block would invent disks.
    ExtentsBlock two(Disks{1, 2});
    disks = {7};
    EXPECT_FALSE(ReadExtentDisks(*two.block(), sizeof(VOLUME_DISK_EXTENTS), &disks));
    EXPECT_TRUE(disks.empty());
    EXPECT_FALSE(ReadExtentDisks(*two.block(), 0, &disks));
    EXPECT_FALSE(ReadExtentDisks(*two.block(), ExtentsBlockSize(2) - 1, &disks));
    EXPECT_TRUE(ReadExtentDisks(*two.block(), ExtentsBlockSize(2), &disks));
}

TEST(FailClosed, OnlyPhysicalDrivesAndOnlyVolumesWithoutAPlaceOnADisk)
{
    EXPECT_TRUE(IsPhysicalDrivePath(L"\\\\.\\PHYSICALDRIVE0"));
    EXPECT_TRUE(IsPhysicalDrivePath(L"\\\\.\\PhysicalDrive12"));
    EXPECT_FALSE(IsPhysicalDrivePath(L"\\\\.\\PHYSICALDRIVE"));
    EXPECT_FALSE(IsPhysicalDrivePath(L"\\\\.\\K:"));
    EXPECT_FALSE(IsPhysicalDrivePath(L"C:\\images\\PhysicalDrive1.bin"));

    EXPECT_TRUE(VolumeWithoutExtents(DRIVE_CDROM, ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(VolumeWithoutExtents(DRIVE_REMOTE, ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(VolumeWithoutExtents(DRIVE_REMOVABLE, ERROR_NOT_READY)); // a reader without a card
    // A RAM disk, a mounted image file, a floppy drive: their drivers have no extents to give.
    EXPECT_TRUE(VolumeWithoutExtents(DRIVE_FIXED, ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(VolumeWithoutExtents(DRIVE_REMOVABLE, ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(VolumeWithoutExtents(DRIVE_FIXED, ERROR_MORE_DATA));
    EXPECT_FALSE(VolumeWithoutExtents(DRIVE_REMOVABLE, ERROR_IO_DEVICE));
    EXPECT_FALSE(VolumeWithoutExtents(DRIVE_UNKNOWN, ERROR_ACCESS_DENIED));
}

// A layout answer of `count` entries, each of `style`, the last one of `type` (MBR) or `guid` (GPT).
std::vector<BYTE> LayoutWith(DWORD style, DWORD count, BYTE type, GUID guid = GUID())
{
    std::vector<BYTE> answer(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                             count * sizeof(PARTITION_INFORMATION_EX));
    DRIVE_LAYOUT_INFORMATION_EX* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(answer.data());
    layout->PartitionStyle = style;
    layout->PartitionCount = count;
    for (DWORD i = 0; i < count; ++i) {
        PARTITION_INFORMATION_EX& entry = layout->PartitionEntry[i];
        entry.PartitionStyle = static_cast<PARTITION_STYLE>(style);
        if (style == PARTITION_STYLE_MBR)
            entry.Mbr.PartitionType = 0x07;
        else
            entry.Gpt.PartitionType = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
    }
    PARTITION_INFORMATION_EX& last = layout->PartitionEntry[count - 1];
    if (style == PARTITION_STYLE_MBR)
        last.Mbr.PartitionType = type;
    else
        last.Gpt.PartitionType = guid;
    return answer;
}

TEST(LayoutJoinsOtherDisks, DynamicDisksAndStoragePoolsByTheirPartitionTypes)
{
    const GUID ldmMetadata = {0x5808C8AA, 0x7E8F, 0x42E0, {0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3}};
    const GUID ldmData = {0xAF9B60A0, 0x1431, 0x4F62, {0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD}};
    const GUID spaces = {0xE75CAF8F, 0xF680, 0x4CEE, {0xAF, 0xA3, 0xB0, 0x01, 0xE5, 0x6E, 0xFC, 0x2D}};
    const GUID basicData = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
    // The published list's storage pool data type, and Linux's /srv (a plain data partition).
    const GUID spacesData = {0xE7ADDCB4, 0xDC34, 0x4539, {0x9A, 0x76, 0xEB, 0xBD, 0x07, 0xBE, 0x6F, 0x7E}};
    const GUID linuxSrv = {0x3B8F8425, 0x20E0, 0x4F3B, {0x90, 0x7F, 0x1A, 0x25, 0xA7, 0x6F, 0x98, 0xE8}};
    struct Case {
        const char* name;
        std::vector<BYTE> answer;
        bool joins;
    } cases[] = {
        {"MBR dynamic disk", LayoutWith(PARTITION_STYLE_MBR, 4, 0x42), true},
        {"MBR storage pool", LayoutWith(PARTITION_STYLE_MBR, 2, 0xE7), true},
        {"MBR basic", LayoutWith(PARTITION_STYLE_MBR, 4, 0x0C), false},
        {"GPT LDM metadata", LayoutWith(PARTITION_STYLE_GPT, 3, 0, ldmMetadata), true},
        {"GPT LDM data", LayoutWith(PARTITION_STYLE_GPT, 1, 0, ldmData), true},
        {"GPT storage pool", LayoutWith(PARTITION_STYLE_GPT, 2, 0, spaces), true},
        {"GPT basic", LayoutWith(PARTITION_STYLE_GPT, 2, 0, basicData), false},
        {"MBR storage pool data", LayoutWith(PARTITION_STYLE_MBR, 1, 0xD7), true},
        {"GPT storage pool data", LayoutWith(PARTITION_STYLE_GPT, 1, 0, spacesData), true},
        {"GPT Linux /srv", LayoutWith(PARTITION_STYLE_GPT, 2, 0, linuxSrv), false},
    };
    for (Case& c : cases) {
        EXPECT_EQ(LayoutJoinsOtherDisks(c.answer.data(), static_cast<DWORD>(c.answer.size())), c.joins) << c.name;
        // The entry the answer is too short to hold is not read.
        EXPECT_FALSE(LayoutJoinsOtherDisks(c.answer.data(), static_cast<DWORD>(c.answer.size() - 1))) << c.name;
    }
    EXPECT_FALSE(LayoutJoinsOtherDisks(nullptr, 0));
}
