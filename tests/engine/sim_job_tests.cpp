// Create and restore through the simulated storage stack: a raw disk that
// insists on whole sectors, with 512- and 4096-byte sectors, and the stack's own rules.
#include "tests/engine/sim_fixture.h"

#include "image/checksum_file.h"
#include "engine/transfer.h"
#include "tests/support/import_patch.h"

namespace {

using Boxes = std::vector<std::string>;
const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";

class SectorSizes : public SimJobTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(SectorSizes, CreateAndRestoreMoveEveryByteInWholeSectors)
{
    const DWORD sector = GetParam();
    // Ten cylinders and three sectors: the last chunk is trimmed to the sectors left.
    const int64_t size = 10LL * 2 * 18 * sector + 3 * sector;
    const Bytes disk = AddDisk(3, sector, size, 21);
    const std::wstring image = Scratch(L"sim.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    EXPECT_TRUE(Contents(image) == disk) << "the image differs from the disk";
    const Bytes other = ts::Pattern(static_cast<size_t>(size), 22);
    ASSERT_TRUE(WriteImage(image, other));
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kWritten}));
    EXPECT_TRUE(Contents(drive_) == other) << "the disk differs from the image";

    // Every transfer on the disk was whole sectors, and the stack saw all of them.
    const std::vector<sim::CallRecord> calls = CallsOn(sim::DiskPath(3));
    EXPECT_EQ(sim::CountCalls(calls, "WriteFile"), 11);
    int64_t read = 0, written = 0;
    for (const sim::CallRecord& call : calls) {
        if (call.function == "ReadFile" || call.function == "WriteFile") {
            EXPECT_TRUE(call.ok) << call.function << " at " << call.offset << " error " << call.error;
            EXPECT_EQ(call.length % sector, 0u);
            EXPECT_EQ(call.offset % sector, 0);
            (call.function == "ReadFile" ? read : written) += call.done;
        }
    }
    // The create read it, and each verify pass read it again.
    EXPECT_EQ(read, 3 * size);
    EXPECT_EQ(written, size);
    EXPECT_EQ(stack_->BytesWritten(3), size);
    // The restore wrote its first chunk last, after all the others in order.
    std::vector<int64_t> offsets;
    for (const sim::CallRecord& call : calls)
        if (call.function == "WriteFile")
            offsets.push_back(call.offset);
    const int64_t chunk = 2 * 18 * sector;
    for (size_t k = 0; k + 1 < offsets.size(); ++k)
        EXPECT_EQ(offsets[k], static_cast<int64_t>(k + 1) * chunk);
    EXPECT_EQ(offsets.back(), 0);

    // A write fails after the first chunk: the drive keeps its old partition table, and
    // nothing is written after the failed write, though the drive would take it.
    sim::Fault cut;
    cut.function = "WriteFile";
    cut.path = sim::DiskPath(3);
    cut.skip = 1;
    cut.count = 1;
    stack_->AddFault(cut);
    ASSERT_TRUE(ts::WriteWholeFile(image, disk));
    watcher.Clear();
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Write disk error|error|OK", "Korvane:|The disk image wasn't written!|warning|OK"}));
    const Bytes after = Contents(drive_);
    EXPECT_TRUE(Bytes(after.begin(), after.begin() + chunk) == Bytes(other.begin(), other.begin() + chunk));
    EXPECT_TRUE(Bytes(after.begin() + chunk, after.begin() + 2 * chunk) ==
                Bytes(disk.begin() + chunk, disk.begin() + 2 * chunk));
    EXPECT_TRUE(Bytes(after.begin() + 2 * chunk, after.end()) == Bytes(other.begin() + 2 * chunk, other.end()))
        << "written after the failed write";
    EXPECT_EQ(Status(), std::wstring(L"Bytes written: ") + (sector == 512 ? L"18 432 " : L"147 456 "));

    // A create flushes its image file on the way, a chunk a stretch here, and while a flush
    // takes its time the job writes at most two stretches ahead of it.
    const std::wstring ahead = Scratch(L"ahead.hdd"), partial = Scratch(L"ahead.hdd.partial");
    stack_->Watch(partial);
    state_->WriteBehindBytes = chunk;
    int aheadWrites = -1;
    stack_->AddHook({"FlushFileBuffers", 0, partial, 1, [&](const sim::CallRecord&) {
                         // The chunk that asked for it and two more, then the job waits.
                         for (int waited = 0; waited < 5000; waited += 5) {
                             if (sim::CountCalls(CallsOn(partial), "WriteFile") >= 3)
                                 break;
                             Sleep(5);
                         }
                         Sleep(200);
                         aheadWrites = sim::CountCalls(CallsOn(partial), "WriteFile");
                     }});
    SetFileName(ahead);
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    EXPECT_EQ(aheadWrites, 3) << "chunks written while the first stretch was flushed";
    EXPECT_TRUE(Contents(ahead) == Contents(drive_)) << "the image differs from the disk";
}

