// The verify pass after a transfer, on file-backed drives: faults are made by
// changing the medium behind the job's back right after its last chunk.
#include "tests/engine/engine_fixture.h"

#include <algorithm>
#include <cstring>

#include "engine/chunk_sizing.h"
#include "engine/verify.h"
#include "resource.h"

namespace {

using Boxes = std::vector<std::string>;
const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kNotCreated = "Korvane:|The disk image wasn't created!|warning|OK";
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";
const std::string kNotWritten = "Korvane:|The disk image wasn't written!|warning|OK";
const std::string kQuestion = "Warning|Cancel verify?|question|YesNo";

const int64_t kFloppySize = 1474560;
const size_t kSize = static_cast<size_t>(kFloppySize);
const DISK_GEOMETRY_EX kFloppy = MakeGeometry(2, 18, 512, kFloppySize); // a chunk of 18 432 bytes
const int kChunk = 18432;

std::string DriveDiffers(const char* offset)
{
    return std::string("Error!|Verify error at byte ") + offset +
           " :\nthe physical drive doesn't hold what was written!|error|OK";
}

// One pass of the bar over the floppy: the reset, then one position per chunk.
std::vector<int> BarPass()
{
    std::vector<int> positions{0};
    for (int k = 1; k <= 80; ++k)
        positions.push_back(9216 * k);
    return positions;
}

class VerifyTest : public EngineTest {
  protected:
    // A file holding `data`, named in the dialog's edit.
    std::wstring Image(const std::wstring& name, const Bytes& data)
    {
        const std::wstring path = Scratch(name);
        EXPECT_TRUE(ts::WriteWholeFile(path, data));
        SetFileName(path);
        return path;
    }
    // The status text at every bar position.
    void RecordStatus()
    {
        onPosition_ = [this](int) { statuses_.push_back(Status()); };
    }
    std::vector<std::wstring> statuses_;
};

TEST_F(VerifyTest, CleanRoundTripVerifiesBothWaysWithTheBarRunAgain)
{
    const Bytes disk = MakeDrive(kFloppy, 21);
    const std::wstring image = Scratch(L"verified.hdd");
    SetFileName(image);
    const std::vector<int> pass = BarPass();
    std::vector<int> twice = pass;
    twice.insert(twice.end(), pass.begin(), pass.end());
    ts::BoxWatcher watcher;
    for (JobKind kind : {JobKind::Create, JobKind::Restore}) {
        const bool create = kind == JobKind::Create;
        SCOPED_TRACE(create ? "create" : "restore");
        if (!create)
            ASSERT_TRUE(WriteImage(image, ts::Pattern(kSize, 22)));
        statuses_.clear();
        RecordStatus();
        RunJob(kind);
        EXPECT_EQ(positions_, twice);
        ASSERT_EQ(statuses_.size(), 162u);
        EXPECT_EQ(statuses_[80], create ? L"Creating image from physical drive" : L"Restoring image on physical drive");
        EXPECT_EQ(statuses_[81], create ? L"Verifying image file" : L"Verifying physical drive");
        EXPECT_EQ(statuses_[161], statuses_[81]);
        EXPECT_EQ(Status(), create ? L"Bytes read: 1 474 560 " : L"Bytes written: 1 474 560 ");
        EXPECT_TRUE(Contents(create ? image : drive_) == (create ? disk : ts::Pattern(kSize, 22)));
    }
    EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kWritten}));
    // The handle opened for the pass was closed too: the drive opens exclusively.
    HANDLE h = CreateFileW(drive_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    ExpectControls(true);
}

TEST_F(VerifyTest, CardThatWrapsAtHalfItsSizeFailsAtTheFirstByteItLost)
{
    MakeDrive(kFloppy, 23);
    const size_t half = kSize / 2;
    Bytes image = ts::Pattern(kSize, 24);
    // The halves start alike: the wrap shows only from byte 5 000 on.
    std::copy(image.begin(), image.begin() + 5000, image.begin() + half);
    image[half + 5000] = static_cast<unsigned char>(image[5000] ^ 0x40);
    Image(L"wrap.hdd", image);
    // Writes past half the card's size landed on its start again; every read is taken modulo that half.
    AfterTransfer([&] { WriteThrough(state_->DiskHandle, 0, Bytes(image.begin() + half, image.end())); });
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{DriveDiffers("5 000"), kNotWritten}));
    EXPECT_EQ(Status(), L"Bytes verified: 5 000 ");
    EXPECT_EQ(positions_.back(), 0) << "the pass stopped in its first chunk";
    ExpectControls(true);
}

