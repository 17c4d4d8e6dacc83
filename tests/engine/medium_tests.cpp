// The right medium, through the simulated storage stack: a job refuses a drive
// behind whose path another medium now answers, before anything is read or
// written, and a restore's new layout does not stop the next job on the same selection.
#include "tests/engine/sim_fixture.h"

#include <cstring>

namespace {

using Boxes = std::vector<std::string>;
const std::string kCantOpenDisk =
    "Korvane:|Can't open selected physical disk,\nplease check the list of drives!|warning|OK";
const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";

const int64_t kSize = 20 * 2 * 18 * 512; // twenty cylinders of the fixture's geometry

// Sector 0 as an MBR disk with this signature.
void PutMbr(Bytes& data, DWORD signature)
{
    std::memset(data.data(), 0, 512);
    std::memcpy(&data[440], &signature, sizeof(signature));
    data[510] = 0x55;
    data[511] = 0xAA;
}

// Reads and writes on the disk, other than the identity and size queries.
int DataCalls(const std::vector<sim::CallRecord>& calls)
{
    return sim::CountCalls(calls, "ReadFile") + sim::CountCalls(calls, "WriteFile") +
           sim::CountCalls(calls, "SetFilePointerEx") + sim::CountCalls(calls, "SetFilePointer");
}

using MediumTest = SimJobTest;

TEST_F(MediumTest, AnotherMediumBehindThePathIsRefusedBeforeAnyByteMoves)
{
    const Bytes listed = AddDisk(2, 512, kSize, 41);
    const std::wstring restoreImage = Scratch(L"restore.hdd");
    const std::wstring createImage = Scratch(L"create.hdd");
    const Bytes image = ts::Pattern(static_cast<size_t>(kSize), 43);
    ASSERT_TRUE(ts::WriteWholeFile(restoreImage, image));
    const std::wstring otherFile = Scratch(L"other-medium.bin");
    const Bytes otherContent = ts::Pattern(static_cast<size_t>(kSize), 42);
    ASSERT_TRUE(ts::WriteWholeFile(otherFile, otherContent));

    // Each of the same size and model as the listed one (serial SIM2, raw).
    struct Swap {
        const char* what;
        const char* serial;
        sim::Layout layout;
    } swaps[] = {
        {"another serial", "SIM2-B", sim::Layout::Raw},
        {"no serial where there was one", "", sim::Layout::Raw},
        {"the same serial with a partition layout", "SIM2", sim::Layout::Mbr},
        // A card reader's serial is the reader's: only its count of medium changes tells.
        {"another raw card in the same reader", "SIM2", sim::Layout::Raw},
    };
    ts::BoxWatcher watcher;
    for (const Swap& swap : swaps) {
        SCOPED_TRACE(swap.what);
        sim::Disk other = DiskOf(2, 512, kSize);
        other.serial = swap.serial;
        other.layout = swap.layout;
        other.mbrSignature = 0x5EED0001;
        other.backingFile = otherFile;
        stack_->SwapMedium(2, other);
        stack_->ClearCalls();
        for (JobKind kind : {JobKind::Restore, JobKind::Create}) {
            SetFileName(kind == JobKind::Restore ? restoreImage : createImage);
            RunJob(kind);
        }
        EXPECT_EQ(Seen(watcher), Boxes(2, kCantOpenDisk));
        watcher.Clear();
        EXPECT_EQ(DataCalls(CallsOn(sim::DiskPath(2))), 0);
        EXPECT_TRUE(Contents(otherFile) == otherContent) << "the other medium was written";
        ExpectControls(true);
    }

    // The listed medium answering a query no longer is no proof of the same medium either.
    // (Put back in, it is another medium to the drive until the list is refreshed.)
    stack_->SwapMedium(2, DiskOf(2, 512, kSize));
    SelectDrive(sim::DiskPath(2), MakeGeometry(2, 18, 512, kSize));
    sim::Fault fault;
    fault.function = "DeviceIoControl";
    fault.code = IOCTL_STORAGE_QUERY_PROPERTY;
    fault.path = sim::DiskPath(2);
    fault.error = ERROR_INVALID_FUNCTION;
    fault.count = 2;
    stack_->AddFault(fault);
    stack_->ClearCalls();
    SetFileName(restoreImage);
    RunJob(JobKind::Restore);
    SetFileName(createImage);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes(2, kCantOpenDisk));
    EXPECT_EQ(DataCalls(CallsOn(sim::DiskPath(2))), 0);
    EXPECT_TRUE(Contents(drive_) == listed);
    EXPECT_TRUE(Contents(restoreImage) == image);
    EXPECT_EQ(FileSize(createImage), -1) << "an image was created from a refused drive";

