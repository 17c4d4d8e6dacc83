// Create and restore jobs on simulated physical drives with volumes: the order
// of the steps, every refusal before the first write, locks given back.
#include "tests/engine/sim_fixture.h"

#include "report/error_box.h"

namespace {

using Boxes = std::vector<std::string>;
using Calls = std::vector<sim::CallRecord>;

const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";
const std::string kNotWritten = "Korvane:|The disk image wasn't written!|warning|OK";
const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kNotCreated = "Korvane:|The disk image wasn't created!|warning|OK";
const std::string kInUse = "Error!|Can't lock a volume of the selected physical disk,\nplease close all programs and "
                           "windows that use the drive!|error|OK";
const std::string kUnknown = "Error!|Can't read the volumes of the selected physical disk,\nplease refresh the list "
                             "of drives and try again!|error|OK";
const std::string kOnDisk = "Error!|The selected file lies on the selected physical disk,\nplease choose a file on "
                            "another drive!|error|OK";
const std::string kPlaceUnknown = "Error!|Can't tell on which drive the selected file lies,\nplease choose a file on "
                                  "another drive!|error|OK";
const std::string kCantOpenFile = "Korvane:|Can't open selected file,\nplease check the filename!|warning|OK";
const std::string kCantWriteFile =
    "Korvane:|Can't open selected file for write,\nplease check the filename or file properties!|warning|OK";
const std::string kReplace = "Write image file|The selected file exists,\nREPLACE ?|question|YesNo";
const std::string kReadQuestion = "Read image from disk|Can't lock a volume of the selected physical disk,\nthe image "
                                  "may mix old and new data!\n\nCONTINUE ?|warning|YesNo";

const DWORD kTarget = 2;
const std::wstring kBoot = L"{b0000000-0000-4000-8000-000000000002}";
const std::wstring kData = L"{da000000-0000-4000-8000-000000000002}";
const std::wstring kOther = L"{07000000-0000-4000-8000-000000000003}";

class VolumeJobTest : public SimJobTest {
  protected:
    // The target: 4096-byte sectors, two cylinders of 2 x 18 sectors and a bit; an image of the same size.
    void MakeTarget(DWORD sector = 4096)
    {
        size_ = 2LL * 2 * 18 * sector + 4 * sector;
        before_ = AddDisk(kTarget, sector, size_, 50);
        image_ = Scratch(L"target.hdd");
        content_ = ts::Pattern(static_cast<size_t>(size_), 51);
        ASSERT_TRUE(WriteImage(image_, content_));
        SetFileName(image_);
    }
    // A folder that a volume is mounted on, removed after the test.
    std::wstring MountFolder(const std::wstring& name)
    {
        const std::wstring folder = ts::TempPath(name);
        CreateDirectoryW(folder.c_str(), nullptr);
        folders_.push_back(folder);
        return folder + L"\\";
    }
    void TearDown() override
    {
        SimJobTest::TearDown();
        for (const std::wstring& folder : folders_)
            RemoveDirectoryW(folder.c_str());
    }
    Calls DiskCalls() const { return CallsOn(sim::DiskPath(kTarget)); }
    // Changes the target's medium behind the stack's back (which holds it open).
    void PatchMedium(int64_t offset, const Bytes& bytes)
    {
        const HANDLE medium = CreateFileW(drive_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(medium, INVALID_HANDLE_VALUE);
        DWORD put = 0;
        EXPECT_NE(SetFilePointer(medium, static_cast<LONG>(offset), nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_TRUE(WriteFile(medium, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
        CloseHandle(medium);
    }
    // A refusal: the boxes, and not one byte written or even tried on the target.
    void ExpectRefused(ts::BoxWatcher& watcher, const Boxes& boxes)
    {
        EXPECT_EQ(Seen(watcher), boxes);
        EXPECT_EQ(sim::CountCalls(DiskCalls(), "WriteFile"), 0);
        EXPECT_TRUE(Contents(drive_) == before_) << "the target changed";
        EXPECT_EQ(stack_->OpenHandles(), 0) << "a handle was kept";
        ExpectControls(true);
    }

    int64_t size_ = 0;
    Bytes before_, content_;
    std::wstring image_;
    std::vector<std::wstring> folders_;
};

// Position of the first call of `function` (with `code`) on `path`, or -1.
int Find(const Calls& calls, const std::string& function, DWORD code, const std::wstring& path, bool last = false)
{
    int found = -1;
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].function == function && (code == 0 || calls[i].code == code) &&
            (path.empty() || calls[i].path == path)) {
            found = static_cast<int>(i);
            if (!last)
                break;
        }
    return found;
}

TEST_F(VolumeJobTest, RestoreTakesEveryVolumeOfTheTargetThenWritesAndAnnouncesTheLayout)
{
    MakeTarget();
    // As on Windows, the new layout's volume mounts as soon as it is announced, and writes.
    const std::wstring fresh = L"{f0000000-0000-4000-8000-000000000002}";
    sim::Disk target = DiskOf(kTarget, 4096, size_);
    target.mountsOnRescan.push_back(VolumeOn(kTarget, fresh, 24 * 4096, 8 * 4096));
    stack_->AddDisk(target);
    // A boot volume busy for three tries, a data volume spanning the target and disk 3
    // (where the operator's file dialog left the current folder), and one only on disk 3.
    sim::Volume boot = VolumeOn(kTarget, kBoot, 4096, 8 * 4096);
    boot.busyTries = 3;
    sim::Volume data = VolumeOn(kTarget, kData, 16 * 4096, 20 * 4096);
    data.extents.push_back({3, 0, 1 << 20});
    data.mountPoint = MountFolder(L"data");
    stack_->AddVolume(boot);
    stack_->AddVolume(data);
    stack_->AddVolume(VolumeOn(3, kOther, 0, 1 << 20));
    ASSERT_TRUE(SetCurrentDirectoryW(data.mountPoint.c_str()));
    stack_->ClearCalls();
    ts::BoxWatcher watcher;
    // The volumes are back before the outcome box waits for the operator.
    bool heldBehindBox = true;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Restore));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }, 30000));
    heldBehindBox = stack_->VolumeLocked(kBoot) || stack_->VolumeLocked(kData) || stack_->OpenHandles() != 0;
    ts::BoxWatcher::Press(watcher.Boxes()[0].window, IDOK);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    EXPECT_FALSE(heldBehindBox);
    EXPECT_EQ(Seen(watcher), Boxes{kWritten});
    Bytes mounted = content_;
    std::fill(mounted.begin() + 24 * 4096, mounted.begin() + 25 * 4096, static_cast<unsigned char>(0xF5));
    EXPECT_TRUE(Contents(drive_) == mounted) << "the target differs from the image";

    const Calls calls = stack_->Calls();
    const std::wstring bootPath = sim::VolumePath(kBoot), dataPath = sim::VolumePath(kData);
    const std::wstring disk = sim::DiskPath(kTarget);
    EXPECT_EQ(sim::CountCalls(CallsOn(bootPath), "DeviceIoControl", FSCTL_LOCK_VOLUME), 4);
    EXPECT_EQ(Find(calls, "DeviceIoControl", FSCTL_LOCK_VOLUME, sim::VolumePath(kOther)), -1);
    const int moved = Find(calls, "SetCurrentDirectoryW", 0, L"");
    const int firstLock = Find(calls, "DeviceIoControl", FSCTL_LOCK_VOLUME, L"");
    const int lastDismount = Find(calls, "DeviceIoControl", FSCTL_DISMOUNT_VOLUME, dataPath, true);
    const int firstWrite = Find(calls, "WriteFile", 0, disk);
    const int lastWrite = Find(calls, "WriteFile", 0, disk, true);
    const int flush = Find(calls, "FlushFileBuffers", 0, disk);
    const int update = Find(calls, "DeviceIoControl", IOCTL_DISK_UPDATE_PROPERTIES, disk);
    const int diskClosed = Find(calls, "CloseHandle", 0, disk, true);
    const int bootUnlocked = Find(calls, "DeviceIoControl", FSCTL_UNLOCK_VOLUME, bootPath);
    ASSERT_TRUE(moved >= 0 && firstLock >= 0 && lastDismount >= 0 && firstWrite >= 0 && update >= 0);
    EXPECT_LT(moved, firstLock) << "volumes locked before the current folder left the disk";
    EXPECT_LT(Find(calls, "DeviceIoControl", FSCTL_DISMOUNT_VOLUME, bootPath), firstWrite);
    EXPECT_LT(lastDismount, firstWrite);
    EXPECT_LT(lastWrite, flush);
    EXPECT_LT(flush, update);
    EXPECT_LT(Find(calls, "ReadFile", 0, disk, true), update) << "the layout announced before the verify";
    EXPECT_LT(update, diskClosed) << "the layout must be announced on the open disk handle";
    EXPECT_LT(diskClosed, bootUnlocked) << "volumes released while the disk was still open";
    EXPECT_EQ(sim::CountCalls(calls, "DeviceIoControl", IOCTL_DISK_UPDATE_PROPERTIES), 1);
    EXPECT_TRUE(stack_->VolumeMounted(kBoot) && stack_->VolumeMounted(kData));
    EXPECT_FALSE(stack_->VolumeLocked(kBoot) || stack_->VolumeLocked(kData));
}

