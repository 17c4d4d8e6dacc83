// Whether an image of another size fits the drive, and the GPT a restore moves to the
// drive's end: computed over images held in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "engine/image_fit.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint64_t kMiB = 1 << 20;

// An image of any size: zeros but where regions were put.
struct FakeImage {
    uint64_t size = 0;
    std::map<uint64_t, Bytes> regions;
    uint64_t failAt = UINT64_MAX; // a read covering this offset fails

    void Put(uint64_t offset, const Bytes& bytes) { regions[offset] = bytes; }
    void PutByte(uint64_t offset, uint8_t value) { regions[offset] = Bytes{value}; }
};

bool ReadFake(void* context, uint64_t offset, uint8_t* buffer, uint32_t size)
{
    const FakeImage& image = *static_cast<FakeImage*>(context);
    if (offset <= image.failAt && image.failAt < offset + size)
        return false;
    std::memset(buffer, 0, size);
    for (const auto& region : image.regions)
        for (size_t i = 0; i < region.second.size(); ++i)
            if (region.first + i >= offset && region.first + i < offset + size)
                buffer[region.first + i - offset] = region.second[i];
    return true;
}

uint32_t Le32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Le64(const uint8_t* p)
{
    return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put64(uint8_t* p, uint64_t v)
{
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// An MBR or extended boot record with up to four entries {type, start, count}.
Bytes BootRecord(uint32_t sector, std::vector<std::vector<uint32_t>> entries)
{
    Bytes record(sector, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* entry = &record[446 + 16 * i];
        entry[4] = static_cast<uint8_t>(entries[i][0]);
        Put32(entry + 8, entries[i][1]);
        Put32(entry + 12, entries[i][2]);
    }
    record[510] = 0x55, record[511] = 0xAA;
    return record;
}

uint32_t HeaderCrc(Bytes header)
{
    Put32(&header[16], 0);
    return Crc32(header.data(), Le32(&header[12]));
}

// A GPT as partitioning tools make it for an image of `size`: 128 entries of 128 bytes,
// partitions given as {first, last} LBAs, the backup at the image's end.
void PutGpt(FakeImage& image, uint32_t sector, std::vector<std::vector<uint64_t>> partitions)
{
    const uint64_t sectors = image.size / sector;
    const uint64_t entrySectors = 128 * 128 / sector;
    image.Put(0, BootRecord(sector, {{0xEE, 1, static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, 0xFFFFFFFF))}}));
    Bytes entries(entrySectors * sector, 0);
    for (size_t i = 0; i < partitions.size(); ++i) {
        entries[i * 128] = 0xA2; // any type that is not zero
        Put64(&entries[i * 128 + 32], partitions[i][0]);
        Put64(&entries[i * 128 + 40], partitions[i][1]);
    }
    Bytes header(sector, 0);
    std::memcpy(header.data(), "EFI PART", 8);
    Put32(&header[8], 0x10000);
    Put32(&header[12], 92);
    Put64(&header[24], 1);
    Put64(&header[32], sectors - 1);
    Put64(&header[40], 2 + entrySectors);
    Put64(&header[48], sectors - 2 - entrySectors);
    header[56] = 0x5A;
    Put64(&header[72], 2);
    Put32(&header[80], 128);
    Put32(&header[84], 128);
    Put32(&header[88], Crc32(entries.data(), 128 * 128));
    Bytes backup = header;
    Put32(&header[16], HeaderCrc(header));
    Put64(&backup[24], sectors - 1);
    Put64(&backup[32], 1);
    Put64(&backup[72], sectors - 1 - entrySectors);
    Put32(&backup[16], HeaderCrc(backup));
    image.Put(sector, header);
    image.Put(2 * sector, entries);
    image.Put((sectors - 1 - entrySectors) * sector, entries);
    image.Put((sectors - 1) * sector, backup);
}

ImageFit Check(FakeImage& image, uint64_t driveSize, uint32_t sector, const uint8_t* driveLast = nullptr)
{
    return CheckImageFit(ReadFake, &image, image.size, driveSize, sector, driveLast);
}

