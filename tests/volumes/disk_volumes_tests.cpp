#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "drives/disk_volumes.h"
#include "engine/app_state.h"
#include "report/error_box.h"
#include "tests/support/win_test_support.h"

static const wchar_t kVolumeInUseText[] =
    L"Can't lock a volume of the selected physical disk,\nplease close all programs and windows that use the drive!";

static const wchar_t kImageOnDiskText[] =
    L"The selected file lies on the selected physical disk,\nplease choose a file on another drive!";

static bool OnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

static bool HandleIsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

// The restore job's world: the record, the dialog that owns the boxes, a watcher
// that answers them, and a drive opened as the job opens it.
class VolumesOnWine : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(app_.Open(true));
        state_ = app_.state;
        dialog_ = app_.dialog;
        watcher_.SetDefaultAnswer(IDOK);
    }
    void TearDown() override
    {
        ReleaseVolumes(*state_);
        if (IsOpenHandle(state_->DiskHandle))
            CloseHandle(state_->DiskHandle);
        app_.Close();
        if (!scratch_.empty())
            DeleteFileW(scratch_.c_str());
    }
    void OpenDrive(const std::wstring& path)
    {
        state_->DiskHandle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_NO_BUFFERING, nullptr);
    }
    // Runs on a worker while this thread pumps, as the job does.
    void OnWorker(const std::function<void()>& work) { ASSERT_TRUE(ts::RunWhilePumping(work)); }

    ts::AppOnDialog app_;
    AppState* state_ = nullptr;
    HWND dialog_ = nullptr;
    ts::BoxWatcher watcher_;
    std::wstring scratch_;
};

TEST_F(VolumesOnWine, RegularFileAsDriveChangesNothing)
{
    scratch_ = ts::TempPath(L"drive.bin");
    ASSERT_TRUE(ts::WriteWholeFile(scratch_, ts::Pattern(65536, 3)));
    OpenDrive(scratch_);
    ASSERT_TRUE(IsOpenHandle(state_->DiskHandle));
    const std::wstring image = ts::TempPath(L"image.hdd");

    bool offline = false, existing = false, fresh = false;
    OnWorker([&] {
        offline = TakeVolumesOffline(*state_);
        existing = CheckImageNotOnDisk(*state_, scratch_.c_str());
        fresh = CheckImageNotOnDisk(*state_, image.c_str());
        ReleaseVolumes(*state_);
    });
    EXPECT_TRUE(offline);
    EXPECT_TRUE(existing);
    EXPECT_TRUE(fresh);
    EXPECT_TRUE(state_->VolumeHandles.empty());
    EXPECT_TRUE(watcher_.Boxes().empty());
}

TEST_F(VolumesOnWine, PhysicalDriveZeroRunsEveryStep)
{
    OpenDrive(L"\\\\.\\PHYSICALDRIVE0");
    if (!IsOpenHandle(state_->DiskHandle))
        GTEST_SKIP() << "\\\\.\\PHYSICALDRIVE0 does not open here (error " << GetLastError() << ")";
    DWORD disk = 99;
    ASSERT_TRUE(ReadDiskNumber(state_->DiskHandle, &disk));
    EXPECT_EQ(disk, 0u);
    std::vector<VolumeLayout> volumes;
    ASSERT_TRUE(ListVolumes(&volumes));
    // Where the system places volumes on disk 0, a lock would fail (or succeed) for real.
    if (!VolumesOnDisk(volumes, disk).empty())
        GTEST_SKIP() << "this system has volumes on disk 0; not locking them from a test";

    bool offline = false, onDisk = false;
    OnWorker([&] {
        offline = TakeVolumesOffline(*state_);
        onDisk = CheckImageNotOnDisk(*state_, L"C:\\windows\\image.hdd");
    });
    EXPECT_TRUE(offline);
    EXPECT_TRUE(onDisk);
    EXPECT_TRUE(state_->VolumeHandles.empty());
    EXPECT_TRUE(watcher_.Boxes().empty());
}

TEST(VolumeQueries, ListedVolumesOpenByTheirDevicePaths)
{
    std::vector<VolumeLayout> volumes;
    ASSERT_TRUE(ListVolumes(&volumes));
    ASSERT_FALSE(volumes.empty());
    for (const VolumeLayout& volume : volumes) {
        ASSERT_FALSE(volume.DevicePath.empty());
        EXPECT_NE(volume.DevicePath.back(), L'\\') << ts::Narrow(volume.DevicePath);
        std::vector<DWORD> disks;
        EXPECT_TRUE(ReadVolumeDisks(volume.DevicePath, &disks)) << ts::Narrow(volume.DevicePath);
        EXPECT_EQ(disks, volume.Disks);
    }
    std::vector<DWORD> disks{5};
    EXPECT_FALSE(ReadVolumeDisks(L"\\\\?\\Volume{00000000-0000-0000-0000-0000000000ff}", &disks));
    EXPECT_TRUE(disks.empty());
}