TEST_F(VolumeJobTest, VolumeThatStaysBusyOrWontDismountRefusesTheRestore)
{
    MakeTarget();
    stack_->AddVolume(VolumeOn(kTarget, kBoot, 4096, 8 * 4096)); // taken first, then given back
    sim::Volume data = VolumeOn(kTarget, kData, 16 * 4096, 20 * 4096);
    data.busyTries = -1;
    stack_->AddVolume(data);
    ts::BoxWatcher watcher;
    const DWORD start = GetTickCount();
    RunJob(JobKind::Restore);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LT(elapsed, 9000u);
    ExpectRefused(watcher, Boxes{kInUse, kNotWritten});
    EXPECT_EQ(sim::CountCalls(CallsOn(sim::VolumePath(kData)), "DeviceIoControl", FSCTL_LOCK_VOLUME), 20);
    EXPECT_FALSE(stack_->VolumeLocked(kBoot));

    // Locked, but the file system won't let go: no better than busy.
    stack_->RemoveVolume(kData);
    data.guid = L"{da000000-0000-4000-8000-0000000000d1}";
    data.busyTries = 0;
    data.dismountFails = true;
    stack_->AddVolume(data);
    watcher.Clear();
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{kInUse, kNotWritten});
    EXPECT_FALSE(stack_->VolumeLocked(data.guid));

    // A document open on a mounted volume of the target keeps its lock out, as on Windows.
    stack_->RemoveVolume(data.guid);
    data.guid = L"{da000000-0000-4000-8000-0000000000d2}";
    data.dismountFails = false;
    data.mountPoint = MountFolder(L"open-document");
    stack_->AddVolume(data);
    const std::wstring document = Scratch(data.mountPoint + L"letter.txt");
    ASSERT_TRUE(ts::WriteWholeFile(document, Bytes(10, 'x')));
    const HANDLE open = CreateFileW(document.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    watcher.Clear();
    RunJob(JobKind::Restore);
    CloseHandle(open);
    ExpectRefused(watcher, Boxes{kInUse, kNotWritten});
    EXPECT_FALSE(stack_->VolumeLocked(data.guid));
}

