// Images with chunks of zeros: skipped where the volume has sparse files, written
// everywhere else; byte for byte equal to the drive either way. What the file
// takes on disk is read on the Linux side, where a skipped range is a hole.
#include "tests/engine/engine_fixture.h"

#include <cstring>

#include "image/sparse_image.h"
#include "engine/transfer.h"
#include "tests/support/import_patch.h"

namespace {

const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";
const std::string kReplace = "Write image file|The selected file exists,\nREPLACE ?|question|YesNo";
using Boxes = std::vector<std::string>;

// A file system that claims sparse files but refuses to make one (a share, say).
ts::ImportPatch* g_controlPatch = nullptr;
BOOL WINAPI RefuseSparse(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                         LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (code == FSCTL_SET_SPARSE) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    const auto original = reinterpret_cast<decltype(&DeviceIoControl)>(g_controlPatch->Original());
    return original(device, code, in, inSize, out, outSize, returned, overlapped);
}

// Bytes the file takes on the Linux file system under Wine (st_blocks × 512), -1 where that can't be read.
int64_t AllocatedBytes(const std::wstring& path)
{
    const std::string file = ts::LinuxPath(path);
    std::string blocks;
    if (file.empty() || !ts::RunLinuxShell("stat -c %b '" + file + "'", &blocks) || blocks.empty() || blocks[0] < '0' ||
        blocks[0] > '9')
        return -1;
    return _atoi64(blocks.c_str()) * 512;
}

const int64_t kChunk = 4 * 8 * 512; // MakeGeometry(4, 8, 512, ...) gives chunks of 16 KiB

// A drive of `chunks` chunks and a `tail`, holding the pattern except in the zero runs given in chunks.
Bytes DriveWithZeros(int64_t chunks, int64_t tail, std::initializer_list<std::pair<int64_t, int64_t>> zeroRuns)
{
    Bytes data = ts::Pattern(static_cast<size_t>(chunks * kChunk + tail), 60);
    for (const auto& run : zeroRuns) {
        const size_t from = static_cast<size_t>(run.first * kChunk);
        const size_t to = std::min(data.size(), static_cast<size_t>(run.second * kChunk));
        std::fill(data.begin() + from, data.begin() + to, 0);
    }
    return data;
}

class SparseTest : public EngineTest {
  protected:
    // Lists the drive, creates `image` from it and checks it byte for byte.
    void CreateFrom(const Bytes& disk, const std::wstring& image)
    {
        drive_ = Scratch(L"sparse-drive.bin");
        ASSERT_TRUE(ts::WriteWholeFile(drive_, disk));
        SelectDrive(drive_, MakeGeometry(4, 8, 512, static_cast<int64_t>(disk.size())));
        SetFileName(image);
        RunJob(JobKind::Create);
        EXPECT_EQ(FileSize(image), static_cast<int64_t>(disk.size()));
        EXPECT_TRUE(Contents(image) == disk) << "the image differs from the drive";
    }
};

TEST(ZeroTest, EveryByteCounts)
{
    Bytes buffer(16384 + 7, 0);
    EXPECT_TRUE(IsAllZero(buffer.data(), buffer.size()));
    EXPECT_TRUE(IsAllZero(buffer.data(), 0));
    for (size_t at : {size_t(0), size_t(63), size_t(64), size_t(8191), size_t(16383), size_t(16390)}) {
        buffer[at] = 0x80;
        EXPECT_FALSE(IsAllZero(buffer.data(), buffer.size())) << at;
        EXPECT_TRUE(IsAllZero(buffer.data(), at)) << at;
        buffer[at] = 0;
    }
}

TEST_F(SparseTest, ZeroChunksAreHolesAndTheImageStillEqualsTheDrive)
{
    ts::SparseFilesClaim claim;
    ASSERT_TRUE(claim.Active());
    const std::wstring probe = Scratch(L"probe.bin");
    ASSERT_TRUE(ts::WriteWholeFile(probe, Bytes(1)));
    if (AllocatedBytes(probe) < 0)
        GTEST_SKIP() << "the allocated size can't be read here (not Wine)";

    // 256 chunks (4 MiB) and a tail of 1 536 bytes: zeros at the start, in the middle and at the end,
    // the trimmed last chunk among them; chunk 100 holds zeros but one byte.
    Bytes disk = DriveWithZeros(256, 1536, {{0, 64}, {100, 164}, {192, 257}});
    disk[100 * kChunk + 5000] = 1;
    // A file that exists is replaced: none of its old bytes may show in a hole.
    const std::wstring image = Scratch(L"sparse.hdd");
    ASSERT_TRUE(WriteImage(image, ts::Pattern(disk.size() + 100000, 61)));
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    CreateFrom(disk, image);
    EXPECT_EQ(Status(), L"Bytes read: 4 195 840 ");
    // 65 of 257 chunks hold data: about a quarter of the drive.
    const int64_t taken = AllocatedBytes(image);
    EXPECT_GE(taken, 65 * kChunk);
    EXPECT_LE(taken, 65 * kChunk + 256 * 1024) << "the zero chunks were written";

    // Zeros at the end: the file is still as long as the drive.
    watcher.Answer(IDYES);
    const Bytes tail = DriveWithZeros(64, 0, {{0, 2}, {10, 64}});
    CreateFrom(tail, image);
    EXPECT_LE(AllocatedBytes(image), 10 * kChunk + 256 * 1024);

    // Cancelled after two chunks of zeros: the image of the last create stays as it was.
    onPosition_ = [&](int position) {
        if (position == 2 * kChunk / 2)
            RequestCancel();
    };
    watcher.Answer(IDYES); // replace
    watcher.Answer(IDYES); // cancel
    RunJob(JobKind::Create);
    onPosition_ = nullptr;
    EXPECT_TRUE(Contents(image) == tail);
    EXPECT_EQ(Status(), L"Bytes read: 32 768 ");
    watcher.Answer(IDYES);
    CreateFrom(tail, image);

    // A restore writes every byte, zeros included: the drive's old data goes.
    ASSERT_TRUE(ts::WriteWholeFile(drive_, ts::Pattern(tail.size(), 62)));
    RunJob(JobKind::Restore);
    EXPECT_TRUE(Contents(drive_) == tail) << "the drive differs from the image";
    const std::string question = "Warning|Cancel read image?|question|YesNo";
    const std::string notCreated = "Korvane:|The disk image wasn't created!|warning|OK";
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, kCreated, kReplace, kCreated, kReplace, question, notCreated, kReplace,
                                    kCreated, kWritten}));
}

TEST_F(SparseTest, WithoutSparseFilesEveryChunkIsWritten)
{
    const Bytes disk = DriveWithZeros(128, 0, {{0, 40}, {80, 128}});
    const std::wstring image = Scratch(L"dense.hdd");
    ts::BoxWatcher watcher;
    {
        // The volume claims sparse files but the file system refuses to make one.
        ts::SparseFilesClaim claim;
        ts::ImportPatch control("DeviceIoControl", reinterpret_cast<void*>(&RefuseSparse));
        g_controlPatch = &control;
        ASSERT_TRUE(claim.Active() && control.Active());
        CreateFrom(disk, image);
        g_controlPatch = nullptr;
    }
    const int64_t refused = AllocatedBytes(image);
    // Wine's volumes claim no sparse files (Wine's own answer, unpatched).
    DeleteFileW(image.c_str());
    CreateFrom(disk, image);
    const int64_t unclaimed = AllocatedBytes(image);
    if (refused < 0)
        GTEST_SKIP() << "the allocated size can't be read here (not Wine)";
    EXPECT_GE(refused, static_cast<int64_t>(disk.size()));
    EXPECT_GE(unclaimed, static_cast<int64_t>(disk.size()));
    EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kCreated}));
}

} // namespace
