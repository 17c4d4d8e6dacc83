// Jobs against real devices and volumes made by scripts/test-devices.sh: a
// loop device as \\.\K:, a read-only one as \\.\J:, a 2 MiB tmpfs as L:, and a
// folder as M: that N: shows read-only. Without them every test is skipped.
#include "tests/engine/engine_fixture.h"

#include <algorithm>

#include "engine/chunk_sizing.h"
#include "engine/verify.h"
#include "resource.h"

namespace {

const std::wstring kLoop = L"\\\\.\\K:";
const std::wstring kReadOnlyLoop = L"\\\\.\\J:";
const int64_t kLoopSize = 4 << 20;
const int64_t kReadOnlySize = 1 << 20;
const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";
using Boxes = std::vector<std::string>;

// Cylinders of 256 KiB.
DISK_GEOMETRY_EX Geometry(int64_t size)
{
    return MakeGeometry(16, 32, 512, size);
}

class DeviceTest : public EngineTest {
  protected:
    void SetUp() override
    {
        HANDLE device =
            CreateFileW(kLoop.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, 0);
        if (device == INVALID_HANDLE_VALUE)
            GTEST_SKIP() << "no loop device at K: (error " << GetLastError()
                         << "); the tests need root where losetup works";
        CloseHandle(device);
        EngineTest::SetUp();
    }
};

TEST_F(DeviceTest, RestoreOntoTheDeviceAndImageItBackExactly)
{
    SelectDrive(kLoop, Geometry(kLoopSize));
    const std::wstring image = Scratch(L"loop.hdd");
    const Bytes pattern = ts::Pattern(static_cast<size_t>(kLoopSize), 40);
    ASSERT_TRUE(WriteImage(image, pattern));
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    EXPECT_TRUE(ReadBytes(kLoop, static_cast<size_t>(kLoopSize)) == pattern) << "the device differs from the image";
    const std::wstring copy = Scratch(L"loop-copy.hdd");
    SetFileName(copy);
    RunJob(JobKind::Create);
    EXPECT_TRUE(Contents(copy) == pattern) << "the image differs from the device";
    EXPECT_EQ(Status(), L"Bytes read: 4 194 304 ");
    EXPECT_EQ(std::count(positions_.begin(), positions_.end(), 0), 2) << "the bar ran once for the verify pass";

    // The device can't tell its geometry here; where its data ends decides.
    for (int64_t listed : {kLoopSize - 512, kLoopSize + 512}) {
        SelectDrive(kLoop, Geometry(listed));
        RunJob(JobKind::Create);
    }
    const std::string refused =
        "Korvane:|Can't open selected physical disk,\nplease check the list of drives!|warning|OK";
    EXPECT_EQ(Seen(watcher), (Boxes{kWritten, kCreated, refused, refused}));
}

TEST_F(DeviceTest, VerifyFindsAWrapFlippedBitAndTheDevicesEnd)
{
    const int64_t half = kLoopSize / 2;
    Bytes image = ts::Pattern(static_cast<size_t>(kLoopSize), 44);
    std::copy(image.begin(), image.begin() + 5000, image.begin() + half);
    image[half + 5000] = static_cast<unsigned char>(image[5000] ^ 0x40);
    const std::wstring path = Scratch(L"wrap.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(path, image));
    SelectDrive(kLoop, Geometry(kLoopSize));
    SetFileName(path);
    // A card of half the size: the second half's writes land on its start.
    AfterTransfer([&] { WriteThrough(state_->DiskHandle, 0, Bytes(image.begin() + half, image.end())); });
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher),
              (Boxes{"Error!|Verify error at byte 5 000 :\nthe physical drive doesn't hold what was written!|error|OK",
                     "Korvane:|The disk image wasn't written!|warning|OK"}));