TEST_F(VolumeJobTest, WriteProtectedOrPooledTargetIsRefusedBeforeAnyVolumeAndStillReads)
{
    MakeTarget(512);
    sim::Disk target = DiskOf(kTarget, 512, size_);
    target.writeProtected = true;
    stack_->AddDisk(target);
    stack_->AddVolume(VolumeOn(kTarget, kBoot, 4096, 8 * 4096));
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{"Error!|The selected physical disk is write-protected!|error|OK", kNotWritten});
    EXPECT_EQ(sim::CountCalls(stack_->Calls(), "DeviceIoControl", FSCTL_LOCK_VOLUME), 0);

    // A create reads it, its volume locked through a handle that asks to read only.
    const std::wstring created = Scratch(L"protected.hdd");
    SetFileName(created);
    bool lockedWhileRead = false;
    stack_->AddHook({"ReadFile", 0, sim::DiskPath(kTarget), 1,
                     [&](const sim::CallRecord&) { lockedWhileRead = stack_->VolumeLocked(kBoot); }});
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    EXPECT_TRUE(Contents(created) == before_);
    EXPECT_TRUE(lockedWhileRead);

    // A dynamic disk: its metadata lies outside every volume, its volumes may span other disks.
    Bytes table(66, 0);
    table[4] = 0x42, table[8] = 8, table[12] = 64, table[64] = 0x55, table[65] = 0xAA;
    PatchMedium(446, table);
    std::copy(table.begin(), table.end(), before_.begin() + 446);
    target.writeProtected = false;
    target.layout = sim::Layout::FromContent;
    stack_->AddDisk(target);
    SelectDrive(sim::DiskPath(kTarget), MakeGeometry(2, 18, 512, size_));
    SetFileName(image_);
    stack_->ClearCalls();
    watcher.Clear();
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{"Error!|The selected physical disk is a dynamic disk or part of a storage pool,\n"
                                 "writing it would break volumes on other disks!|error|OK",
                                 kNotWritten});
    EXPECT_EQ(sim::CountCalls(stack_->Calls(), "DeviceIoControl", FSCTL_LOCK_VOLUME), 0);
}