TEST_F(VerifyTest, DroppedWriteAndFlippedBitAreFoundWhereTheyAre)
{
    const Bytes before = MakeDrive(kFloppy, 25);
    Bytes image = ts::Pattern(kSize, 26);
    // The dropped chunk (the 41st) happens to start with the bytes the drive held before.
    const size_t dropped = 40 * kChunk;
    std::copy(before.begin() + dropped, before.begin() + dropped + 100, image.begin() + dropped);
    image[dropped + 100] = static_cast<unsigned char>(before[dropped + 100] ^ 1);
    Image(L"dropped.hdd", image);
    AfterTransfer([&] {
        WriteThrough(state_->DiskHandle, dropped, Bytes(before.begin() + dropped, before.begin() + dropped + kChunk));
    });
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{DriveDiffers("737 380"), kNotWritten}));
    EXPECT_EQ(Status(), L"Bytes verified: 737 380 ");

    // A create whose image file lost one bit in its last sector: nothing is left under the chosen name.
    watcher.Clear();
    const Bytes disk = Contents(drive_);
    const std::wstring flipped = Scratch(L"flipped.hdd");
    SetFileName(flipped);
    AfterTransfer([&] {
        WriteThrough(state_->ImageHandle, kFloppySize - 100, Bytes{static_cast<unsigned char>(disk[kSize - 100] ^ 8)});
    });
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Verify error at byte 1 474 460 :\nthe image file doesn't hold what was "
                                    "written!|error|OK",
                                    kNotCreated}));
    EXPECT_EQ(Status(), L"Bytes verified: 1 474 460 ");
    EXPECT_EQ(FileSize(flipped), -1);
    EXPECT_TRUE(Leftovers().empty());
    ExpectControls(true);
}

TEST_F(VerifyTest, ChunkOfAnOddNumberOfSectorsIsComparedInUnequalPartsToTheLastByte)
{
    // A cylinder of 3 x 7 sectors, as those of 255 x 63: its parts are 10 and 11 sectors;
    // the drive ends 2 sectors into its eighth cylinder.
    const int64_t chunk = 21 * 512, size = 7 * chunk + 1024;
    const Bytes disk = MakeDrive(MakeGeometry(3, 7, 512, size), 30);
    const std::wstring image = Scratch(L"odd.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    std::vector<int> pass{0};
    for (int64_t k = 1; k <= 7; ++k)
        pass.push_back(static_cast<int>(k * chunk / 2));
    pass.push_back(static_cast<int>(size / 2));
    ASSERT_EQ(positions_.size(), 2 * pass.size());
    EXPECT_TRUE(std::equal(pass.begin(), pass.end(), positions_.begin() + static_cast<long>(pass.size())));

    // Differences on both sides of the parts' border, and in the last, short piece.
    const int64_t at[] = {3 * chunk + 10 * 512 - 1, 3 * chunk + 10 * 512, size - 1};
    const char* named[] = {"37 375", "37 376", "76 287"};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(named[k]);
        watcher.Clear();
        AfterTransfer([&] {
            const size_t i = static_cast<size_t>(at[k]);
            WriteThrough(state_->DiskHandle, at[k], Bytes{static_cast<unsigned char>(disk[i] ^ 0x80)});
        });
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), (Boxes{DriveDiffers(named[k]), kNotWritten}));
        EXPECT_EQ(Status(), L"Bytes verified: " + std::wstring(named[k], named[k] + strlen(named[k])) + L" ");
    }
}

