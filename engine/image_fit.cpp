#include "engine/image_fit.h"

#include <algorithm>
#include <cstring>

#include "drives/layout_rules.h"
#include "image/sparse_image.h"

namespace {

const uint64_t kNoEnd = UINT64_MAX;
const uint32_t kLargestEntryArray = 1 << 20; // more than any GPT has
const int kMostLogicalPartitions = 256;      // an extended chain longer than this is a loop
const uint32_t kTailPiece = 1 << 20;
const uint64_t kNearEnd = 1 << 20; // partitions ending closer to the drive's end: imaged whole

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Le64(const uint8_t* p)
{
    return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

void Put32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put64(uint8_t* p, uint64_t value)
{
    Put32(p, static_cast<uint32_t>(value));
    Put32(p + 4, static_cast<uint32_t>(value >> 32));
}

bool IsGptHeader(const uint8_t* sector)
{
    return std::memcmp(sector, "EFI PART", 8) == 0;
}

// The image as the reader gives it. Bytes past the image's end are no read error:
// a table pointing there is damaged.
struct Image {
    ImageReader read;
    void* context;
    uint64_t size;
    bool failed = false;

    bool Read(uint64_t offset, uint8_t* buffer, uint32_t length)
    {
        if (offset > size || length > size - offset)
            return false;
        if (read(context, offset, buffer, length))
            return true;
        failed = true;
        return false;
    }
};

enum class Table { None, Mbr, Gpt, GptOtherSector, Damaged };

struct Layout {
    Table table = Table::None;
    uint64_t dataEnd = 0; // bytes: where the furthest partition ends
    uint32_t otherSector = 0;
    std::vector<uint8_t> mbr;    // sector 0
    std::vector<uint8_t> header; // GPT: sector 1
    std::vector<uint8_t> entries; // GPT: the entry array, whole sectors
    uint64_t entrySectors = 0;
    bool joinsOtherDisks = false; // a partition of a dynamic disk or a storage pool
};

struct MbrEntry {
    uint8_t type;
    uint32_t start;
    uint32_t count;
};

// The four entries of an MBR or extended boot record; false when the sector is none.
bool ReadMbrEntries(const uint8_t* sector, MbrEntry entries[4])
{
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    for (int i = 0; i < 4; ++i) {
        const uint8_t* entry = sector + 446 + 16 * i;
        if (entry[0] != 0 && entry[0] != 0x80)
            return false;
        entries[i] = {entry[4], Le32(entry + 8), Le32(entry + 12)};
    }
    return true;
}

bool IsUsed(const MbrEntry& entry)
{
    return entry.type != 0 && entry.count != 0;
}

bool IsExtended(uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// Where the logical partitions of the extended partition at `start` end; kNoEnd for a broken chain.
uint64_t LogicalEnd(Image& image, uint32_t start, uint32_t sector)
{
    std::vector<uint8_t> record(sector);
    uint64_t end = 0;
    uint64_t at = start;
    for (int n = 0; n < kMostLogicalPartitions; ++n) {
        MbrEntry entries[4];
        if (!image.Read(at * sector, record.data(), sector) || !ReadMbrEntries(record.data(), entries))
            return kNoEnd;
        if (IsUsed(entries[0]))
            end = std::max(end, (at + entries[0].start + entries[0].count) * sector);
        if (!IsUsed(entries[1]) || !IsExtended(entries[1].type))
            return end;
        const uint64_t next = static_cast<uint64_t>(start) + entries[1].start;
        if (next <= at)
            return kNoEnd;
        at = next;
    }
    return kNoEnd;
}

// Where the MBR's partitions end, logical ones included; the GPT's protective entry left out.
uint64_t MbrDataEnd(Image& image, const MbrEntry entries[4], uint32_t sector)
{
    uint64_t end = 0;
    for (int i = 0; i < 4; ++i) {
        const MbrEntry& entry = entries[i];
        if (!IsUsed(entry) || entry.type == 0xEE)
            continue;
        end = std::max(end, (static_cast<uint64_t>(entry.start) + entry.count) * sector);
        if (IsExtended(entry.type))
            end = std::max(end, LogicalEnd(image, entry.start, sector));
    }
    return end;
}

void SetHeaderCrc(std::vector<uint8_t>& header)
{
    const uint32_t size = Le32(&header[12]);
    Put32(&header[16], 0);
    Put32(&header[16], Crc32(header.data(), size));
}

// The GPT at LBA 1 for `sector`: 1 when whole (header, entries and partitions into
// `layout`), 0 when there is none, -1 when it is damaged.
int ReadGpt(Image& image, uint32_t sector, Layout& layout)
{
    std::vector<uint8_t> header(sector);
    if (!image.Read(sector, header.data(), sector) || !IsGptHeader(header.data()))
        return 0;
    const uint32_t headerSize = Le32(&header[12]);
    if (headerSize < 92 || headerSize > sector)
        return -1;
    std::vector<uint8_t> check(header.begin(), header.begin() + headerSize);
    Put32(&check[16], 0);
    const uint32_t count = Le32(&header[80]);
    const uint32_t entrySize = Le32(&header[84]);
    const uint64_t entriesLba = Le64(&header[72]);
    if (Crc32(check.data(), headerSize) != Le32(&header[16]) || Le64(&header[24]) != 1 || entrySize < 128 ||
        entrySize % 8 != 0 || count == 0 || count > kLargestEntryArray / entrySize || entriesLba < 2)
        return -1;
    const uint32_t arrayBytes = count * entrySize;
    layout.entrySectors = (arrayBytes + sector - 1) / sector;
    std::vector<uint8_t> entries(static_cast<size_t>(layout.entrySectors * sector));
    if (entriesLba > kNoEnd / sector ||
        !image.Read(entriesLba * sector, entries.data(), static_cast<uint32_t>(entries.size())) ||
        Crc32(entries.data(), arrayBytes) != Le32(&header[88]))
        return -1;
    uint64_t end = 0;
    static const uint8_t kUnused[16] = {};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = &entries[static_cast<size_t>(i) * entrySize];
        if (std::memcmp(entry, kUnused, 16) == 0)
            continue;
        layout.joinsOtherDisks = layout.joinsOtherDisks || GptTypeJoinsOtherDisks(entry);
        const uint64_t first = Le64(entry + 32), last = Le64(entry + 40);
        if (first > last || last >= kNoEnd / sector)
            return -1;
        end = std::max(end, (last + 1) * sector);
    }
    layout.dataEnd = std::max(layout.dataEnd, end);
    layout.header.swap(header);
    layout.entries.swap(entries);
    return 1;
}

Layout ReadLayout(Image& image, uint32_t sector)
{
    Layout layout;
    layout.mbr.resize(sector);
    if (!image.Read(0, layout.mbr.data(), sector))
        return layout;
    MbrEntry entries[4];
    const bool mbr = ReadMbrEntries(layout.mbr.data(), entries);
    // A hybrid MBR's own partitions count too.
    if (mbr)
        layout.dataEnd = MbrDataEnd(image, entries, sector);
    bool protective = false;
    for (int i = 0; mbr && i < 4; ++i) {
        protective = protective || entries[i].type == 0xEE;
        layout.joinsOtherDisks = layout.joinsOtherDisks || (IsUsed(entries[i]) && MbrTypeJoinsOtherDisks(entries[i].type));
    }
    // A GPT under an MBR without a protective entry is a stale one, left by a tool that
    // wrote the MBR anew: Windows reads such a disk as MBR, and so does the fit.
    const int gpt = protective ? ReadGpt(image, sector, layout) : 0;
    if (gpt != 0) {
        layout.table = gpt > 0 ? Table::Gpt : Table::Damaged;
        return layout;
    }
    const uint32_t other = sector == 512 ? 4096 : 512;
    std::vector<uint8_t> header(512);
    if (protective && image.Read(other, header.data(), 512) && IsGptHeader(header.data())) {
        layout.table = Table::GptOtherSector;
        layout.otherSector = other;
        return layout;
    }
    // A broken extended chain leaves dataEnd unknown (kNoEnd): it fits only a larger drive.
    if (mbr)
        layout.table = Table::Mbr;
    return layout;
}

// The GPT moved to the drive's last sectors: the protective MBR's size, the primary
// header pointing there, the entries and the backup header.
void PlanGpt(const Layout& layout, uint64_t imageSize, uint64_t driveSize, uint32_t sector, RestorePlan& plan)
{
    const uint64_t imageSectors = imageSize / sector;
    const uint64_t driveSectors = driveSize / sector;
    const uint64_t backupEntries = driveSectors - 1 - layout.entrySectors;
    const uint32_t protectiveSize = static_cast<uint32_t>(std::min<uint64_t>(driveSectors - 1, 0xFFFFFFFF));
    std::vector<uint8_t> mbr = layout.mbr;
    for (int i = 0; i < 4; ++i) {
        uint8_t* entry = &mbr[446 + 16 * static_cast<size_t>(i)];
        const uint32_t count = Le32(entry + 12);
        // Only an entry that covered the image to its end: a hybrid MBR's short one stays.
        const bool whole = count == std::min<uint64_t>(imageSectors - 1, 0xFFFFFFFF) || count > protectiveSize;
        if (entry[4] == 0xEE && Le32(entry + 8) == 1 && whole)
            Put32(entry + 12, protectiveSize);
    }
    std::vector<uint8_t> primary = layout.header;
    Put64(&primary[32], driveSectors - 1);
    Put64(&primary[48], backupEntries - 1);
    Put32(&primary[88], Crc32(layout.entries.data(), Le32(&primary[80]) * Le32(&primary[84])));
    SetHeaderCrc(primary);
    std::vector<uint8_t> backup = primary;
    Put64(&backup[24], driveSectors - 1);
    Put64(&backup[32], 1);
    Put64(&backup[72], backupEntries);
    SetHeaderCrc(backup);
    plan.patches.push_back({0, mbr});
    plan.patches.push_back({static_cast<int64_t>(sector), primary});
    plan.patches.push_back({static_cast<int64_t>(backupEntries * sector), layout.entries});
    plan.patches.push_back({static_cast<int64_t>((driveSectors - 1) * sector), backup});
}

// True when [from, to) of the image holds only zeros.
bool IsZeroRange(Image& image, uint64_t from, uint64_t to)
{
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kTailPiece, to > from ? to - from : 0)));
    for (uint64_t at = from; at < to;) {
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kTailPiece, to - at));
        if (!image.Read(at, piece.data(), length) || !IsAllZero(piece.data(), length))
            return false;
        at += length;
    }
    return true;
}