TEST_F(VolumeJobTest, VolumesThatCantBeToldRefuseTheRestoreOfAPhysicalDrive)
{
    MakeTarget();
    stack_->AddVolume(VolumeOn(kTarget, kBoot, 4096, 8 * 4096));
    sim::Volume unreadable = VolumeOn(5, kOther, 0, 4096); // on another disk, but who can tell
    unreadable.extentsError = ERROR_IO_DEVICE;
    struct Case {
        const char* name;
        sim::Fault fault;
        bool unreadableVolume;
    } cases[] = {
        {"disk number", {"DeviceIoControl", IOCTL_STORAGE_GET_DEVICE_NUMBER, sim::DiskPath(kTarget)}, false},
        {"volume list", {"FindFirstVolumeW", 0, L"", ERROR_ACCESS_DENIED}, false},
        {"rest of the list", {"FindNextVolumeW", 0, L"", ERROR_NOT_ENOUGH_MEMORY}, false},
        {"extents", {}, true},
    };
    ts::BoxWatcher watcher;
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case on a fresh stack: faults stay where they were put.
        stack_.reset();
        stack_.reset(new sim::Stack);
        stack_->AddDisk(DiskOf(kTarget, 4096, size_));
        stack_->AddVolume(VolumeOn(kTarget, kBoot, 4096, 8 * 4096));
        if (c.unreadableVolume)
            stack_->AddVolume(unreadable);
        else
            stack_->AddFault(c.fault);
        watcher.Clear();
        RunJob(JobKind::Restore);
        ExpectRefused(watcher, Boxes{kUnknown, kNotWritten});
        EXPECT_EQ(sim::CountCalls(stack_->Calls(), "DeviceIoControl", FSCTL_LOCK_VOLUME), 0);
    }

    // A CD and a card reader without a card have no extents: they stand in nobody's way.
    stack_->RemoveVolume(kOther);
    unreadable.driveType = DRIVE_CDROM;
    unreadable.extentsError = ERROR_INVALID_FUNCTION;
    sim::Volume empty = VolumeOn(6, L"{e0000000-0000-4000-8000-000000000006}", 0, 4096);
    empty.driveType = DRIVE_REMOVABLE;
    empty.extentsError = ERROR_NOT_READY;
    // Nor do a RAM disk's or a mounted image file's volume, whose drivers have no extents to give.
    sim::Volume ramDisk = VolumeOn(7, L"{7a000000-0000-4000-8000-000000000007}", 0, 4096);
    ramDisk.extentsError = ERROR_NOT_SUPPORTED;
    stack_->AddVolume(unreadable);
    stack_->AddVolume(empty);
    stack_->AddVolume(ramDisk);
    watcher.Clear();
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), Boxes{kWritten});
    EXPECT_TRUE(Contents(drive_) == content_);
}