INSTANTIATE_TEST_SUITE_P(Sim, SectorSizes, ::testing::Values(512u, 4096u));

// Only the partitions when asked: the image ends with the MBR's last partition and nothing
// past it is read; a drive without a partition table is imaged whole, and the outcome says why.
TEST_F(SimJobTest, PartitionsOnlyCreateReadsAsFarAsTheLastPartition)
{
    const int64_t size = 4 << 20, end = 2 << 20;
    Bytes disk = ts::Pattern(static_cast<size_t>(size), 31);
    std::fill(disk.begin() + 446, disk.begin() + 510, 0);
    disk[446 + 4] = 0x0C, disk[446 + 9] = 0x08, disk[446 + 13] = 0x08; // sectors 2048 to 4095
    disk[510] = 0x55, disk[511] = 0xAA;
    // Its last chunks zeros: a sparse image skips them and must still end where the partition does.
    std::fill(disk.begin() + end - 40000, disk.begin() + end, 0);
    const auto addDisk = [&](DWORD number) {
        const sim::Disk added = DiskOf(number, 512, size);
        drive_ = Scratch(added.backingFile);
        ASSERT_TRUE(ts::WriteWholeFile(drive_, disk));
        stack_->AddDisk(added);
        SelectDrive(sim::DiskPath(number), MakeGeometry(2, 18, 512, size));
    };
    addDisk(3);
    const std::wstring image = Scratch(L"parts.hdd");
    SetFileName(image);
    state_->PartitionsOnly = true;
    ts::BoxWatcher watcher;
    {
        ts::SparseFilesClaim claim;
        ASSERT_TRUE(claim.Active());
        RunJob(JobKind::Create);
    }
    const std::string created = "Korvane:|The disk image was successfully created!\n";
    EXPECT_EQ(Seen(watcher), (Boxes{created + "It holds the partitions: 2 097 152 of 4 194 304 Bytes.|information|OK"}));
    EXPECT_TRUE(Contents(image) == Bytes(disk.begin(), disk.begin() + end));
    EXPECT_EQ(Status(), L"Bytes read: 2 097 152 ");
    for (const sim::CallRecord& call : CallsOn(sim::DiskPath(3)))
        if (call.function == "ReadFile")
            EXPECT_LE(call.offset + static_cast<int64_t>(call.length), end) << call.offset;

    disk[510] = 0;
    addDisk(4);
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    state_->PartitionsOnly = false;
    EXPECT_EQ(Seen(watcher), (Boxes{"Write image file|The selected file exists,\nREPLACE ?|question|YesNo",
                                    created + "It holds the whole disk: it has no partition table.|information|OK"}));
    EXPECT_TRUE(Contents(image) == disk);
}