// An image longer than the drive: its partitions end within what the drive keeps, and
// every byte past that is zero but the image's own backup GPT.
FitVerdict CheckLarger(Image& image, const Layout& layout, uint64_t driveSize, uint32_t sector)
{
    uint64_t keepEnd = driveSize;
    uint64_t ownFrom = 0, ownTo = 0;
    if (layout.table == Table::Gpt) {
        const uint64_t driveSectors = driveSize / sector;
        if (driveSectors < layout.entrySectors + 3)
            return FitVerdict::Refused;
        keepEnd = (driveSectors - 1 - layout.entrySectors) * sector;
        const uint64_t entriesEnd = (Le64(&layout.header[72]) + layout.entrySectors) * sector;
        if (Le64(&layout.header[40]) * sector >= keepEnd || entriesEnd > keepEnd)
            return FitVerdict::Refused;
        const uint64_t alternate = Le64(&layout.header[32]);
        std::vector<uint8_t> backup(sector);
        if (alternate > layout.entrySectors && alternate < kNoEnd / sector &&
            image.Read(alternate * sector, backup.data(), sector) && IsGptHeader(backup.data())) {
            ownFrom = (alternate - layout.entrySectors) * sector;
            ownTo = (alternate + 1) * sector;
        }
        if (image.failed)
            return FitVerdict::ReadError;
    }
    if (layout.dataEnd > keepEnd)
        return FitVerdict::Refused;
    const uint64_t end = image.size;
    ownFrom = std::min(std::max(ownFrom, keepEnd), end);
    ownTo = std::min(std::max(ownTo, ownFrom), end);
    if (IsZeroRange(image, keepEnd, ownFrom) && IsZeroRange(image, ownTo, end))
        return FitVerdict::Larger;
    return image.failed ? FitVerdict::ReadError : FitVerdict::Refused;
}