TEST(ImageFit, RawAndMbrImagesFitOnlyWhenNothingIsCutOff)
{
    const uint32_t s = 512;
    const uint64_t drive = 8 * kMiB, larger = 9 * kMiB;
    const uint32_t driveSectors = static_cast<uint32_t>(drive / s);
    struct Case {
        const char* name;
        uint64_t imageSize;
        std::vector<std::vector<uint32_t>> mbr; // empty: no partition table
        std::vector<std::pair<uint64_t, Bytes>> more; // extended records, data
        FitVerdict verdict;
    } cases[] = {
        {"equal, anything in it", drive, {{0x0C, 1, 5 * driveSectors}}, {{drive - 1, {7}}}, FitVerdict::Equal},
        {"raw, smaller", drive - s, {}, {{100, {1}}}, FitVerdict::Smaller},
        {"raw, smaller by a part of a sector", drive - 100, {}, {}, FitVerdict::Refused},
        {"raw, larger, zeros past the end", larger, {}, {{drive - 1, {1}}}, FitVerdict::Larger},
        {"raw, larger, its last byte set", larger, {}, {{larger - 1, {1}}}, FitVerdict::Refused},
        {"raw, larger, the first byte past the end set", larger, {}, {{drive, {1}}}, FitVerdict::Refused},
        {"partition ends at the drive's end", larger, {{0x0C, 2048, driveSectors - 2048}}, {}, FitVerdict::Larger},
        {"partition one sector past it", larger, {{0x0C, 2048, driveSectors - 2047}}, {}, FitVerdict::Refused},
        {"partition past it, its bytes all zero", larger, {{0x83, 2048, 9 * 2048 - 2048}}, {}, FitVerdict::Refused},
        // Extended at 4096: a logical partition, then a second record at +8192 whose logical reaches past the end.
        {"logical partition past the end",
         larger,
         {{0x0C, 2048, 2048}, {0x0F, 4096, 12288}},
         {{4096 * s, BootRecord(s, {{0x0C, 2048, 2048}, {0x05, 8192, 4096}})},
          {(4096 + 8192) * s, BootRecord(s, {{0x0C, 2048, 4096}})}},
         FitVerdict::Refused},
        {"logical partitions within",
         larger,
         {{0x0C, 2048, 2048}, {0x0F, 4096, 12288}},
         {{4096 * s, BootRecord(s, {{0x0C, 2048, 2048}, {0x05, 8192, 4096}})},
          {(4096 + 8192) * s, BootRecord(s, {{0x0C, 2048, 2048}})}},
         FitVerdict::Larger},
        {"extended chain pointing back",
         larger,
         {{0x0F, 4096, 8192}},
         {{4096 * s, BootRecord(s, {{0x0C, 2048, 2048}, {0x05, 0, 4096}})}},
         FitVerdict::Refused},
        {"broken chain, smaller image", drive - 2 * kMiB, {{0x0F, 4096, 8192}}, {}, FitVerdict::Smaller},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeImage image;
        image.size = c.imageSize;
        if (!c.mbr.empty())
            image.Put(0, BootRecord(s, c.mbr));
        for (const auto& more : c.more)
            image.Put(more.first, more.second);
        const ImageFit fit = Check(image, drive, s);
        EXPECT_EQ(fit.verdict, c.verdict);
        if (fit.verdict == FitVerdict::Equal || fit.verdict == FitVerdict::Smaller || fit.verdict == FitVerdict::Larger) {
            EXPECT_EQ(fit.plan.writeEnd, static_cast<int64_t>(std::min(c.imageSize, drive)));
            EXPECT_TRUE(fit.plan.patches.empty());
        }
    }
}