// A drive larger than the room on the image's volume: the old image goes first, but only on Yes.
TEST_F(SimJobTest, NoRoomBesideTheOldImageIsAskedBeforeItIsDeleted)
{
    sim::Disk large = DiskOf(4, 512, 1LL << 50);
    large.wrapAt = 2 * 18 * 512;
    Scratch(large.backingFile);
    ASSERT_TRUE(ts::WriteWholeFile(large.backingFile, ts::Pattern(static_cast<size_t>(large.wrapAt), 23)));
    stack_->AddDisk(large);
    SelectDrive(sim::DiskPath(4), MakeGeometry(2, 18, 512, large.size));
    const std::wstring image = Scratch(L"large.hdd"), sum = Scratch(L"large.hdd.sha256");
    const Bytes old = ts::Pattern(1000, 24);
    ASSERT_TRUE(WriteImage(image, old) && ts::WriteWholeFile(sum, Bytes(10, 'x')));
    SetFileName(image);
    const std::string replace = "Write image file|The selected file exists,\nREPLACE ?|question|YesNo";
    const std::string noRoom = "Write image file|There is no room for the new image beside the old one:\nthe old "
                               "image is deleted first.\n\nREPLACE ?|warning|YesNo";
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    ts::BoxWatcher::Press(watcher.Boxes()[0].window, IDYES);
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 2; }));
    const HWND question = watcher.Boxes()[1].window;
    EXPECT_EQ(GetWindowLongW(GetDlgItem(question, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question, IDNO);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    const std::string cantWrite =
        "Korvane:|Can't open selected file for write,\nplease check the filename or file properties!|warning|OK";
    EXPECT_EQ(Seen(watcher), (Boxes{replace, noRoom, cantWrite}));
    EXPECT_TRUE(Contents(image) == old);
    EXPECT_EQ(sim::CountCalls(CallsOn(sim::DiskPath(4)), "ReadFile"), 0);

    // Yes: the old image and its checksum file are deleted before the copy (cancelled here).
    watcher.Clear();
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    // After the first chunk (the bar's first step is its reset).
    int steps = 0;
    onPosition_ = [&](int) {
        if (++steps == 2)
            RequestCancel();
    };
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{replace, noRoom, "Warning|Cancel read image?|question|YesNo",
                                    "Korvane:|The disk image wasn't created!|warning|OK"}));
    EXPECT_EQ(FileSize(image), -1);
    EXPECT_EQ(FileSize(sum), -1);
    EXPECT_TRUE(Leftovers().empty());
}