TEST_F(VerifyTest, MediumEndingEarlyIsAReadErrorOfItsSide)
{
    // Many counterfeit cards fail reads past their real size instead of wrapping: the
    // drive's file ends 100 bytes into its fourth cylinder while it claims ten. The
    // pass runs on handles opened as a job leaves them, since a job would refuse the drive.
    const Bytes data = ts::Pattern(10 * kChunk, 27);
    const Bytes shortData(data.begin(), data.begin() + 3 * kChunk + 100);
    const std::wstring image = Image(L"ends.hdd", data);
    MakeDrive(MakeGeometry(2, 18, 512, 10 * kChunk), 0, 0);
    ASSERT_TRUE(ts::WriteWholeFile(drive_, shortData));
    lstrcpynW(ImageFileName, image.c_str(), MAX_PATH);
    struct Case {
        JobKind kind;
        const char* error;
    } cases[] = {{JobKind::Restore, "Error!|Read disk error|error|OK"},
                 {JobKind::Create, "Error!|Read file error|error|OK"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        if (c.kind == JobKind::Create) { // now the image file is the one that ends early
            ASSERT_TRUE(ts::WriteWholeFile(drive_, data));
            ASSERT_TRUE(WriteImage(image, shortData));
        }
        ASSERT_TRUE(ComputeChunkSize(*state_));
        const DWORD diskAccess = c.kind == JobKind::Restore ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        state_->DiskHandle =
            CreateFileW(drive_.c_str(), diskAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        const DWORD fileAccess = c.kind == JobKind::Create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        state_->ImageHandle = CreateFileW(image.c_str(), fileAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        positions_.clear();
        ts::BoxWatcher watcher;
        VerifyResult result = VerifyResult::Equal;
        ASSERT_TRUE(ts::RunWhilePumping([&] { result = VerifyTransfer(c.kind); }));
        CloseImageFile();
        CloseDisk();
        EXPECT_EQ(result, VerifyResult::Failed);
        EXPECT_EQ(Seen(watcher), Boxes{c.error});
        EXPECT_EQ(Status(), L"Bytes verified: 55 296 ");
        EXPECT_EQ(positions_, (std::vector<int>{0, 9216, 18432, 27648}));
    }
}

TEST_F(VerifyTest, CancelDuringVerifyAsksItsOwnQuestionDefaultingToNo)
{
    const Bytes disk = MakeDrive(kFloppy, 28);
    const Bytes image = ts::Pattern(kSize, 29);
    Image(L"cancel.hdd", image);
    int seen = 0;
    // The second time the bar shows three chunks is in the pass.
    onPosition_ = [&](int position) {
        if (position == 3 * 9216 && ++seen == 2)
            RequestCancel();
    };
    ts::BoxWatcher watcher;
    watcher.Answer(IDNO);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, kWritten}));
    EXPECT_EQ(Status(), L"Bytes written: 1 474 560 ");

    // Confirmed: the data arrived, but nothing says it holds.
    watcher.Clear();
    seen = 0;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Restore));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    const HWND question = watcher.Boxes()[0].window;
    EXPECT_EQ(GetWindowLongW(GetDlgItem(question, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question, IDYES);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, "Korvane:|The disk image was written,\nbut not verified!|warning|OK"}));
    EXPECT_EQ(Status(), L"Bytes verified: 55 296 ");
    EXPECT_TRUE(Contents(drive_) == image);

    watcher.Clear();
    seen = 0;
    SetFileName(Scratch(L"cancel-create.hdd"));
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, "Korvane:|The disk image was created,\nbut not verified!|warning|OK"}));
    ExpectControls(true);
}

TEST_F(VerifyTest, OffTheJobIsTodaysAndTheChoiceHoldsFromTheJobsStart)
{
    const Bytes before = MakeDrive(kFloppy, 30);
    const Bytes image = ts::Pattern(kSize, 31);
    Image(L"off.hdd", image);
    // Off: a dropped write goes unnoticed, exactly as without the pass; turning
    // it on meanwhile does not change the running job.
    state_->VerifyAfterWriting = false;
    bool dropped = false;
    onPosition_ = [&](int position) {
        state_->VerifyAfterWriting = true;
        if (position == 737280 && !dropped) {
            dropped = true;
            WriteThrough(state_->DiskHandle, 0, Bytes(before.begin(), before.begin() + kChunk));
        }
    };
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), Boxes{kWritten});
    EXPECT_EQ(positions_, BarPass());
    EXPECT_EQ(Status(), L"Bytes written: 1 474 560 ");

    // On at the start: turning it off meanwhile keeps the pass, which finds the drop.
    watcher.Clear();
    dropped = false;
    onPosition_ = [&](int position) {
        state_->VerifyAfterWriting = false;
        if (position == 737280 && !dropped) {
            dropped = true;
            WriteThrough(state_->DiskHandle, 0, Bytes(before.begin(), before.begin() + kChunk));
        }
    };
    state_->VerifyAfterWriting = true;
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{DriveDiffers("0"), kNotWritten}));
}

} // namespace
