// Virtual disks made and judged by qemu-img on the Linux side: its VHD and VHDX
// files read back at any offset, the files written here checked and compared by it,
// damaged files refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "image/virtual_disk.h"
#include "image/file_bytes.h"
#include "tests/support/win_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
const uint64_t kMiB = 1 << 20, kGiB = 1ull << 30;

// A disk image: pattern bytes in `runs` (offset, length), zeros everywhere else.
struct TestDisk {
    uint64_t size;
    std::vector<std::pair<uint64_t, uint64_t>> runs;

    Bytes At(uint64_t offset, uint32_t length) const
    {
        Bytes bytes(length, 0);
        for (size_t i = 0; i < runs.size(); i++) {
            const uint64_t from = std::max(offset, runs[i].first);
            const uint64_t to = std::min(offset + length, runs[i].first + runs[i].second);
            for (uint64_t at = from; at < to; at++) // the pattern is a function of the disk offset
                bytes[static_cast<size_t>(at - offset)] =
                    static_cast<unsigned char>((at * 2654435761u >> 13) ^ (at >> 9) ^ i);
        }
        return bytes;
    }
};

// Zero blocks for VHD's 2 MiB and qemu's 1 MiB VHDX blocks, a size that is no whole block.
const TestDisk kSmall = {7 * kMiB + 4096, {{0, 3 * kMiB / 2}, {17 * kMiB / 4, 11 * kMiB / 4 + 4096}}};
// Data beyond the first sector bitmap chunk of 1 MiB VHDX blocks (4 GiB) and right across it.
const TestDisk kSparse = {8 * kGiB, {{4096, 8192}, {4 * kGiB - 3 * kMiB / 2, 2 * kMiB}, {6 * kGiB + 512, 512}}};

// Sized for the geometry of 31 sectors per track.
const TestDisk kMid = {200 * kMiB, {{100 * kMiB + 512, 4096}}};

struct File {
    HANDLE handle;
    explicit File(const std::wstring& path, DWORD creation = OPEN_EXISTING)
        : handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, creation, 0, nullptr))
    {
    }
    ~File() { Close(); }
    void Close()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};

std::string Shell(const std::string& command)
{
    std::string output;
    EXPECT_TRUE(ts::RunLinuxShell(command + "; echo exit $?", &output, 120000)) << command;
    return output;
}