// The finish of a create: every file it replaces or deletes is checked before the drive
// is read, a move refused for a moment is tried again, and a complete image is never lost.
TEST_F(SimJobTest, TheFinishLeavesTheOldSetOrTheNewSetAndNeverLosesTheImage)
{
    const Bytes disk = AddDisk(3, 512, 4 * 2 * 18 * 512, 31);
    const std::wstring image = Scratch(L"finish.hdd"), sum = image + L".sha256";
    for (const wchar_t* suffix : {L".map", L".sha256.partial", L".partial"})
        Scratch(image + suffix);
    const Bytes oldImage = ts::Pattern(1000, 32), oldSum(70, 'e'), held(5, 'h');
    ASSERT_TRUE(ts::WriteWholeFile(image, oldImage) && ts::WriteWholeFile(sum, oldSum));
    const auto expectOld = [&] {
        EXPECT_TRUE(Contents(image) == oldImage);
        EXPECT_TRUE(Contents(sum) == oldSum);
    };
    const std::string replace = "Write image file|The selected file exists,\nREPLACE ?|question|YesNo";
    SetFileName(image);
    ts::BoxWatcher watcher;

    // A read-only file among them: refused before the drive is read.
    for (const wchar_t* suffix : {L".sha256", L".map", L".sha256.partial"}) {
        const std::wstring file = image + suffix;
        if (file != sum)
            ASSERT_TRUE(ts::WriteWholeFile(file, held));
        ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
        stack_->ClearCalls();
        watcher.Answer(IDYES);
        RunJob(JobKind::Create);
        EXPECT_EQ(Seen(watcher), (Boxes{replace, "Korvane:|Can't open selected file for write,\nplease check the "
                                                 "filename or file properties!|warning|OK"}))
            << ts::Narrow(suffix);
        watcher.Clear();
        EXPECT_EQ(sim::CountCalls(CallsOn(sim::DiskPath(3)), "ReadFile"), 0);
        ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
        expectOld();
        if (file != sum) {
            EXPECT_TRUE(Contents(file) == held);
            DeleteFileW(file.c_str());
        }
    }

    // The image's move refused three times, as a scanner holding the file just closed does: tried again.
    sim::Fault busy;
    busy.function = "MoveFileExW";
    busy.path = image + L".partial";
    busy.error = ERROR_SHARING_VIOLATION;
    busy.count = 3;
    stack_->AddFault(busy);
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{replace, kCreated}));
    EXPECT_TRUE(Contents(image) == disk);
    const Bytes written = Contents(sum);
    EXPECT_EQ(std::string(written.begin(), written.begin() + 64), digests_.back());
    EXPECT_EQ(FileSize(sum + L".old"), -1);
    EXPECT_TRUE(Leftovers().empty());

    // Refused for good: the old set stays, and the new image stays under its temporary name, told.
    ASSERT_TRUE(ts::WriteWholeFile(image, oldImage) && ts::WriteWholeFile(sum, oldSum));
    busy.count = -1;
    stack_->AddFault(busy);
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{replace,
                                    "Error!|Can't give the new image its name!\nIt is kept as\n" + ts::Narrow(image) +
                                        ".partial|error|OK",
                                    "Korvane:|The disk image wasn't created!|warning|OK"}));
    expectOld();
    EXPECT_TRUE(Contents(image + L".partial") == disk);
    EXPECT_EQ(FileSize(sum + L".partial"), -1);

    // A name as long as the edit takes: its checksum file's name is longer than MAX_PATH.
    const std::wstring folder = ts::TempPath(std::wstring(100, L'f'));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    const std::wstring longImage = folder + L"\\" + std::wstring(MAX_PATH - 7 - folder.size(), L'n') + L".hdd";
    ASSERT_EQ(longImage.size(), static_cast<size_t>(MAX_PATH - 2));
    const std::wstring longSum = L"\\\\?\\" + longImage + L".sha256";
    Scratch(L"\\\\?\\" + longImage);
    SetFileName(longImage);
    watcher.Clear();
    RunJob(JobKind::Create);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kWritten}));
    EXPECT_TRUE(Contents(longImage) == disk);
    EXPECT_EQ(FileSize(longSum), 64 + 2 + static_cast<int64_t>(FileNamePart(longImage).size()) + 1);
    DeleteFileW(longSum.c_str());
    DeleteFileW(longImage.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The stack's rules, asked directly as the program would.
using SimStackTest = SimJobTest;

TEST_F(SimStackTest, RawDiskRulesAndAnswers)
{
    AddDisk(2, 4096, 64 * 4096, 30);
    HANDLE disk = CreateFileW(L"\\\\.\\PHYSICALDRIVE2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    // Opened exclusively: a second open is a sharing violation; an unknown number is not there.
    EXPECT_EQ(CreateFileW(L"\\\\.\\PhysicalDrive2", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(CreateFileW(L"\\\\.\\PhysicalDrive7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, 3 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(disk, buffer, 512, &got, nullptr)); // a part of a sector
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadFile(disk, buffer + 512, 4096, &got, nullptr)); // a buffer off the sector boundary
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetFilePointer(disk, 1024, nullptr, FILE_BEGIN), 1024u);
    EXPECT_FALSE(ReadFile(disk, buffer, 4096, &got, nullptr)); // a position off the boundary
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    LARGE_INTEGER to = {};
    to.QuadPart = 63 * 4096;
    ASSERT_TRUE(SetFilePointerEx(disk, to, nullptr, FILE_BEGIN));
    EXPECT_TRUE(ReadFile(disk, buffer, 2 * 4096, &got, nullptr)); // across the end: the part before it
    EXPECT_EQ(got, 4096u);
    EXPECT_TRUE(ReadFile(disk, buffer, 4096, &got, nullptr));
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(SetFilePointerEx(disk, to, nullptr, FILE_BEGIN));
    EXPECT_FALSE(WriteFile(disk, buffer, 2 * 4096, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SECTOR_NOT_FOUND));

    // A mounted volume's extent can't be written until the volume is locked and dismounted.
    stack_->AddVolume(VolumeOn(2, L"{11111111-0000-0000-0000-000000000002}", 8 * 4096, 16 * 4096));
    to.QuadPart = 8 * 4096;
    ASSERT_TRUE(SetFilePointerEx(disk, to, nullptr, FILE_BEGIN));
    EXPECT_FALSE(WriteFile(disk, buffer, 4096, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE volume = CreateFileW(L"\\\\?\\Volume{11111111-0000-0000-0000-000000000002}", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(WriteFile(disk, buffer, 4096, &got, nullptr)); // locked, still mounted
    ASSERT_TRUE(DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(stack_->VolumeMounted(L"{11111111-0000-0000-0000-000000000002}"));
    EXPECT_TRUE(WriteFile(disk, buffer, 4096, &got, nullptr));
    CloseHandle(volume); // unlocks: mounted again
    EXPECT_TRUE(stack_->VolumeMounted(L"{11111111-0000-0000-0000-000000000002}"));
    EXPECT_FALSE(WriteFile(disk, buffer, 4096, &got, nullptr));

    // The medium's identity: serial number, bus type and a layout read from the content.
    Bytes mbr(4096, 0);
    mbr[440] = 0x78, mbr[441] = 0x56, mbr[442] = 0x34, mbr[443] = 0x12, mbr[510] = 0x55, mbr[511] = 0xAA;
    mbr[446 + 4] = 0x0C, mbr[446 + 8] = 1, mbr[446 + 12] = 8;
    memcpy(buffer, mbr.data(), 4096);
    ASSERT_TRUE(SetFilePointerEx(disk, LARGE_INTEGER(), nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(disk, buffer, 4096, &got, nullptr));
    CloseHandle(disk);
    sim::Disk described = DiskOf(2, 4096, 64 * 4096);
    described.layout = sim::Layout::FromContent;
    stack_->SwapMedium(2, described);
    disk = CreateFileW(L"\\\\.\\PhysicalDrive2", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::vector<LONGLONG> block(512, 0);
    ASSERT_TRUE(
        DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, block.data(), 4096, &returned, nullptr));
    const DRIVE_LAYOUT_INFORMATION_EX* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(block.data());
    EXPECT_EQ(layout->PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_MBR));
    EXPECT_EQ(layout->Mbr.Signature, 0x12345678u);
    EXPECT_EQ(layout->PartitionEntry[0].StartingOffset.QuadPart, 4096);
    EXPECT_EQ(layout->PartitionEntry[0].PartitionLength.QuadPart, 8 * 4096);
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), block.data(), 4096,
                                &returned, nullptr));
    const STORAGE_DEVICE_DESCRIPTOR* descriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(block.data());
    ASSERT_NE(descriptor->SerialNumberOffset, 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(block.data()) + descriptor->SerialNumberOffset, "SIM2");
    EXPECT_EQ(descriptor->BusType, BusTypeUsb);
    stack_->RemoveDisk(2);
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, block.data(), 4096, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(disk);
    VirtualFree(buffer, 0, MEM_RELEASE);
}

TEST_F(SimStackTest, CounterfeitMediumWrapsAndDroppedWritesVanish)
{
    // Claims 64 sectors, holds 16: sector 16 is sector 0 again.
    sim::Disk fake = DiskOf(4, 512, 64 * 512);
    fake.wrapAt = 16 * 512;
    fake.dropFrom = 52 * 512;
    fake.dropTo = 53 * 512;
    Scratch(fake.backingFile);
    ASSERT_TRUE(ts::WriteWholeFile(fake.backingFile, Bytes(16 * 512, 0)));
    stack_->AddDisk(fake);
    HANDLE disk = CreateFileW(sim::DiskPath(4).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, 64 * 512, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    const Bytes pattern = ts::Pattern(64 * 512, 31);
    memcpy(buffer, pattern.data(), pattern.size());
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(disk, buffer, 64 * 512, &done, nullptr));
    ASSERT_TRUE(SetFilePointerEx(disk, LARGE_INTEGER(), nullptr, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(disk, buffer, 64 * 512, &done, nullptr));
    // What survives is the last lap, read back in every lap; where its write was dropped, the lap before.
    for (int sector = 0; sector < 64; ++sector) {
        const int home = sector % 16;
        const int from = home == 4 ? 36 + home - 4 : 48 + home;
        const Bytes expected(pattern.begin() + from * 512, pattern.begin() + (from + 1) * 512);
        EXPECT_TRUE(Bytes(buffer + sector * 512, buffer + (sector + 1) * 512) == expected) << "sector " << sector;
    }
    CloseHandle(disk);
    VirtualFree(buffer, 0, MEM_RELEASE);
}

} // namespace
