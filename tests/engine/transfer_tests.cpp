// The transfer loops called directly on a worker, with handles the test opened.
#include "tests/engine/engine_fixture.h"

#include "engine/transfer.h"
#include "resource.h"

namespace {

class TransferTest : public EngineTest {
protected:
    void OpenHandles(const std::wstring& drive, const std::wstring& image)
    {
        state_->DiskHandle =
            CreateFileW(drive.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(state_->DiskHandle, INVALID_HANDLE_VALUE);
        state_->ImageHandle = CreateFileW(image.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(state_->ImageHandle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        CloseImageFile();
        CloseDisk();
        EngineTest::TearDown();
    }
    bool Create()
    {
        bool result = true;
        EXPECT_TRUE(ts::RunWhilePumping([&] { result = CreateImage(); }));
        return result;
    }
};

TEST_F(TransferTest, ShortReadIsAReadErrorAndKeepsTheCountOfWholeChunks)
{
    // The medium ends 100 bytes into its fourth cylinder although it claims ten.
    const std::wstring drive = Scratch(L"short.bin");
    const std::vector<unsigned char> disk = ts::Pattern(3 * 18432 + 100, 30);
    ASSERT_TRUE(ts::WriteWholeFile(drive, disk));
    SelectDrive(drive, MakeGeometry(2, 18, 512, 10 * 18432));
    const std::wstring image = Scratch(L"short.hdd");
    OpenHandles(drive, image);
    ts::BoxWatcher watcher;
    EXPECT_FALSE(Create());
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectErrorBox(watcher.Boxes()[0], L"Read disk error");
    EXPECT_EQ(Status(), L"Bytes read: 55 296 ");
    EXPECT_EQ(state_->TransferBuffer, nullptr);
    CloseImageFile();
    std::vector<unsigned char> data;
    ASSERT_TRUE(ts::ReadWholeFile(image, &data));
    EXPECT_TRUE(data == std::vector<unsigned char>(disk.begin(), disk.begin() + 55296));
}

TEST_F(TransferTest, FailuresBeforeTheCopyLeaveTheStatusAndHoldNoBuffer)
{
    const std::wstring drive = Scratch(L"pre.bin");
    ASSERT_TRUE(ts::WriteWholeFile(drive, ts::Pattern(18432, 31)));
    const std::wstring image = Scratch(L"pre.hdd");
    OpenHandles(drive, image);
    SetDlgItemTextW(dialog_, IDC_STATUS, L"Physical drive selected");
    ts::BoxWatcher watcher;

    // A geometry member of 0 makes a chunk of 0 bytes, which can't be allocated.
    SelectDrive(drive, MakeGeometry(2, 0, 512, 18432));
    EXPECT_FALSE(Create());

    const HANDLE disk = state_->DiskHandle;
    state_->DiskHandle = INVALID_HANDLE_VALUE;
    SelectDrive(drive, MakeGeometry(2, 18, 512, 18432));
    EXPECT_FALSE(Create());
    bool restored = true;
    EXPECT_TRUE(ts::RunWhilePumping([&] { restored = RestoreImage(); }));
    EXPECT_FALSE(restored);
    state_->DiskHandle = disk;

    ASSERT_EQ(watcher.Boxes().size(), 3u);
    ExpectErrorBox(watcher.Boxes()[0], L"Virtual memory error");
    ExpectErrorBox(watcher.Boxes()[1], L"Invalid handle value");
    ExpectErrorBox(watcher.Boxes()[2], L"Invalid handle value");
    EXPECT_EQ(Status(), L"Physical drive selected");
    EXPECT_EQ(state_->TransferBuffer, nullptr);
}

TEST_F(TransferTest, CancelRequestedBeforeTheCopyStartsIsDiscarded)
{
    const std::wstring drive = Scratch(L"early.bin");
    const std::vector<unsigned char> disk = ts::Pattern(4 * 18432, 32);
    ASSERT_TRUE(ts::WriteWholeFile(drive, disk));
    SelectDrive(drive, MakeGeometry(2, 18, 512, 4 * 18432));
    const std::wstring image = Scratch(L"early.hdd");
    OpenHandles(drive, image);
    RequestCancel();
    ts::BoxWatcher watcher;
    EXPECT_TRUE(Create());
    EXPECT_TRUE(watcher.Boxes().empty());
    EXPECT_EQ(Status(), L"Bytes read: 73 728 ");
}

} // namespace