TEST(ImageFit, OldBackupGptAtTheEndOfALargerDriveIsClearedUnderAnMbrImage)
{
    FakeImage image;
    image.size = 7 * kMiB;
    image.Put(0, BootRecord(512, {{0x0C, 2048, 2048}}));
    Bytes last(512, 0x11);
    std::memcpy(last.data(), "EFI PART", 8);
    ImageFit fit = Check(image, 8 * kMiB, 512, last.data());
    ASSERT_EQ(fit.verdict, FitVerdict::Smaller);
    ASSERT_EQ(fit.plan.patches.size(), 1u);
    EXPECT_EQ(fit.plan.patches[0].offset, static_cast<int64_t>(8 * kMiB - 512));
    EXPECT_EQ(fit.plan.patches[0].bytes, Bytes(512, 0));
    EXPECT_EQ(PlannedPastEnd(fit.plan), 512);
    // Any other last sector stays as it is.
    last[0] = 'X';
    EXPECT_TRUE(Check(image, 8 * kMiB, 512, last.data()).plan.patches.empty());
    EXPECT_TRUE(Check(image, 8 * kMiB, 512, nullptr).plan.patches.empty());
}

// The drive's bytes after a restore by the plan: the image up to writeEnd, the patches over it.
Bytes Written(FakeImage& image, const RestorePlan& plan, uint64_t driveSize)
{
    Bytes drive(static_cast<size_t>(driveSize), 0xCC);
    ReadFake(&image, 0, drive.data(), static_cast<uint32_t>(plan.writeEnd));
    ApplyPatches(plan, 0, drive.data(), static_cast<uint32_t>(driveSize));
    return drive;
}

// The GPT on the drive is whole: both headers point at each other and at the drive's
// end, their CRCs hold, both entry arrays are the image's.
void ExpectWholeGpt(const Bytes& drive, const Bytes& entries, uint32_t s)
{
    const uint64_t sectors = drive.size() / s;
    const uint64_t entrySectors = entries.size() / s;
    const uint8_t* primary = &drive[s];
    const uint8_t* backup = &drive[(sectors - 1) * s];
    ASSERT_EQ(std::memcmp(backup, "EFI PART", 8), 0);
    EXPECT_EQ(Le64(primary + 32), sectors - 1);
    EXPECT_EQ(Le64(primary + 48), sectors - 2 - entrySectors);
    EXPECT_EQ(Le64(backup + 24), sectors - 1);
    EXPECT_EQ(Le64(backup + 32), 1u);
    EXPECT_EQ(Le64(backup + 48), sectors - 2 - entrySectors);
    EXPECT_EQ(Le64(backup + 72), sectors - 1 - entrySectors);
    EXPECT_EQ(Le32(primary + 16), HeaderCrc(Bytes(primary, primary + s)));
    EXPECT_EQ(Le32(backup + 16), HeaderCrc(Bytes(backup, backup + s)));
    EXPECT_TRUE(Bytes(&drive[2 * s], &drive[(2 + entrySectors) * s]) == entries);
    EXPECT_TRUE(Bytes(&drive[(sectors - 1 - entrySectors) * s], &drive[(sectors - 1) * s]) == entries);
    EXPECT_EQ(Le32(&drive[446 + 12]), static_cast<uint32_t>(std::min<uint64_t>(sectors - 1, 0xFFFFFFFF)));
}