    // The listed medium back, answering as before: the same medium, and the job goes ahead.
    watcher.Clear();
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    EXPECT_TRUE(Contents(createImage) == listed);

    // A card of other content swapped in the reader while the job reads: the verify
    // finds the difference, the job fails, the image it replaces stays as it was, and
    // the record keeps the listed card, so that the next job is refused too.
    sim::Disk otherCard = DiskOf(2, 512, kSize);
    otherCard.backingFile = otherFile;
    stack_->AddHook(
        {"ReadFile", 0, sim::DiskPath(2), 2, [&](const sim::CallRecord&) { stack_->SwapMedium(2, otherCard); }});
    watcher.Clear();
    const Bytes older = ts::Pattern(static_cast<size_t>(kSize), 77);
    ASSERT_TRUE(ts::WriteWholeFile(createImage, older));
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{"Write image file|The selected file exists,\nREPLACE ?|question|YesNo",
                                    "Error!|Verify error at byte 0 :\nthe image file doesn't hold what was "
                                    "written!|error|OK",
                                    "Error!|The medium of the selected physical disk was changed during the job,\n"
                                    "please check the list of drives!|error|OK",
                                    "Korvane:|The disk image wasn't created!|warning|OK", kCantOpenDisk}));
    EXPECT_TRUE(Contents(createImage) == older) << "an image read from another medium replaced the old one";
}

// Windows counts a medium change at every sleep and bus reset too: a count that moved during
// a job fails it only when the verify pass (run then even where it wasn't chosen) doesn't
// find the image on the drive; the record takes the new count, so the next job goes ahead.
TEST_F(MediumTest, ACountMovedWithoutASwapIsSettledByTheVerify)
{
    const Bytes listed = AddDisk(2, 512, kSize, 61);
    const std::wstring image = Scratch(L"sleep.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    for (bool verifyChosen : {true, false}) {
        SCOPED_TRACE(verifyChosen);
        state_->VerifyAfterWriting = verifyChosen;
        DeleteFileW(image.c_str());
        stack_->AddHook(
            {"ReadFile", 0, sim::DiskPath(2), 2, [&](const sim::CallRecord&) { stack_->AdvanceChangeCount(2); }});
        stack_->ClearCalls();
        RunJob(JobKind::Create);
        EXPECT_EQ(Seen(watcher), Boxes{kCreated});
        watcher.Clear();
        EXPECT_TRUE(Contents(image) == listed);
        // The drive was read once by the copy and once by the verify.
        int64_t read = 0;
        for (const sim::CallRecord& call : CallsOn(sim::DiskPath(2)))
            read += call.function == "ReadFile" ? call.done : 0;
        EXPECT_EQ(read, 2 * kSize);
    }
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), Boxes{kWritten});
}

TEST_F(MediumTest, RestoresOneAfterAnotherOnTheSameSelectionFollowTheNewLayout)
{
    sim::Disk disk = DiskOf(2, 512, kSize);
    disk.layout = sim::Layout::FromContent;
    Scratch(disk.backingFile);
    Bytes content = ts::Pattern(static_cast<size_t>(kSize), 51);
    PutMbr(content, 0xAAAA0001);
    ASSERT_TRUE(ts::WriteWholeFile(disk.backingFile, content));
    stack_->AddDisk(disk);
    drive_ = disk.backingFile;
    SelectDrive(sim::DiskPath(2), MakeGeometry(2, 18, 512, kSize));
    ASSERT_EQ(state_->DriveList[0].Identity.MbrSignature, 0xAAAA0001u);

    const std::wstring image = Scratch(L"layout.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    unsigned seed = 52;
    for (DWORD signature : {0xBBBB0002u, 0xCCCC0003u}) {
        Bytes written = ts::Pattern(static_cast<size_t>(kSize), seed++);
        PutMbr(written, signature);
        ASSERT_TRUE(WriteImage(image, written));
        RunJob(JobKind::Restore);
        EXPECT_TRUE(Contents(drive_) == written);
        EXPECT_EQ(state_->DriveList[0].Identity.MbrSignature, signature);
    }
    // A raw image leaves a medium without a layout: still the same selection.
    const Bytes raw(static_cast<size_t>(kSize), 0);
    ASSERT_TRUE(WriteImage(image, raw));
    RunJob(JobKind::Restore);
    EXPECT_EQ(state_->DriveList[0].Identity.PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_RAW));
    ASSERT_TRUE(DeleteFileW(image.c_str()));
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kWritten, kWritten, kWritten, kCreated}));
    EXPECT_TRUE(Contents(image) == raw);
}

} // namespace