// The raw image, sparse where it holds zeros.
void WriteRaw(const std::wstring& path, const TestDisk& disk)
{
    File raw(path, CREATE_ALWAYS);
    ASSERT_NE(raw.handle, INVALID_HANDLE_VALUE);
    for (const auto& run : disk.runs) {
        const Bytes bytes = disk.At(run.first, static_cast<uint32_t>(run.second));
        ASSERT_TRUE(WriteFileAt(raw.handle, run.first, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(disk.size);
    ASSERT_TRUE(SetFilePointerEx(raw.handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(raw.handle));
}

// Reads the disk in pieces that straddle blocks, and a few single sectors and odd lengths.
void ExpectReads(const VirtualDisk& disk, HANDLE file, const TestDisk& expected)
{
    std::vector<std::pair<uint64_t, uint32_t>> reads = {
        {1536, 4096}, {2 * kMiB - 512, 1024}, {disk.virtualSize - 512, 512}, {expected.size - 700, 700}};
    for (uint64_t at = 0; at < std::min<uint64_t>(disk.virtualSize, 16 * kMiB); at += kMiB + 512)
        reads.push_back({at, static_cast<uint32_t>(std::min<uint64_t>(kMiB + 512, disk.virtualSize - at))});
    for (const auto& run : expected.runs) {
        const uint64_t from = run.first - std::min<uint64_t>(run.first, 4096);
        reads.push_back({from, static_cast<uint32_t>(std::min(run.second + 8192, disk.virtualSize - from))});
        reads.push_back({run.first - run.first % (32 * kMiB), 4096}); // the start of its block, never written
    }
    for (const auto& read : reads) {
        Bytes got(read.second, 0xCC);
        ASSERT_TRUE(ReadVirtualDisk(disk, file, read.first, got.data(), read.second)) << read.first;
        EXPECT_TRUE(got == expected.At(read.first, read.second)) << "differs at " << read.first;
    }
    Bytes past(512);
    EXPECT_FALSE(ReadVirtualDisk(disk, file, disk.virtualSize - 512, past.data(), 1024));
}

struct MadeByQemu {
    const char* name;
    const char* options;
    bool vhdx;
    const TestDisk& disk;
};

const MadeByQemu kMadeByQemu[] = {
    {"vpc fixed", "-O vpc -o subformat=fixed", false, kSmall},
    {"vpc dynamic", "-O vpc", false, kSmall},
    {"vpc dynamic sparse", "-O vpc", false, kSparse},
    {"vpc dynamic, 31 sectors per track", "-O vpc", false, kMid},
    {"vhdx fixed", "-O vhdx -o subformat=fixed", true, kSmall},
    {"vhdx dynamic", "-O vhdx -o block_size=1M", true, kSmall},
    {"vhdx dynamic sparse", "-O vhdx -o block_size=1M", true, kSparse},
};

TEST(VirtualDiskTest, ReadsWhatQemuImgMakes)
{
    const std::wstring raw = ts::TempPath(L"vd.raw"), image = ts::TempPath(L"vd.image");
    for (const MadeByQemu& row : kMadeByQemu) {
        SCOPED_TRACE(row.name);
        WriteRaw(raw, row.disk);
        ASSERT_EQ(Shell("qemu-img convert -f raw " + std::string(row.options) + " '" + ts::LinuxPath(raw) + "' '" +
                        ts::LinuxPath(image) + "'"),
                  "exit 0\n");
        File file(image);
        VirtualDisk disk;
        std::wstring refusal = L"x";
        ASSERT_TRUE(OpenVirtualDisk(file.handle, row.vhdx, &disk, &refusal));
        EXPECT_EQ(refusal, L"");
        // qemu gives a VHD the size of whole cylinders, at least the raw image's.
        EXPECT_TRUE(row.vhdx ? disk.virtualSize == row.disk.size
                             : disk.virtualSize >= row.disk.size && disk.virtualSize < row.disk.size + 8 * kMiB);
        EXPECT_EQ(disk.logicalSector, 512u);
        ExpectReads(disk, file.handle, row.disk);
        if (!row.vhdx) {
            // The same geometry as qemu computes for the same size.
            File made(ts::TempPath(L"vd-geometry.vhd"), CREATE_ALWAYS);
            VirtualDisk written;
            BYTE theirs[512], ours[512];
            uint64_t size = 0;
            ASSERT_TRUE(BeginVirtualDisk(made.handle, false, disk.virtualSize, 512, &written) &&
                        EndVirtualDisk(written, made.handle) && ReadFileAt(made.handle, written.fileEnd, ours, 512));
            ASSERT_TRUE(FileSizeOf(file.handle, &size) && ReadFileAt(file.handle, size - 512, theirs, 512));
            EXPECT_EQ(memcmp(theirs + 56, ours + 56, 4), 0) << "cylinders, heads and sectors differ";
            made.Close();
            DeleteFileW(ts::TempPath(L"vd-geometry.vhd").c_str());
        }
    }
    DeleteFileW(raw.c_str());
    DeleteFileW(image.c_str());
}

struct Written {
    const char* name;
    bool vhdx;
    uint32_t logicalSector;
    bool outOfOrder;
    const TestDisk& disk;
    bool reopened; // ended halfway and opened again, as a rescue carried on later
};

const Written kWritten[] = {
    {"vhd in order", false, 512, false, kSmall},
    {"vhd out of order, reopened", false, 512, true, kSmall, true},
    {"vhdx in order", true, 512, false, kSmall},
    {"vhdx out of order, 4096-byte sectors", true, 4096, true, kSmall},
    {"vhdx sparse out of order, reopened", true, 512, true, kSparse, true},
};

// Writes `expected` in pieces that straddle blocks (the zero ones too), in order or shuffled.
// `half`: 0 all of them, 1 the first half, 2 the rest.
void WriteDisk(VirtualDisk& disk, HANDLE file, const TestDisk& expected, bool outOfOrder, int half = 0)
{
    const uint64_t piece = 192 * 1024;
    std::vector<uint64_t> starts;
    for (uint64_t at = 0; at < expected.size; at += piece) {
        bool wanted = at < 32 * kMiB;
        for (const auto& run : expected.runs)
            wanted = wanted || (at < run.first + run.second && run.first < at + piece);
        if (wanted)
            starts.push_back(at);
    }
    if (outOfOrder) // every other piece backwards, then the rest forwards
        std::stable_partition(starts.begin(), starts.end(), [&](uint64_t at) { return at / piece % 2 == 0; }),
            std::reverse(starts.begin(), starts.begin() + (starts.size() + 1) / 2);
    const size_t middle = starts.size() / 2;
    starts.erase(starts.begin() + (half == 1 ? middle : starts.size()), starts.end());
    starts.erase(starts.begin(), starts.begin() + (half == 2 ? middle : 0));
    for (uint64_t at : starts) {
        const uint32_t length = static_cast<uint32_t>(std::min(piece, expected.size - at));
        ASSERT_TRUE(WriteVirtualDisk(disk, file, at, expected.At(at, length).data(), length)) << at;
    }
}

TEST(VirtualDiskTest, WritesFilesQemuImgAccepts)
{
    const std::wstring raw = ts::TempPath(L"vw.raw");
    for (const Written& row : kWritten) {
        SCOPED_TRACE(row.name);
        const std::wstring image = ts::TempPath(row.vhdx ? L"vw.vhdx" : L"vw.vhd");
        VirtualDisk disk;
        {
            File file(image, CREATE_ALWAYS);
            // Stale bytes where the file will grow (Windows promises no zeros there): each byte must be written.
            ASSERT_TRUE(!row.outOfOrder || WriteFileAt(file.handle, 0, Bytes(80 * kMiB, 0xEE).data(), 80 * kMiB));
            ASSERT_TRUE(BeginVirtualDisk(file.handle, row.vhdx, row.disk.size, row.logicalSector, &disk));
            WriteDisk(disk, file.handle, row.disk, row.outOfOrder, row.reopened ? 1 : 0);
            std::wstring refusal;
            if (row.reopened) {
                ASSERT_TRUE(EndVirtualDisk(disk, file.handle) &&
                            OpenVirtualDisk(file.handle, row.vhdx, &disk, &refusal));
                WriteDisk(disk, file.handle, row.disk, row.outOfOrder, 2);
            }
            const uint8_t sector[512] = {1};
            EXPECT_FALSE(WriteVirtualDisk(disk, file.handle, 100, sector, 512)) << "not on a sector boundary";
            EXPECT_FALSE(WriteVirtualDisk(disk, file.handle, row.disk.size, sector, 512)) << "past the end";
            ASSERT_TRUE(EndVirtualDisk(disk, file.handle));
        }
        // Blocks holding only zeros are not stored.
        for (size_t i = 0; i < disk.blocks.size(); i++) {
            bool data = false;
            for (const auto& run : row.disk.runs)
                data = data || (i * disk.blockSize < run.first + run.second && run.first < (i + 1) * disk.blockSize);
            EXPECT_EQ(disk.blocks[i] != 0, data) << i;
        }

        WriteRaw(raw, row.disk);
        const std::string path = "'" + ts::LinuxPath(image) + "'";
        // qemu-img reads VHDX files of 512-byte sectors only.
        if (row.vhdx && row.logicalSector == 512)
            EXPECT_NE(Shell("qemu-img check -f vhdx " + path).find("No errors were found on the image.\nexit 0"),
                      std::string::npos);
        // qemu sizes a VHD of an unknown maker by its cylinders, Windows by its current size, as written here.
        const std::string options = row.vhdx ? "driver=vhdx" : "driver=vpc,force_size_calc=current_size";
        if (row.logicalSector == 512 && row.disk.size < kGiB)
            EXPECT_EQ(Shell("qemu-img compare --image-opts driver=raw,file.filename='" + ts::LinuxPath(raw) + "' " +
                            options + ",file.filename=" + path),
                      "Images are identical.\nexit 0\n");
        // Of a large disk mostly unstored (which qemu-img would read whole), the data and what surrounds it.
        for (const auto& run : row.disk.runs) {
            const std::string window = "driver=raw,offset=" + std::to_string(run.first - 4096) +
                                       ",size=" + std::to_string(run.second + 8192) + ",file.";
            if (row.disk.size >= kGiB)
                EXPECT_EQ(Shell("qemu-img compare --image-opts " + window + "filename='" + ts::LinuxPath(raw) + "' " +
                                window + "driver=vhdx,file.file.filename=" + path),
                          "Images are identical.\nexit 0\n");
        }
        File file(image);
        VirtualDisk again;
        std::wstring refusal;
        ASSERT_TRUE(OpenVirtualDisk(file.handle, row.vhdx, &again, &refusal));
        EXPECT_EQ(again.virtualSize, row.disk.size);
        EXPECT_EQ(again.logicalSector, row.logicalSector);
        ExpectReads(again, file.handle, row.disk);
        file.Close();
        DeleteFileW(image.c_str());
    }
    DeleteFileW(raw.c_str());
}

// Gives both VHDX headers a log GUID, and the log an entry of it when `entry`.
void LogGuid(Bytes& file, bool entry)
{
    for (size_t header : {64 * 1024, 128 * 1024}) {
        memset(&file[header + 48], 0x5A, 16);
        memset(&file[header + 4], 0, 4);
        const uint32_t crc = Crc32c(0, &file[header], 4096);
        memcpy(&file[header + 4], &crc, 4);
    }
    if (entry) {
        memcpy(&file[kMiB], "loge", 4);
        memset(&file[kMiB + 32], 0x5A, 16);
    }
}

// Makes both footers of a VHD say `type`.
void VhdType(Bytes& file, BYTE type)
{
    for (size_t footer : {size_t(0), file.size() - 512}) {
        file[footer + 63] = type;
        uint32_t sum = 0;
        for (size_t i = 0; i < 512; i++)
            sum += i >= 64 && i < 68 ? 0 : file[footer + i];
        for (int i = 0; i < 4; i++)
            file[footer + 64 + i] = static_cast<unsigned char>(~sum >> (24 - 8 * i));
    }
}

struct Damage {
    const char* name;
    bool vhdx;
    std::function<void(Bytes&)> change;
    bool opens;
    const wchar_t* refusal;
    bool firstSectorUnused; // cleared in its block's bitmap: reads as zeros, whatever the block holds
};

TEST(VirtualDiskTest, RefusesDamagedFilesAndWhatItDoesNotRead)
{
    const wchar_t* const kParent = L"The image file needs its parent disk, which Korvane doesn't read!";
    const auto flip = [](std::vector<size_t> at) {
        return [at](Bytes& file) {
            for (size_t offset : at)
                file[offset < file.size() ? offset : file.size() - 512 + offset % 4096] ^= 0x10;
        };
    };
    const auto cut = [](size_t length) {
        return [length](Bytes& file) { file.resize(std::min<size_t>(length, file.size() - kMiB)); };
    };
    const size_t kEnd = size_t(1) << 30; // with flip: that offset into the last sector
    const Damage kDamages[] = {
        {"vhd: last footer damaged, its copy serves", false, flip({kEnd + 70}), true, L""},
        {"vhd: both footers damaged", false, flip({70, kEnd + 70}), false, L""},
        {"vhd: dynamic header damaged", false, flip({512 + 100}), false, L""},
        {"vhd: cut within its blocks", false, cut(SIZE_MAX), false, L""},
        {"vhd: a parent", false, [](Bytes& file) { VhdType(file, 4); }, false, kParent},
        {"vhd: a sector unused", false, [](Bytes& file) { file[2048] = 0x7F; }, true, L"", true},
        {"vhdx: first header damaged, the second serves", true, flip({64 * 1024 + 100}), true, L""},
        {"vhdx: both headers damaged", true, flip({64 * 1024 + 100, 128 * 1024 + 200}), false, L""},
        {"vhdx: first region table damaged, its copy serves", true, flip({192 * 1024 + 20}), true, L""},
        {"vhdx: both region tables damaged", true, flip({192 * 1024 + 20, 256 * 1024 + 20}), false, L""},
        {"vhdx: cut within its first MiB", true, cut(200 * 1024), false, L""},
        {"vhdx: cut within its block", true, cut(8 * kMiB), false, L""},
        {"vhdx: a parent", true, [](Bytes& file) { file[2 * kMiB + 64 * 1024 + 4] |= 2; }, false, kParent},
        {"vhdx: a log GUID without entries", true, [](Bytes& file) { LogGuid(file, false); }, true, L""},
        {"vhdx: a log to replay", true, [](Bytes& file) { LogGuid(file, true); }, false,
         L"The image file holds changes in its log, which Korvane doesn't replay: attach it once in Windows, detach "
         L"it and try again!"},
    };
    const std::wstring vhd = ts::TempPath(L"vd-good.vhd"), vhdx = ts::TempPath(L"vd-good.vhdx"),
                       damaged = ts::TempPath(L"vd-damaged");
    Bytes good[2];
    for (int vhdxKind = 0; vhdxKind < 2; vhdxKind++) {
        File file(vhdxKind ? vhdx : vhd, CREATE_ALWAYS);
        VirtualDisk disk;
        ASSERT_TRUE(BeginVirtualDisk(file.handle, vhdxKind == 1, kSmall.size, 512, &disk));
        WriteDisk(disk, file.handle, kSmall, false);
        ASSERT_TRUE(EndVirtualDisk(disk, file.handle));
        file.Close();
        ASSERT_TRUE(ts::ReadWholeFile(vhdxKind ? vhdx : vhd, &good[vhdxKind]));
    }
    for (const Damage& row : kDamages) {
        Bytes bytes = good[row.vhdx];
        row.change(bytes);
        ASSERT_TRUE(ts::WriteWholeFile(damaged, bytes));
        File file(damaged);
        VirtualDisk disk;
        std::wstring refusal;
        EXPECT_EQ(OpenVirtualDisk(file.handle, row.vhdx, &disk, &refusal), row.opens) << row.name;
        EXPECT_EQ(refusal, row.refusal) << row.name;
        Bytes sectors(1024), expected = kSmall.At(0, 1024);
        std::fill(expected.begin(), expected.begin() + (row.firstSectorUnused ? 512 : 0), 0);
        EXPECT_TRUE(!row.opens || (ReadVirtualDisk(disk, file.handle, 0, sectors.data(), 1024) && sectors == expected))
            << row.name;
    }
    VirtualDisk disk;
    EXPECT_EQ(Crc32c(0, "123456789", 9), 0xE3069283u);
    EXPECT_TRUE(VirtualDiskSizeFits(false, 2040 * kGiB));
    EXPECT_FALSE(VirtualDiskSizeFits(false, 2040 * kGiB + 512));
    EXPECT_TRUE(VirtualDiskSizeFits(true, 64 * 1024 * kGiB));
    EXPECT_FALSE(VirtualDiskSizeFits(true, 4 * kGiB + 100));
    EXPECT_FALSE(BeginVirtualDisk(INVALID_HANDLE_VALUE, false, 2041 * kGiB, 512, &disk));
    for (const std::wstring& path : {vhd, vhdx, damaged})
        DeleteFileW(path.c_str());
}

} // namespace