TEST_F(VolumeJobTest, WrongSizedImageIsToldBeforeAnyVolumeIsTouched)
{
    MakeTarget();
    sim::Volume busy = VolumeOn(kTarget, kBoot, 4096, 8 * 4096);
    busy.busyTries = -1;
    stack_->AddVolume(busy);
    ASSERT_TRUE(WriteImage(image_, ts::Pattern(static_cast<size_t>(size_ + 4096), 52)));
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    ExpectRefused(watcher,
                  Boxes{"Error!|Sizes of selected file and selected disk aren't equal!|error|OK", kNotWritten});
    // Listed to compare serial numbers with the image's, but neither opened for access nor locked.
    const Calls calls = stack_->Calls();
    for (const sim::CallRecord& call : calls)
        if (call.function == "CreateFileW" && call.path == sim::VolumePath(kBoot))
            EXPECT_EQ(call.code, 0u);
    EXPECT_EQ(sim::CountCalls(calls, "DeviceIoControl", FSCTL_LOCK_VOLUME), 0);
}

TEST_F(VolumeJobTest, CancelDuringTheLockWaitStopsBeforeTheFirstByte)
{
    MakeTarget();
    sim::Volume busy = VolumeOn(kTarget, kBoot, 4096, 8 * 4096);
    busy.busyTries = -1;
    stack_->AddVolume(busy);
    // Cancel (or Esc, or closing the window: all request the same) during the third try.
    sim::Hook cancel;
    cancel.function = "DeviceIoControl";
    cancel.code = FSCTL_LOCK_VOLUME;
    cancel.nth = 3;
    cancel.action = [](const sim::CallRecord&) { RequestCancel(); };
    stack_->AddHook(cancel);
    ts::BoxWatcher watcher;
    const DWORD start = GetTickCount();
    RunJob(JobKind::Restore);
    EXPECT_LT(GetTickCount() - start, 3000u);
    ExpectRefused(watcher, Boxes{kNotWritten});
    EXPECT_EQ(sim::CountCalls(stack_->Calls(), "DeviceIoControl", FSCTL_LOCK_VOLUME), 3);

    // Pressed as the lock is granted: the transfer's start does not swallow it.
    stack_->RemoveVolume(kBoot);
    busy.guid = L"{b0000000-0000-4000-8000-0000000000b2}";
    busy.busyTries = 2;
    stack_->AddVolume(busy);
    stack_->ClearCalls();
    watcher.Clear();
    cancel.path = sim::VolumePath(busy.guid);
    stack_->AddHook(cancel);
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{kNotWritten});
    EXPECT_FALSE(stack_->VolumeLocked(busy.guid));

    // A create stops the same way, and no image file is made.
    const std::wstring created = Scratch(L"cancelled.hdd");
    SetFileName(created);
    busy.guid = L"{b0000000-0000-4000-8000-0000000000b3}";
    busy.busyTries = -1;
    stack_->AddVolume(busy);
    cancel.path = sim::VolumePath(busy.guid);
    stack_->AddHook(cancel);
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kNotCreated});
    EXPECT_EQ(FileSize(created), -1);
}