    // A bit lost in the image file's last sector.
    watcher.Clear();
    const Bytes disk = ReadBytes(kLoop, static_cast<size_t>(kLoopSize));
    SetFileName(Scratch(L"flip.hdd"));
    AfterTransfer([&] {
        WriteThrough(state_->ImageHandle, kLoopSize - 1, Bytes{static_cast<unsigned char>(disk.back() ^ 0x80)});
    });
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher),
              (Boxes{"Error!|Verify error at byte 4 194 303 :\nthe image file doesn't hold what was written!|error|OK",
                     "Korvane:|The disk image wasn't created!|warning|OK"}));

    // Listed two chunks longer than it is (a job would refuse it): the pass reads short at the device's end.
    watcher.Clear();
    onPosition_ = nullptr;
    Bytes longer = disk;
    longer.resize(static_cast<size_t>(kLoopSize + (512 << 10)), 0);
    ASSERT_TRUE(ts::WriteWholeFile(path, longer));
    SelectDrive(kLoop, Geometry(kLoopSize + (512 << 10)));
    ASSERT_TRUE(ComputeChunkSize(*state_));
    state_->DiskHandle = CreateFileW(kLoop.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_NO_BUFFERING, nullptr);
    state_->ImageHandle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    VerifyResult result = VerifyResult::Equal;
    ASSERT_TRUE(ts::RunWhilePumping([&] { result = VerifyTransfer(JobKind::Restore); }));
    CloseImageFile();
    CloseDisk();
    EXPECT_EQ(result, VerifyResult::Failed);
    EXPECT_EQ(Seen(watcher), Boxes{"Error!|Read disk error|error|OK"});
    EXPECT_EQ(Status(), L"Bytes verified: 4 194 304 ");
}

TEST_F(DeviceTest, FullImageVolumeIsAWriteErrorAndLeavesNoFileBehind)
{
    SelectDrive(kLoop, Geometry(kLoopSize));
    const std::wstring image = Scratch(L"L:\\full.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher),
              (Boxes{"Error!|Write file error|error|OK", "Korvane:|The disk image wasn't created!|warning|OK"}));
    EXPECT_GT(state_->BytesDone, 0);
    EXPECT_LT(state_->BytesDone, kLoopSize);
    // The temporary file is removed: the volume is free again and nothing carries the name.
    EXPECT_EQ(FileSize(image), -1);
    EXPECT_EQ(FileSize(image + L".partial"), -1);
    ExpectControls(true);
}

TEST_F(DeviceTest, ReadOnlyMediaServeAsSourcesAndAreNeverWritten)
{
    // A create asks only to read: a drive on a read-only mount can be imaged;
    // a restore asks only to read the image: one on read-only media restores.
    const Bytes disk = ts::Pattern(static_cast<size_t>(kReadOnlySize), 41);
    ASSERT_TRUE(ts::WriteWholeFile(Scratch(L"M:\\protected.bin"), disk));
    SelectDrive(L"N:\\protected.bin", Geometry(kReadOnlySize));
    const std::wstring image = Scratch(L"M:\\protected.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    EXPECT_TRUE(Contents(image) == disk);
    SelectDrive(kLoop, Geometry(kReadOnlySize * 4));
    const Bytes pattern = ts::Pattern(static_cast<size_t>(kLoopSize), 42);
    ASSERT_TRUE(WriteImage(image, pattern));
    SetFileName(L"N:\\protected.hdd");
    RunJob(JobKind::Restore);
    EXPECT_TRUE(ReadBytes(kLoop, static_cast<size_t>(kLoopSize)) == pattern);

    // A write-protected device opens for writing here; its first write fails and says so.
    SelectDrive(kReadOnlyLoop, Geometry(kReadOnlySize));
    const Bytes before = ReadBytes(kReadOnlyLoop, static_cast<size_t>(kReadOnlySize));
    ASSERT_TRUE(WriteImage(image, ts::Pattern(static_cast<size_t>(kReadOnlySize), 43)));
    SetFileName(image);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Status(), L"Bytes written: 0 ");
    EXPECT_TRUE(ReadBytes(kReadOnlyLoop, static_cast<size_t>(kReadOnlySize)) == before);
    EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kWritten, "Error!|Write disk error|error|OK",
                                    "Korvane:|The disk image wasn't written!|warning|OK"}));
}

} // namespace
