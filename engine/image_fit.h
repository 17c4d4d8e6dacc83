// Whether an image of another size than the drive can be written without losing a
// byte of it, and what a restore then writes in place of the image's own bytes.
// Computed from the image's sectors as a reader hands them over: no other I/O.
#pragma once

#include <cstdint>
#include <vector>

// Reads `size` bytes at `offset` of the image into `buffer`; false unless all of them came.
typedef bool (*ImageReader)(void* context, uint64_t offset, uint8_t* buffer, uint32_t size);

// Bytes written at `offset` of the drive instead of the image's bytes there, or past
// the image's end: whole sectors.
struct PatchedBytes {
    int64_t offset = 0;
    std::vector<uint8_t> bytes;
};

// What a restore writes: the image's first writeEnd bytes, with the patches in place.
struct RestorePlan {
    int64_t writeEnd = -1; // -1 (no plan made): as long as the drive
    std::vector<PatchedBytes> patches; // ascending, not overlapping
};

// The image's bytes a restore by `plan` writes onto a drive of `driveSize` bytes.
inline int64_t PlannedImageBytes(const RestorePlan& plan, int64_t driveSize)
{
    return plan.writeEnd < 0 ? driveSize : plan.writeEnd;
}

enum class FitVerdict {
    Equal,           // as long as the drive: written as it is
    Smaller,         // fits; the drive's bytes past it stay (ask first)
    Larger,          // nothing of it lies past the drive's end (ask first)
    Refused,         // data would be lost, or its partition table can't be trusted
    OtherSectorSize, // its GPT is made for another sector size than the drive's
    ReadError,       // the image couldn't be read
};

struct ImageFit {
    FitVerdict verdict = FitVerdict::Refused;
    uint32_t tableSector = 0; // OtherSectorSize: the sector size the image's GPT is made for
    bool movesGpt = false;    // the plan moves the image's GPT to the drive's end
    RestorePlan plan;
};

// `driveLastSector` holds the drive's last sector as it is now (`sector` bytes), or is
// null when it couldn't be read: an old GPT header there is cleared when the image
// doesn't reach it. Sizes in bytes.
ImageFit CheckImageFit(ImageReader read, void* context, uint64_t imageSize, uint64_t driveSize, uint32_t sector,
                       const uint8_t* driveLastSector);

// Why a create asked for the partitions only images the whole drive.
enum class WholeDrive {
    No,              // the plan images the partitions only
    NoTable,         // no partition table, or one without partitions
    Damaged,         // a table whose CRCs, chain or sizes don't hold
    JoinsOtherDisks, // a dynamic disk or a storage pool's disk: their databases lie outside every partition
    OtherSectorSize, // a GPT made for another sector size than the drive's
    NearEnd,         // the partitions end within 1 MiB of the drive's end
    ReadError,       // the table couldn't be read
};

struct PartitionsImage {
    WholeDrive whole = WholeDrive::NoTable;
    // whole == No: the image is the drive's first writeEnd bytes with the patches in place,
    // and a GPT's backup entries and header right after them (its primary header and
    // protective MBR point there): PlannedImageBytes + PlannedPastEnd bytes in all.
    RestorePlan plan;
};

// Where the partitions of a drive of `driveSize` bytes end, read from its table.
PartitionsImage PlanPartitionsImage(ImageReader read, void* context, uint64_t driveSize, uint32_t sector);

// Bytes of the plan's patches that lie past writeEnd: written after the image's bytes.
int64_t PlannedPastEnd(const RestorePlan& plan);

// Copies the parts of the plan's patches that lie in [offset, offset + size) over `data`.
void ApplyPatches(const RestorePlan& plan, int64_t offset, uint8_t* data, uint32_t size);
// True when any of the plan's patches lies in [offset, offset + size).
bool PatchesWithin(const RestorePlan& plan, int64_t offset, uint32_t size);

// The CRC-32 of GPT headers and entry arrays (the one of zip and Ethernet).
uint32_t Crc32(const uint8_t* data, size_t size);