TEST_F(VolumeJobTest, FailedFlushOrWriteFailsTheJobAndAnnouncesNothing)
{
    MakeTarget(512);
    ts::BoxWatcher watcher;
    stack_->AddFault({"FlushFileBuffers", 0, sim::DiskPath(kTarget), ERROR_IO_DEVICE, 0, 1});
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Write disk error|error|OK", kNotWritten}));
    stack_->AddFault({"WriteFile", 0, sim::DiskPath(kTarget), ERROR_CRC, 1, 1});
    watcher.Clear();
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Write disk error|error|OK", kNotWritten}));
    EXPECT_EQ(sim::CountCalls(stack_->Calls(), "DeviceIoControl", IOCTL_DISK_UPDATE_PROPERTIES), 0);

    // The image file of a create, under its temporary name: all its bytes went out, but the flush failed.
    const std::wstring created = Scratch(L"unflushed.hdd"), partial = Scratch(L"unflushed.hdd.partial");
    stack_->Watch(partial);
    stack_->AddFault({"FlushFileBuffers", 0, partial, ERROR_DISK_FULL, 0, 1});
    SetFileName(created);
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Write file error|error|OK", kNotCreated}));
    EXPECT_EQ(sim::CountCalls(CallsOn(partial), "FlushFileBuffers"), 1);
    EXPECT_EQ(FileSize(created), -1);
    EXPECT_EQ(FileSize(partial), -1);

    // A flush on the way failed and the one at the end did not (a system may tell a failed
    // write-back only once): the job fails all the same.
    state_->WriteBehindBytes = 1;
    stack_->AddFault({"FlushFileBuffers", 0, partial, ERROR_DISK_FULL, 0, 1});
    bool flushedOnTheWay = false;
    const int before = sim::CountCalls(CallsOn(partial), "FlushFileBuffers");
    stack_->AddHook({"WriteFile", 0, partial, 2, [&](const sim::CallRecord&) {
                         for (int waited = 0; !flushedOnTheWay && waited < 5000; waited += 5) {
                             Sleep(5);
                             flushedOnTheWay = sim::CountCalls(CallsOn(partial), "FlushFileBuffers") > before;
                         }
                     }});
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_TRUE(flushedOnTheWay) << "the image was not flushed while the job wrote it";
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Write file error|error|OK", kNotCreated}));
    EXPECT_EQ(FileSize(created), -1);
}