TEST(ImageFit, GptMovesToTheDrivesEndWhenItsPartitionsAndDataFit)
{
    struct Case {
        const char* name;
        uint32_t sector;
        uint64_t imageSize, driveSize;
        uint64_t lastLba; // of the one partition
        uint64_t dirty;   // a byte set here, 0 for none
        FitVerdict verdict;
    } cases[] = {
        {"smaller", 512, 7 * kMiB, 8 * kMiB, 7 * 2048 - 34, 0, FitVerdict::Smaller},
        {"larger, partition ends where the moved table begins", 512, 9 * kMiB, 8 * kMiB, 8 * 2048 - 34, 0,
         FitVerdict::Larger},
        {"larger, partition one sector into the moved table", 512, 9 * kMiB, 8 * kMiB, 8 * 2048 - 33, 0,
         FitVerdict::Refused},
        {"larger, data between the partition and the image's backup", 512, 9 * kMiB, 8 * kMiB, 4000,
         9 * kMiB - 34 * 512 - 1, FitVerdict::Refused},
        {"larger, data where the moved table goes", 512, 9 * kMiB, 8 * kMiB, 4000, 8 * kMiB - 100,
         FitVerdict::Refused},
        {"4096-byte sectors, larger", 4096, 9 * kMiB, 8 * kMiB, 2048 - 6, 0, FitVerdict::Larger},
        {"4096-byte sectors, smaller by less than the table", 4096, 8 * kMiB - 4096, 8 * kMiB, 2048 - 7, 0,
         FitVerdict::Smaller},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeImage image;
        image.size = c.imageSize;
        PutGpt(image, c.sector, {{c.lastLba / 2, c.lastLba}});
        if (c.dirty != 0)
            image.PutByte(c.dirty, 0x42);
        const ImageFit fit = Check(image, c.driveSize, c.sector);
        ASSERT_EQ(fit.verdict, c.verdict);
        if (fit.verdict == FitVerdict::Refused)
            continue;
        EXPECT_TRUE(fit.movesGpt);
        EXPECT_EQ(fit.plan.writeEnd, static_cast<int64_t>(std::min(c.imageSize, c.driveSize)));
        const Bytes entries = image.regions[2 * c.sector];
        ExpectWholeGpt(Written(image, fit.plan, c.driveSize), entries, c.sector);
        // Past the image's end: the moved table, as far as it lies there.
        const int64_t gap = std::max<int64_t>(0, static_cast<int64_t>(c.driveSize) - static_cast<int64_t>(c.imageSize));
        EXPECT_EQ(PlannedPastEnd(fit.plan), std::min<int64_t>(gap, static_cast<int64_t>(entries.size() + c.sector)));
    }
}

TEST(ImageFit, DamagedOtherSectorSizedOrUnreadableTablesAreRefused)
{
    // Made for 512-byte sectors, onto a drive of 4096-byte ones, and the reverse.
    FakeImage small;
    small.size = 7 * kMiB;
    PutGpt(small, 512, {{2048, 4095}});
    ImageFit fit = Check(small, 8 * kMiB, 4096);
    EXPECT_EQ(fit.verdict, FitVerdict::OtherSectorSize);
    EXPECT_EQ(fit.tableSector, 512u);
    FakeImage big;
    big.size = 9 * kMiB;
    PutGpt(big, 4096, {{256, 511}});
    fit = Check(big, 8 * kMiB, 512);
    EXPECT_EQ(fit.verdict, FitVerdict::OtherSectorSize);
    EXPECT_EQ(fit.tableSector, 4096u);
    // As long as the drive, it is written as it always was.
    EXPECT_EQ(Check(big, 9 * kMiB, 512).verdict, FitVerdict::Equal);

    // A header or entry array whose CRC doesn't hold can't be moved.
    for (uint64_t flipped : {512 + 60, 2 * 512 + 200}) {
        FakeImage damaged;
        damaged.size = 7 * kMiB;
        PutGpt(damaged, 512, {{2048, 4095}});
        damaged.PutByte(flipped, 0x77);
        EXPECT_EQ(Check(damaged, 8 * kMiB, 512).verdict, FitVerdict::Refused) << flipped;
    }
    // A read that fails is told as such, in the table and in the tail.
    for (uint64_t failAt : {600ull, 8 * kMiB + 100}) {
        FakeImage unreadable;
        unreadable.size = 9 * kMiB;
        PutGpt(unreadable, 512, {{2048, 4095}});
        unreadable.failAt = failAt;
        EXPECT_EQ(Check(unreadable, 8 * kMiB, 512).verdict, FitVerdict::ReadError) << failAt;
    }
}

