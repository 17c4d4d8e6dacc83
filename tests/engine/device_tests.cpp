// Jobs against real block devices and volumes, set up by scripts/test-devices.sh:
// a loop device as \\.\K:, a read-only one as \\.\J:, a 2 MiB tmpfs as L:,
// and a folder as M: that N: shows read-only. Without them every test is skipped.
#include "tests/engine/engine_fixture.h"

#include "resource.h"

namespace {

const wchar_t kLoopDevice[] = L"\\\\.\\K:";
const wchar_t kReadOnlyDevice[] = L"\\\\.\\J:";
const wchar_t kSmallVolume[] = L"L:\\";
const wchar_t kFolder[] = L"M:\\";
const wchar_t kReadOnlyFolder[] = L"N:\\";
const int64_t kReadOnlySize = 1024 * 1024;
const int64_t kLoopSize = 4 * 1024 * 1024; // as the setup script makes it
// 16 cylinders of 256 KiB
const DISK_GEOMETRY_EX kLoopGeometry = MakeGeometry(16, 32, 512, kLoopSize);

using ts::BoxIcon;

class DeviceTest : public EngineTest {
protected:
    void SetUp() override
    {
        HANDLE device = CreateFileW(kLoopDevice, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            GTEST_SKIP() << "no loop device at K: (error " << GetLastError()
                         << "): run the tests as root where losetup works";
        CloseHandle(device);
        EngineTest::SetUp();
    }
    std::vector<unsigned char> Device(const wchar_t* path = kLoopDevice, int64_t size = kLoopSize)
    {
        std::vector<unsigned char> data;
        EXPECT_TRUE(ReadBytes(path, static_cast<size_t>(size), &data));
        return data;
    }
};

TEST_F(DeviceTest, RestoreOntoTheDeviceAndImageItBack)
{
    SelectDrive(kLoopDevice, kLoopGeometry);
    const std::wstring image = Scratch(L"loop.hdd");
    const std::vector<unsigned char> pattern = ts::Pattern(static_cast<size_t>(kLoopSize), 40);
    ASSERT_TRUE(ts::WriteWholeFile(image, pattern));
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], L"The disk image was successfully written!", BoxIcon::Information);
    EXPECT_EQ(Status(), L"Bytes written: 4 194 304 ");
    EXPECT_TRUE(Device() == pattern) << "the device differs from the image";

    const std::wstring copy = Scratch(L"loop-copy.hdd");
    SetFileName(copy);
    watcher.Clear();
    RunJob(JobKind::Create);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], L"The disk image was successfully created!", BoxIcon::Information);
    std::vector<unsigned char> data;
    ASSERT_TRUE(ts::ReadWholeFile(copy, &data));
    EXPECT_TRUE(data == pattern) << "the image differs from the device";
    const ts::ProgressState bar = ts::ReadProgress(Control(IDC_PROGRESS));
    EXPECT_EQ(bar.position, bar.high);
    ExpectIdle();
}

TEST_F(DeviceTest, DeviceOfAnotherSizeThanListedIsRefused)
{
    // The device can't tell its geometry here; where its data ends must decide.
    const std::wstring image = Scratch(L"wrongsize.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    for (int64_t listed : {kLoopSize - 512, kLoopSize + 512}) {
        SCOPED_TRACE(listed);
        SelectDrive(kLoopDevice, MakeGeometry(16, 32, 512, listed));
        watcher.Clear();
        RunJob(JobKind::Create);
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        ExpectJobBox(watcher.Boxes()[0], L"Can't open selected physical disk,\nplease check the list of drives!",
                     BoxIcon::Warning);
        EXPECT_EQ(FileSize(image), -1);
    }
}

TEST_F(DeviceTest, FullImageVolumeIsAWriteErrorAndLeavesThePartialFile)
{
    SelectDrive(kLoopDevice, kLoopGeometry);
    const std::vector<unsigned char> disk = Device();
    const std::wstring image = std::wstring(kSmallVolume) + L"full.hdd";
    scratch_.push_back(image);
    DeleteFileW(image.c_str());
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectErrorBox(watcher.Boxes()[0], L"Write file error");
    ExpectJobBox(watcher.Boxes()[1], L"The disk image wasn't created!", BoxIcon::Warning);
    const std::wstring status = Status();
    EXPECT_EQ(status.rfind(L"Bytes read: ", 0), 0u) << ts::Narrow(status);
    EXPECT_LT(state_->BytesDone, kLoopSize);
    EXPECT_GT(state_->BytesDone, 0);
    // What arrived stays, and it is the drive's first bytes.
    std::vector<unsigned char> data;
    ASSERT_TRUE(ts::ReadWholeFile(image, &data));
    EXPECT_GE(static_cast<int64_t>(data.size()), state_->BytesDone);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
    ExpectIdle();
}

TEST_F(DeviceTest, WriteProtectedDriveImagesButIsNeverWritten)
{
    // A create asks only to read: a drive on a read-only mount can be imaged.
    const std::wstring name = L"protected.bin";
    const std::vector<unsigned char> disk = ts::Pattern(static_cast<size_t>(kReadOnlySize), 42);
    scratch_.push_back(kFolder + name);
    ASSERT_TRUE(ts::WriteWholeFile(kFolder + name, disk));
    SelectDrive(kReadOnlyFolder + name, MakeGeometry(16, 32, 512, kReadOnlySize));
    const std::wstring image = Scratch(L"protected.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], L"The disk image was successfully created!", BoxIcon::Information);
    std::vector<unsigned char> data;
    ASSERT_TRUE(ts::ReadWholeFile(image, &data));
    EXPECT_TRUE(data == disk);

    // A write-protected device opens for writing here; its first write fails and says so.
    SelectDrive(kReadOnlyDevice, MakeGeometry(16, 32, 512, kReadOnlySize));
    const std::vector<unsigned char> before = Device(kReadOnlyDevice, kReadOnlySize);
    watcher.Clear();
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectErrorBox(watcher.Boxes()[0], L"Write disk error");
    ExpectJobBox(watcher.Boxes()[1], L"The disk image wasn't written!", BoxIcon::Warning);
    EXPECT_EQ(Status(), L"Bytes written: 0 ");
    EXPECT_TRUE(Device(kReadOnlyDevice, kReadOnlySize) == before);
}

TEST_F(DeviceTest, ImageOnReadOnlyMediaRestores)
{
    const std::wstring name = L"ro-image.hdd";
    const std::vector<unsigned char> pattern = ts::Pattern(static_cast<size_t>(kLoopSize), 41);
    scratch_.push_back(kFolder + name);
    ASSERT_TRUE(ts::WriteWholeFile(kFolder + name, pattern));
    SelectDrive(kLoopDevice, kLoopGeometry);
    SetFileName(kReadOnlyFolder + name);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], L"The disk image was successfully written!", BoxIcon::Information);
    EXPECT_TRUE(Device() == pattern);
}

} // namespace