TEST_F(VolumeJobTest, CreateLocksTheSourceWhileReadingAndAsksWhenItCant)
{
    MakeTarget();
    stack_->AddVolume(VolumeOn(kTarget, kBoot, 4096, 8 * 4096));
    const std::wstring created = Scratch(L"source.hdd");
    SetFileName(created);
    bool lockedWhileRead = false, mountedWhileRead = false;
    sim::Hook read;
    read.function = "ReadFile";
    read.path = sim::DiskPath(kTarget);
    read.action = [&](const sim::CallRecord&) {
        lockedWhileRead = stack_->VolumeLocked(kBoot);
        mountedWhileRead = stack_->VolumeMounted(kBoot);
    };
    stack_->AddHook(read);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    EXPECT_TRUE(Contents(created) == before_);
    EXPECT_TRUE(lockedWhileRead);
    EXPECT_TRUE(mountedWhileRead) << "a create must not dismount the source";
    EXPECT_FALSE(stack_->VolumeLocked(kBoot));
    EXPECT_EQ(sim::CountCalls(stack_->Calls(), "DeviceIoControl", FSCTL_DISMOUNT_VOLUME), 0);

    // The system volume can't be locked: No (the default) creates nothing, Yes reads anyway.
    ASSERT_TRUE(DeleteFileW(created.c_str()));
    sim::Volume system = VolumeOn(kTarget, kData, 16 * 4096, 20 * 4096);
    system.busyTries = -1;
    stack_->AddVolume(system);
    watcher.Clear();
    watcher.Answer(IDNO);
    stack_->ClearCalls();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReadQuestion, kNotCreated}));
    ASSERT_FALSE(watcher.Boxes().empty());
    EXPECT_EQ(watcher.Boxes()[0].defaultButton, IDNO);
    EXPECT_EQ(FileSize(created), -1);
    EXPECT_EQ(sim::CountCalls(DiskCalls(), "ReadFile"), 0);
    EXPECT_EQ(stack_->OpenHandles(), 0);

    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReadQuestion, kCreated}));
    EXPECT_TRUE(Contents(created) == before_);
    EXPECT_FALSE(stack_->VolumeLocked(kBoot));

    // Read anyway, the drive changes under the copy: the verify blames the drive, not the image.
    ASSERT_TRUE(DeleteFileW(created.c_str()));
    AfterTransfer([&] { PatchMedium(5000, Bytes{static_cast<unsigned char>(before_[5000] ^ 1)}); });
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReadQuestion,
                                    "Error!|Verify error at byte 5 000 :\nthe physical drive changed while it was "
                                    "read!|error|OK",
                                    kNotCreated}));
    PatchMedium(5000, Bytes{before_[5000]});
    DeleteFileW(created.c_str());

    // A volume elsewhere that can't be told does not hide the target's volumes listed after it.
    sim::Volume unreadable = VolumeOn(5, kOther, 0, 4096);
    unreadable.extentsError = ERROR_IO_DEVICE;
    stack_->AddVolume(unreadable);
    const std::wstring late = L"{1a000000-0000-4000-8000-000000000002}";
    stack_->AddVolume(VolumeOn(kTarget, late, 4096, 8 * 4096));
    bool lateLocked = false;
    stack_->AddHook({"ReadFile", 0, sim::DiskPath(kTarget), 0,
                     [&](const sim::CallRecord&) { lateLocked = lateLocked || stack_->VolumeLocked(late); }});
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReadQuestion, kCreated}));
    EXPECT_TRUE(lateLocked);
    stack_->RemoveVolume(kOther);
    stack_->RemoveVolume(late);

    // The file (under its temporary name) can't be created: the volumes are given back before that box waits.
    ASSERT_TRUE(DeleteFileW(created.c_str()));
    stack_->RemoveVolume(kData);
    const std::wstring partial = Scratch(L"source.hdd.partial");
    stack_->Watch(partial);
    stack_->AddFault({"CreateFileW", 0, partial, ERROR_ACCESS_DENIED});
    watcher.Clear();
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    EXPECT_FALSE(stack_->VolumeLocked(kBoot)) << "held while the box waits";
    EXPECT_EQ(stack_->OpenHandles(), 0);
    ts::BoxWatcher::Press(watcher.Boxes()[0].window, IDOK);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    EXPECT_EQ(Seen(watcher), Boxes{kCantWriteFile});
    watcher.SetDefaultAnswer(IDOK);

    // Volumes that can't be told can't be locked either: the same question, at once.
    stack_->AddFault({"FindFirstVolumeW", 0, L"", ERROR_ACCESS_DENIED});
    watcher.Clear();
    watcher.Answer(IDNO);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReadQuestion, kNotCreated}));
    EXPECT_EQ(FileSize(created), -1);
}