TEST(ImageFit, ProtectiveEntryStopsAtTheLargestSizeItHolds)
{
    // A drive of 3 TiB: more sectors than the entry can count.
    FakeImage image;
    image.size = 16 * kMiB;
    PutGpt(image, 512, {{2048, 4095}});
    const uint64_t drive = 3ull << 40;
    const ImageFit fit = Check(image, drive, 512);
    ASSERT_EQ(fit.verdict, FitVerdict::Smaller);
    ASSERT_EQ(fit.plan.patches[0].offset, 0);
    EXPECT_EQ(Le32(&fit.plan.patches[0].bytes[446 + 12]), 0xFFFFFFFFu);
    EXPECT_EQ(Le64(&fit.plan.patches.back().bytes[24]), drive / 512 - 1);

    // A hybrid MBR's short protective entry and its other partitions stay as they are.
    FakeImage hybrid;
    hybrid.size = 16 * kMiB;
    PutGpt(hybrid, 512, {{2048, 4095}});
    hybrid.Put(0, BootRecord(512, {{0xEE, 1, 2047}, {0x0C, 2048, 2048}}));
    const ImageFit kept = Check(hybrid, 32 * kMiB, 512);
    ASSERT_EQ(kept.verdict, FitVerdict::Smaller);
    EXPECT_TRUE(kept.plan.patches[0].bytes == hybrid.regions[0]);

    // No protective entry at all: the GPT is a stale one, and the image an MBR image
    // whose restore brings no table to the drive's end.
    FakeImage stale;
    stale.size = 16 * kMiB;
    PutGpt(stale, 512, {{2048, 4095}});
    stale.Put(0, BootRecord(512, {{0x0C, 2048, 2048}}));
    const ImageFit mbr = Check(stale, 32 * kMiB, 512);
    EXPECT_EQ(mbr.verdict, FitVerdict::Smaller);
    EXPECT_FALSE(mbr.movesGpt);
    EXPECT_TRUE(mbr.plan.patches.empty());
}

