#include <gtest/gtest.h>

#include <vector>

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
    EXPECT_FALSE(VolumeWithoutExtents(DRIVE_FIXED, ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(VolumeWithoutExtents(DRIVE_REMOVABLE, ERROR_IO_DEVICE));
    EXPECT_FALSE(VolumeWithoutExtents(DRIVE_UNKNOWN, ERROR_ACCESS_DENIED));
}