TEST_F(VolumeJobTest, ImageOnAVolumeOfTheTargetIsRefusedInBothJobs)
{
    MakeTarget();
    sim::Volume data = VolumeOn(kTarget, kData, 16 * 4096, 20 * 4096);
    data.mountPoint = MountFolder(L"target-volume");
    stack_->AddVolume(data);
    const std::wstring inside = Scratch(data.mountPoint + L"image.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(inside, content_));
    stack_->Watch(inside);
    SetFileName(inside);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{kOnDisk, kNotWritten});
    ASSERT_TRUE(DeleteFileW(inside.c_str()));
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kOnDisk, kNotCreated}));
    EXPECT_EQ(FileSize(inside), -1);
    EXPECT_EQ(sim::CountCalls(DiskCalls(), "ReadFile"), 0);
    EXPECT_EQ(sim::CountCalls(CallsOn(inside), "CreateFileW"), 0);

    // Where the file's volume can't tell its place, it might be the target's: refused too.
    stack_->RemoveVolume(kData);
    data.guid = L"{da000000-0000-4000-8000-0000000000e1}";
    data.extentsError = ERROR_IO_DEVICE;
    stack_->AddVolume(data);
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kPlaceUnknown, kNotCreated}));
    EXPECT_EQ(FileSize(inside), -1);

    // A junction in the path leads onto the target's volume: the opened file (or, for a
    // file still to be created, its folder) carries that volume's serial number.
    stack_->RemoveVolume(data.guid);
    data = VolumeOn(kTarget, L"{da000000-0000-4000-8000-0000000000e2}", 16 * 4096, 20 * 4096);
    data.serial = 0x7A12C0DE;
    const std::wstring linkedFolder = MountFolder(L"linked");
    data.linkedPaths.push_back(linkedFolder.substr(0, linkedFolder.size() - 1));
    stack_->AddVolume(data);
    const std::wstring linked = Scratch(linkedFolder + L"image.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(linked, content_));
    stack_->Watch(linked);
    stack_->Watch(linkedFolder);
    SetFileName(linked);
    watcher.Clear();
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{kOnDisk, kNotWritten});
    ASSERT_TRUE(DeleteFileW(linked.c_str()));
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kOnDisk, kNotCreated}));
    EXPECT_EQ(FileSize(linked), -1);
    EXPECT_EQ(sim::CountCalls(DiskCalls(), "ReadFile"), 0);
    // The same folder on a volume of another disk takes the image.
    stack_->RemoveVolume(data.guid);
    data.guid = L"{da000000-0000-4000-8000-0000000000e3}";
    data.extents = {{3, 0, 1 << 20}};
    stack_->AddVolume(data);
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    EXPECT_TRUE(Contents(linked) == before_);
}

// Names that are no image files are refused before anything is opened, with the
// box of a file that can't be opened: device names (the volume S: of another
// disk, NUL and COM1 as a file name, the drive itself); then a folder, a link in
// the created file's place, and a file that can't tell what it is.
TEST_F(VolumeJobTest, DevicesFoldersAndLinksAreNoImageFiles)
{
    const Bytes other = AddDisk(3, 4096, 2LL * 2 * 18 * 4096 + 4 * 4096, 52);
    sim::Volume letter = VolumeOn(3, kOther, 4096, 8 * 4096);
    letter.mountPoint = L"S:\\";
    stack_->AddVolume(letter);
    MakeTarget();
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(IDYES);
    for (const std::wstring& name : {std::wstring(L"\\\\.\\S:"), sim::VolumePath(kOther), sim::DiskPath(kTarget),
                                     std::wstring(L"NUL"), std::wstring(L"C:\\nul.hdd"), std::wstring(L"COM1")}) {
        watcher.Clear();
        SetFileName(name);
        RunJob(JobKind::Create);
        RunJob(JobKind::Restore);
        ExpectRefused(watcher, Boxes{kCantWriteFile, kCantOpenFile});
        EXPECT_EQ(sim::CountCalls(stack_->Calls(), "WriteFile"), 0) << ts::Narrow(name);
    }
    EXPECT_TRUE(Contents(BackingFile(3)) == other) << "the other disk changed";

    std::wstring folder = MountFolder(L"image-folder");
    folder.pop_back();
    const std::wstring link = Scratch(L"link.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(link, content_));
    stack_->MakeLink(link);
    for (const std::wstring& name : {folder, link}) {
        watcher.Clear();
        SetFileName(name);
        RunJob(JobKind::Create);
        EXPECT_EQ(Seen(watcher), Boxes{kCantWriteFile}) << ts::Narrow(name);
    }
    EXPECT_TRUE(Contents(link) == content_) << "written through the link";
    watcher.Clear();
    SetFileName(folder);
    RunJob(JobKind::Restore);
    stack_->Watch(image_);
    stack_->AddFault({"GetFileInformationByHandle", 0, image_, ERROR_INVALID_FUNCTION});
    SetFileName(image_);
    RunJob(JobKind::Restore);
    ExpectRefused(watcher, Boxes{kCantOpenFile, kCantOpenFile});
}

} // namespace