TEST(VolumeQueries, ImagePathFindsItsVolumeBeforeTheFileExists)
{
    std::vector<VolumeLayout> volumes;
    ASSERT_TRUE(ListVolumes(&volumes));
    auto listed = [&](const std::wstring& path) {
        for (const VolumeLayout& volume : volumes) {
            if (volume.DevicePath == path)
                return true;
        }
        return false;
    };
    std::wstring existing, missing, relative, deep;
    const std::wstring file = ts::TempPath(L"present.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(file, ts::Pattern(512, 1)));
    ASSERT_TRUE(ImageVolumePath(file.c_str(), &existing));
    DeleteFileW(file.c_str());
    ASSERT_TRUE(ImageVolumePath(file.c_str(), &missing));
    EXPECT_EQ(existing, missing);
    EXPECT_TRUE(listed(existing)) << ts::Narrow(existing);

    // A relative name is taken from the current folder, as CreateFileW takes it.
    wchar_t current[MAX_PATH] = {};
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    std::wstring currentVolume;
    ASSERT_TRUE(ImageVolumePath(current, &currentVolume));
    ASSERT_TRUE(ImageVolumePath(L"image.hdd", &relative));
    EXPECT_EQ(relative, currentVolume);

    // Longer than MAX_PATH: no fixed buffer may cut it short.
    std::wstring longPath = L"C:\\";
    for (int i = 0; i < 40; ++i)
        longPath += L"abcdefghij\\";
    longPath += L"image.hdd";
    ASSERT_GT(longPath.size(), static_cast<size_t>(MAX_PATH));
    std::wstring root;
    ASSERT_TRUE(ImageVolumePath(L"C:\\", &root));
    ASSERT_TRUE(ImageVolumePath(longPath.c_str(), &deep));
    EXPECT_EQ(deep, root);

    std::wstring none = L"stale";
    EXPECT_FALSE(ImageVolumePath(L"", &none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(ImageVolumePath(nullptr, &none));
    EXPECT_FALSE(ImageVolumePath(L"\\\\server\\share\\image.hdd", &none));
}

TEST_F(VolumesOnWine, VolumeThatCantBeTakenReleasesTheOthersBeforeTheBox)
{
    // One volume already taken, as after the first of several volumes of a disk. A file
    // opened exclusively stands in for it: whether it was closed can be seen from outside,
    // where a closed handle's value may already belong to a handle the box opened.
    scratch_ = ts::TempPath(L"taken.bin");
    ASSERT_TRUE(ts::WriteWholeFile(scratch_, ts::Pattern(512, 2)));
    HANDLE held = CreateFileW(scratch_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    state_->VolumeHandles.push_back(held);
    auto heldIsClosed = [&] {
        HANDLE again = CreateFileW(scratch_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (again == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(again);
        return true;
    };
    ASSERT_FALSE(heldIsClosed());

    // The box stays open until the reader below has looked at the state behind it.
    watcher_.SetDefaultAnswer(0);
    ts::ObservedBox box;
    bool boxSeen = false, emptyBehindBox = false, closedBehindBox = false;
    ts::TestThread reader([&] {
        boxSeen = watcher_.WaitForOpenBox(&box);
        if (!boxSeen)
            return;
        emptyBehindBox = state_->VolumeHandles.empty();
        closedBehindBox = heldIsClosed();
        ts::BoxWatcher::Press(box.window, IDOK);
    });
    bool result = true;
    OnWorker([&] { result = LockVolumes(*state_, {L"\\\\.\\NoSuchVolume"}); });
    reader.Join();
    ASSERT_TRUE(boxSeen);
    EXPECT_TRUE(emptyBehindBox);
    EXPECT_TRUE(closedBehindBox);
    EXPECT_FALSE(result);
    EXPECT_EQ(box.caption, L"Error!");
    EXPECT_EQ(box.text, ComposeErrorText(kVolumeInUseText));
    EXPECT_EQ(box.icon, ts::BoxIcon::Error);
    EXPECT_EQ(box.owner, dialog_);
    EXPECT_EQ(watcher_.Boxes().size(), 1u);
}

TEST_F(VolumesOnWine, LockedButNotDismountedCountsAsNotTaken)
{
    // Wine grants the lock of its C: volume but can't dismount it: a volume whose
    // file system stayed mounted would write its cache over the restored drive.
    if (!OnWine())
        GTEST_SKIP() << "dismounts a real volume elsewhere";
    bool result = true;
    OnWorker([&] { result = LockVolumes(*state_, {L"\\\\.\\C:"}); });
    EXPECT_FALSE(result);
    EXPECT_TRUE(state_->VolumeHandles.empty());
    ASSERT_EQ(watcher_.Boxes().size(), 1u);
    EXPECT_EQ(watcher_.Boxes()[0].text, ComposeErrorText(kVolumeInUseText));
}

TEST_F(VolumesOnWine, ReleaseClosesEachHeldVolumeAndForgetsIt)
{
    ReleaseVolumes(*state_); // nothing held
    EXPECT_TRUE(state_->VolumeHandles.empty());

    std::vector<HANDLE> held;
    for (int i = 0; i < 2; ++i) {
        HANDLE volume = CreateFileW(L"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
        held.push_back(volume);
    }
    state_->VolumeHandles = held;
    ReleaseVolumes(*state_);
    EXPECT_TRUE(state_->VolumeHandles.empty());
    for (HANDLE volume : held)
        EXPECT_FALSE(HandleIsOpen(volume));
}

TEST_F(VolumesOnWine, ImageOnTheDiskItselfIsRefusedWithTheReason)
{
    // Wine's volumes report no extents, so the refusal is shown here with chosen extents.
    bool spanning = true, elsewhere = false;
    OnWorker([&] {
        spanning = CheckImageVolume(*state_, {1, 2}, 2);
        elsewhere = CheckImageVolume(*state_, {0}, 2);
    });
    EXPECT_FALSE(spanning);
    EXPECT_TRUE(elsewhere);
    ASSERT_EQ(watcher_.Boxes().size(), 1u);
    const ts::ObservedBox box = watcher_.Boxes()[0];
    EXPECT_EQ(box.caption, L"Error!");
    EXPECT_EQ(box.text, ComposeErrorText(kImageOnDiskText));
    EXPECT_EQ(box.icon, ts::BoxIcon::Error);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(box.owner, dialog_);
}