// A file system's boot sector at the drive's start (no partition table at all): its code
// may look like the entries of an MBR.
bool IsFileSystemBootSector(const std::vector<uint8_t>& first)
{
    return std::memcmp(&first[3], "NTFS    ", 8) == 0 || std::memcmp(&first[3], "EXFAT   ", 8) == 0 ||
           std::memcmp(&first[54], "FAT", 3) == 0 || std::memcmp(&first[82], "FAT32", 5) == 0;
}

WholeDrive WholeDriveFor(const Layout& layout)
{
    switch (layout.table) {
    case Table::None:
        return WholeDrive::NoTable;
    case Table::Damaged:
        return WholeDrive::Damaged;
    case Table::GptOtherSector:
        return WholeDrive::OtherSectorSize;
    default:
        break;
    }
    if (layout.joinsOtherDisks)
        return WholeDrive::JoinsOtherDisks;
    if (layout.table == Table::Mbr && IsFileSystemBootSector(layout.mbr))
        return WholeDrive::NoTable;
    return layout.dataEnd == 0 ? WholeDrive::NoTable : WholeDrive::No;
}

} // namespace

uint32_t Crc32(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

ImageFit CheckImageFit(ImageReader read, void* context, uint64_t imageSize, uint64_t driveSize, uint32_t sector,
                       const uint8_t* driveLastSector)
{
    ImageFit fit;
    if (imageSize == driveSize) {
        fit.verdict = FitVerdict::Equal;
        fit.plan.writeEnd = static_cast<int64_t>(driveSize);
        return fit;
    }
    // A drive writes whole sectors only: the image's last one would be cut.
    if (sector == 0 || driveSize % sector != 0 || (imageSize < driveSize && imageSize % sector != 0))
        return fit;
    Image image = {read, context, imageSize};
    const Layout layout = ReadLayout(image, sector);
    if (image.failed) {
        fit.verdict = FitVerdict::ReadError;
        return fit;
    }
    if (layout.table == Table::GptOtherSector) {
        fit.verdict = FitVerdict::OtherSectorSize;
        fit.tableSector = layout.otherSector;
        return fit;
    }
    // A damaged table can't tell where its data lies, nor be moved whole.
    if (layout.table == Table::Damaged)
        return fit;
    if (imageSize < driveSize) {
        fit.verdict = FitVerdict::Smaller;
        fit.plan.writeEnd = static_cast<int64_t>(imageSize);
    } else {
        fit.verdict = CheckLarger(image, layout, driveSize, sector);
        fit.plan.writeEnd = static_cast<int64_t>(driveSize);
        if (fit.verdict != FitVerdict::Larger)
            return fit;
    }
    if (layout.table == Table::Gpt) {
        PlanGpt(layout, imageSize, driveSize, sector, fit.plan);
        fit.movesGpt = true;
    } else if (imageSize < driveSize && driveLastSector != nullptr && IsGptHeader(driveLastSector)) {
        // A backup GPT left from the drive's old content would offer a "repair" from it.
        fit.plan.patches.push_back({static_cast<int64_t>(driveSize - sector), std::vector<uint8_t>(sector, 0)});
    }
    return fit;
}

PartitionsImage PlanPartitionsImage(ImageReader read, void* context, uint64_t driveSize, uint32_t sector)
{
    PartitionsImage result;
    if (sector < 512 || driveSize % sector != 0) {
        result.whole = WholeDrive::Damaged;
        return result;
    }
    Image drive = {read, context, driveSize};
    const Layout layout = ReadLayout(drive, sector);
    result.whole = drive.failed ? WholeDrive::ReadError : WholeDriveFor(layout);
    if (result.whole != WholeDrive::No)
        return result;
    uint64_t end = layout.dataEnd; // kNoEnd for a broken extended chain
    uint64_t imageSize = end;
    if (layout.table == Table::Gpt) {
        end = std::max(end, (Le64(&layout.header[72]) + layout.entrySectors) * sector);
        imageSize = end + (layout.entrySectors + 1) * sector;
    }
    if (end > driveSize) {
        result.whole = WholeDrive::Damaged;
        return result;
    }
    if (imageSize >= driveSize || driveSize - end <= kNearEnd) {
        result.whole = WholeDrive::NearEnd;
        return result;
    }
    result.plan.writeEnd = static_cast<int64_t>(end);
    // The GPT moved from the drive's end to the image's: the same as a restore onto a smaller drive.
    if (layout.table == Table::Gpt)
        PlanGpt(layout, driveSize, imageSize, sector, result.plan);
    return result;
}

void ApplyPatches(const RestorePlan& plan, int64_t offset, uint8_t* data, uint32_t size)
{
    const int64_t end = offset + size;
    for (const PatchedBytes& patch : plan.patches) {
        const int64_t from = std::max(offset, patch.offset);
        const int64_t to = std::min(end, patch.offset + static_cast<int64_t>(patch.bytes.size()));
        if (from < to)
            std::memcpy(data + (from - offset), patch.bytes.data() + (from - patch.offset),
                        static_cast<size_t>(to - from));
    }
}

bool PatchesWithin(const RestorePlan& plan, int64_t offset, uint32_t size)
{
    for (const PatchedBytes& patch : plan.patches)
        if (patch.offset < offset + size && offset < patch.offset + static_cast<int64_t>(patch.bytes.size()))
            return true;
    return false;
}

int64_t PlannedPastEnd(const RestorePlan& plan)
{
    int64_t bytes = 0;
    for (const PatchedBytes& patch : plan.patches)
        bytes += std::max<int64_t>(0, patch.offset + static_cast<int64_t>(patch.bytes.size()) -
                                          std::max(patch.offset, plan.writeEnd));
    return bytes;
}