// A create of the partitions only: how far it reads, and the image it makes fits back.
TEST(ImageFit, PartitionsImageEndsWithTheLastPartitionOrImagesTheWholeDrive)
{
    const uint64_t drive = 16 * kMiB;
    const Bytes ldm = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42, 0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};
    const Bytes pool = {0x8F, 0xAF, 0x5C, 0xE7, 0x80, 0xF6, 0xEE, 0x4C, 0xAF, 0xA3, 0xB0, 0x01, 0xE5, 0x6E, 0xFC, 0x2D};
    // A FAT boot sector on the whole drive whose code happens to look like an MBR entry.
    Bytes fat = BootRecord(512, {{0x0C, 1, 8}});
    std::memcpy(&fat[54], "FAT16   ", 8);
    const std::vector<std::pair<uint64_t, Bytes>> logical = {
        {4096 * 512, BootRecord(512, {{0x0C, 2048, 2048}, {0x05, 4096, 4096}})},
        {8192 * 512, BootRecord(512, {{0x0C, 2048, 2048}})}};
    struct Case {
        const char* name;
        uint32_t sector, gptSector; // gptSector 0: an MBR of `mbr`, else a GPT of one partition ending at `last`
        std::vector<std::vector<uint32_t>> mbr;
        uint64_t last;
        std::vector<std::pair<uint64_t, Bytes>> more; // put after the table
        WholeDrive whole;
        uint64_t imageSize;
    } cases[] = {
        {"MBR, logical partitions", 512, 0, {{0x0C, 2048, 2048}, {0x0F, 4096, 8192}}, 0, logical, WholeDrive::No,
         12288 * 512},
        {"GPT", 512, 512, {}, 4095, {}, WholeDrive::No, (4096 + 33) * 512},
        {"GPT, 4096-byte sectors", 4096, 4096, {}, 1023, {}, WholeDrive::No, (1024 + 5) * 4096},
        {"ending just over 1 MiB before the end", 512, 0, {{0x0C, 2048, 28671}}, 0, {}, WholeDrive::No, 30719 * 512},
        {"ending 1 MiB before the end", 512, 0, {{0x0C, 2048, 28672}}, 0, {}, WholeDrive::NearEnd, 0},
        {"no table", 512, 0, {}, 0, {}, WholeDrive::NoTable, 0},
        {"a table without partitions", 512, 0, {{0, 0, 0}}, 0, {}, WholeDrive::NoTable, 0},
        {"a file system's boot sector", 512, 0, {{0x0C, 1, 8}}, 0, {{0, fat}}, WholeDrive::NoTable, 0},
        {"partition past the drive's end", 512, 0, {{0x0C, 2048, 32768}}, 0, {}, WholeDrive::Damaged, 0},
        {"broken extended chain", 512, 0, {{0x0F, 4096, 8192}}, 0, {}, WholeDrive::Damaged, 0},
        {"GPT entries' CRC wrong", 512, 512, {}, 4095, {{2 * 512 + 300, {7}}}, WholeDrive::Damaged, 0},
        {"dynamic disk", 512, 0, {{0x42, 2048, 4096}}, 0, {}, WholeDrive::JoinsOtherDisks, 0},
        {"dynamic GPT disk", 512, 512, {}, 4095, {{2 * 512, ldm}}, WholeDrive::JoinsOtherDisks, 0},
        {"storage pool", 512, 512, {}, 4095, {{2 * 512, pool}}, WholeDrive::JoinsOtherDisks, 0},
        {"GPT for 4096-byte sectors", 512, 4096, {}, 1023, {}, WholeDrive::OtherSectorSize, 0},
        {"table unreadable", 512, 0, {{0x0C, 2048, 2048}}, 0, {}, WholeDrive::ReadError, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeImage disk;
        disk.size = drive;
        if (c.gptSector != 0)
            PutGpt(disk, c.gptSector, {{c.last / 2, c.last}});
        else if (!c.mbr.empty())
            disk.Put(0, BootRecord(c.sector, c.mbr));
        for (const auto& more : c.more) {
            if (more.second.size() != 16) {
                disk.Put(more.first, more.second);
                continue;
            }
            // The type of the GPT's first partition, its CRCs made to hold again.
            Bytes& entries = disk.regions[more.first];
            std::copy(more.second.begin(), more.second.end(), entries.begin());
            Bytes header = disk.regions[512];
            Put32(&header[88], Crc32(entries.data(), entries.size()));
            Put32(&header[16], HeaderCrc(header));
            disk.Put(512, header);
        }
        if (c.whole == WholeDrive::ReadError)
            disk.failAt = 0;
        const PartitionsImage planned = PlanPartitionsImage(ReadFake, &disk, drive, c.sector);
        ASSERT_EQ(planned.whole, c.whole);
        if (c.whole != WholeDrive::No)
            continue;
        const RestorePlan& plan = planned.plan;
        ASSERT_EQ(static_cast<uint64_t>(plan.writeEnd + PlannedPastEnd(plan)), c.imageSize);
        // The image file: the drive's bytes as far as the plan reads them, the plan's tables in place.
        FakeImage image;
        image.size = c.imageSize;
        image.Put(0, Written(disk, plan, c.imageSize));
        RestorePlan asItIs;
        asItIs.writeEnd = static_cast<int64_t>(drive);
        const Bytes whole = Written(disk, asItIs, drive);
        const uint8_t* imaged = image.regions[0].data();
        const size_t from = c.gptSector != 0 ? 2 * c.sector : 0; // what the plan changes lies before
        EXPECT_TRUE(Bytes(imaged + from, imaged + plan.writeEnd) == Bytes(&whole[from], &whole[0] + plan.writeEnd));
        if (c.gptSector != 0) {
            EXPECT_EQ(plan.writeEnd, static_cast<int64_t>((c.last + 1) * c.sector));
            ExpectWholeGpt(image.regions[0], disk.regions[2 * c.sector], c.sector);
        } else {
            EXPECT_TRUE(plan.patches.empty());
        }
        // Back onto the drive it came from or a smaller one that holds every partition, not onto one too small.
        EXPECT_EQ(Check(image, drive, c.sector).verdict, FitVerdict::Smaller);
        EXPECT_EQ(Check(image, c.imageSize + 64 * c.sector, c.sector).verdict, FitVerdict::Smaller);
        EXPECT_EQ(Check(image, c.imageSize - c.sector, c.sector).verdict, FitVerdict::Refused);
    }
}

TEST(ImageFit, Crc32OfTheStandardCheckString)
{
    const char text[] = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

} // namespace
