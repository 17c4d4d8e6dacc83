// Create and restore jobs on a file-backed drive, run through StartImageJob.
#include "tests/engine/engine_fixture.h"

#include "resource.h"

namespace {

const wchar_t kCantOpenDisk[] = L"Can't open selected physical disk,\nplease check the list of drives!";
const wchar_t kCantOpenFile[] = L"Can't open selected file,\nplease check the filename!";
const wchar_t kCantWriteFile[] = L"Can't open selected file for write,\nplease check the filename or file properties!";
const wchar_t kCreated[] = L"The disk image was successfully created!";
const wchar_t kNotCreated[] = L"The disk image wasn't created!";
const wchar_t kWritten[] = L"The disk image was successfully written!";
const wchar_t kNotWritten[] = L"The disk image wasn't written!";

const int64_t kFloppySize = 1474560;
const DISK_GEOMETRY_EX kFloppy = MakeGeometry(2, 18, 512, kFloppySize); // chunk 18 432

using ts::BoxIcon;

class JobTest : public EngineTest {
protected:
    // A file-backed drive with a pattern, listed and selected.
    std::vector<unsigned char> MakeDrive(const DISK_GEOMETRY_EX& geometry, unsigned seed, int64_t fileSize = -1)
    {
        drive_ = Scratch(L"drive.bin");
        const size_t size = static_cast<size_t>(fileSize >= 0 ? fileSize : geometry.DiskSize.QuadPart);
        std::vector<unsigned char> data = ts::Pattern(size, seed);
        EXPECT_TRUE(ts::WriteWholeFile(drive_, data));
        SelectDrive(drive_, geometry);
        return data;
    }
    std::vector<unsigned char> Contents(const std::wstring& path)
    {
        std::vector<unsigned char> data;
        EXPECT_TRUE(ts::ReadWholeFile(path, &data)) << ts::Narrow(path);
        return data;
    }
    // The job must have closed the drive: it opens exclusively again.
    void ExpectDriveClosed()
    {
        HANDLE h = CreateFileW(drive_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "the drive is still open";
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    std::wstring drive_;
};

TEST_F(JobTest, FloppyCreateAndRestoreMoveEveryByteInEightyChunks)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 1);
    const std::wstring image = Scratch(L"floppy.hdd");
    SetFileName(image);
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(IDC_CREATE)), TRUE);

    HWND focusDuringCopy = nullptr;
    onPosition_ = [&](int) { focusDuringCopy = GetFocus(); };
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0); // leave the outcome open: the job is reporting then
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    ExpectJobControls();
    EXPECT_EQ(focusDuringCopy, Control(IDC_CANCEL));
    EXPECT_TRUE(IsJobRunning());
    ts::ObservedBox box = watcher.Boxes()[0];
    ExpectJobBox(box, kCreated, BoxIcon::Information);
    // The flushed image is complete while the box is up.
    EXPECT_EQ(FileSize(image), kFloppySize);
    ts::BoxWatcher::Press(box.window, IDOK);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    ExpectIdle();
    EXPECT_EQ(GetFocus(), Control(IDC_CREATE));

    ASSERT_EQ(positions_.size(), 81u); // the reset to 0, then one per chunk
    EXPECT_EQ(positions_[0], 0);
    for (size_t k = 1; k < positions_.size(); ++k)
        ASSERT_EQ(positions_[k], static_cast<int>(9216 * k)) << "chunk " << k;
    const ts::ProgressState bar = ts::ReadProgress(Control(IDC_PROGRESS));
    EXPECT_EQ(bar.low, 0);
    EXPECT_EQ(bar.high, 737280);
    EXPECT_EQ(bar.position, bar.high);
    EXPECT_EQ(Status(), L"Bytes read: 1 474 560 ");
    EXPECT_TRUE(Contents(image) == disk) << "image differs from the drive";
    ExpectDriveClosed();

    // And back: another image onto the same drive.
    const std::vector<unsigned char> other = ts::Pattern(static_cast<size_t>(kFloppySize), 2);
    ASSERT_TRUE(ts::WriteWholeFile(image, other));
    watcher.Clear();
    watcher.SetDefaultAnswer(IDOK);
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], kWritten, BoxIcon::Information);
    EXPECT_EQ(Status(), L"Bytes written: 1 474 560 ");
    EXPECT_TRUE(Contents(drive_) == other) << "drive differs from the image";
    EXPECT_EQ(positions_.size(), 81u);
    ExpectIdle();
    EXPECT_EQ(GetFocus(), Control(IDC_RESTORE));
}

TEST_F(JobTest, LastChunkIsTrimmedAndEmptyDrivesCopyNothing)
{
    // A cylinder of 16 384 bytes.
    struct Case {
        int64_t size;
        uint32_t lastChunk;
        const wchar_t* count;
    } cases[] = {
        {5 * 16384 + 1536, 1536, L"83 456 "}, // five full chunks and a remainder
        {4 * 16384, 16384, L"65 536 "},       // an exact multiple: nothing trimmed
        {3072, 3072, L"3 072 "},              // smaller than one chunk
        {0, 16384, L"0 "},                    // nothing at all
    };
    ts::BoxWatcher watcher;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::vector<unsigned char> disk = MakeDrive(MakeGeometry(4, 8, 512, c.size), 3);
        const std::wstring image = Scratch(L"trim.hdd");
        SetFileName(image);
        watcher.Clear();
        RunJob(JobKind::Create);
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        ExpectJobBox(watcher.Boxes()[0], kCreated, BoxIcon::Information);
        EXPECT_EQ(state_->ChunkSize, c.lastChunk);
        EXPECT_EQ(Status(), std::wstring(L"Bytes read: ") + c.count);
        EXPECT_EQ(FileSize(image), c.size);
        EXPECT_TRUE(Contents(image) == disk);

        const std::vector<unsigned char> other = ts::Pattern(static_cast<size_t>(c.size), 4);
        ASSERT_TRUE(ts::WriteWholeFile(image, other));
        watcher.Clear();
        RunJob(JobKind::Restore);
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        ExpectJobBox(watcher.Boxes()[0], kWritten, BoxIcon::Information);
        EXPECT_EQ(Status(), std::wstring(L"Bytes written: ") + c.count);
        EXPECT_TRUE(Contents(drive_) == other);
        ExpectIdle();
    }
}

TEST_F(JobTest, ImageOfAnotherSizeLeavesTheDriveUntouched)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 5);
    const std::wstring image = Scratch(L"size.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    for (int64_t delta : {1, -1}) {
        SCOPED_TRACE(delta);
        ASSERT_TRUE(ts::WriteWholeFile(image, ts::Pattern(static_cast<size_t>(kFloppySize + delta), 6)));
        SetDlgItemTextW(dialog_, IDC_STATUS, L"Physical drive selected");
        watcher.Clear();
        RunJob(JobKind::Restore);
        ASSERT_EQ(watcher.Boxes().size(), 2u);
        ExpectErrorBox(watcher.Boxes()[0], L"Sizes of selected file and selected disk aren't equal!");
        ExpectJobBox(watcher.Boxes()[1], kNotWritten, BoxIcon::Warning);
        EXPECT_TRUE(Contents(drive_) == disk) << "the drive was written";
        EXPECT_EQ(Status(), L"Physical drive selected");
        ExpectIdle();
    }
}

TEST_F(JobTest, DriveThatNoLongerHasItsListedSizeIsRefused)
{
    // A card swapped since the list was made: an image of the listed size
    // would miss the medium's tail, or read past its end.
    ts::BoxWatcher watcher;
    for (int64_t fileSize : {kFloppySize + 512, kFloppySize - 512}) {
        SCOPED_TRACE(fileSize);
        const std::vector<unsigned char> disk = MakeDrive(kFloppy, 7, fileSize);
        const std::wstring image = Scratch(L"swapped.hdd");
        SetFileName(image);
        for (JobKind kind : {JobKind::Create, JobKind::Restore}) {
            watcher.Clear();
            RunJob(kind);
            ASSERT_EQ(watcher.Boxes().size(), 1u);
            ExpectJobBox(watcher.Boxes()[0], kCantOpenDisk, BoxIcon::Warning);
            EXPECT_EQ(FileSize(image), -1) << "the image file was touched";
        }
        EXPECT_TRUE(Contents(drive_) == disk);
        ExpectDriveClosed();
        ExpectIdle();
    }
}

TEST_F(JobTest, NoDriveSelectedReadsNoFileName)
{
    MakeDrive(kFloppy, 8);
    const std::wstring image = Scratch(L"nodrive.hdd");
    SetFileName(image);
    SendDlgItemMessageW(dialog_, IDC_FILE_NAME, EM_SETSEL, 2, 4);
    ts::BoxWatcher watcher;
    for (int32_t index : {-1, 1}) { // none, and a position past the one-drive list
        for (JobKind kind : {JobKind::Create, JobKind::Restore}) {
            state_->SelectedIndex = index;
            watcher.Clear();
            RunJob(kind);
            ASSERT_EQ(watcher.Boxes().size(), 1u);
            ExpectJobBox(watcher.Boxes()[0], kCantOpenDisk, BoxIcon::Warning);
            DWORD from = 0, to = 0;
            SendDlgItemMessageW(dialog_, IDC_FILE_NAME, EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                                reinterpret_cast<LPARAM>(&to));
            EXPECT_EQ(from, 2u);
            EXPECT_EQ(to, 4u);
            EXPECT_EQ(FileSize(image), -1);
            ExpectIdle();
        }
    }
}

TEST_F(JobTest, EmptyFileNameIsAnOpenFailureWithoutAQuestion)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 9);
    SetFileName(L"");
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], kCantWriteFile, BoxIcon::Warning);
    watcher.Clear();
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], kCantOpenFile, BoxIcon::Warning);
    EXPECT_TRUE(Contents(drive_) == disk);
    ExpectDriveClosed();
    ExpectIdle();
}

TEST_F(JobTest, ReplaceAnsweredNoLeavesTheFileUntouched)
{
    MakeDrive(kFloppy, 10);
    const std::wstring image = Scratch(L"existing.hdd");
    const std::vector<unsigned char> before = ts::Pattern(1000, 11);
    ASSERT_TRUE(ts::WriteWholeFile(image, before));
    SetFileName(image);
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    const ts::ObservedBox question = watcher.Boxes()[0];
    ExpectBox(question, L"Write image file", L"The selected file exists,\nREPLACE ?", BoxIcon::Question, {IDYES, IDNO});
    // A destructive question defaults to No (the box marks it; DM_GETDEFID is not reliable everywhere).
    const LONG noStyle = GetWindowLongW(GetDlgItem(question.window, IDNO), GWL_STYLE);
    EXPECT_EQ(noStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON) << "No is not the default button";
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question.window, IDNO);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectJobBox(watcher.Boxes()[1], kCantWriteFile, BoxIcon::Warning);
    EXPECT_TRUE(Contents(image) == before);
    ExpectDriveClosed();
    ExpectIdle();
}

TEST_F(JobTest, ReadOnlyImageRestores)
{
    // Where file permissions hold (not for root) the attribute alone refuses a write open.
    MakeDrive(kFloppy, 12);
    const std::wstring image = Scratch(L"readonly.hdd");
    const std::vector<unsigned char> other = ts::Pattern(static_cast<size_t>(kFloppySize), 13);
    ASSERT_TRUE(ts::WriteWholeFile(image, other));
    ASSERT_TRUE(SetFileAttributesW(image.c_str(), FILE_ATTRIBUTE_READONLY));
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes()[0], kWritten, BoxIcon::Information);
    EXPECT_TRUE(Contents(drive_) == other);
    ExpectIdle();
}

TEST_F(JobTest, DeviceNamesAndOverlongNamesAreNotImageFiles)
{
    MakeDrive(kFloppy, 14);
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(IDYES); // replace NUL, should anyone ask
    SetFileName(L"NUL");
    RunJob(JobKind::Create);
    ASSERT_GE(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes().back(), kCantWriteFile, BoxIcon::Warning);
    watcher.Clear();
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectJobBox(watcher.Boxes().back(), kCantOpenFile, BoxIcon::Warning);

    // 260 characters: cut to the 259 that fit, it would name another, valid file.
    const std::wstring folder = ts::TempPath(L"");
    const std::wstring truncated = folder + std::wstring(MAX_PATH - 1 - folder.size(), L'x');
    ASSERT_EQ(truncated.size(), static_cast<size_t>(MAX_PATH - 1));
    scratch_.push_back(truncated);
    SetFileName(truncated + L"y");
    for (JobKind kind : {JobKind::Create, JobKind::Restore}) {
        ASSERT_TRUE(ts::WriteWholeFile(truncated, ts::Pattern(static_cast<size_t>(kFloppySize), 15)));
        watcher.Clear();
        RunJob(kind);
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        ExpectJobBox(watcher.Boxes()[0], kind == JobKind::Create ? kCantWriteFile : kCantOpenFile, BoxIcon::Warning);
    }
    ExpectDriveClosed();
    ExpectIdle();
}

TEST_F(JobTest, CancelConfirmedStopsAfterTheChunkAndKeepsThePartialImage)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 16);
    const std::wstring image = Scratch(L"cancel.hdd");
    SetFileName(image);
    onPosition_ = [](int position) {
        if (position == 9216)
            RequestCancel();
    };
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    const ts::ObservedBox question = watcher.Boxes()[0];
    ExpectBox(question, L"Warning", L"Cancel read image?", BoxIcon::Question, {IDYES, IDNO});
    // The question holds no lock: more presses while it is open don't block.
    RequestCancel();
    ExpectJobControls();
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question.window, IDYES);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectJobBox(watcher.Boxes()[1], kNotCreated, BoxIcon::Warning);
    EXPECT_EQ(Status(), L"Bytes read: 18 432 ");
    const std::vector<unsigned char> partial = Contents(image);
    EXPECT_TRUE(partial == std::vector<unsigned char>(disk.begin(), disk.begin() + 18432));
    ExpectIdle();
}

TEST_F(JobTest, CancelDeclinedIsUsedUpAndManyPressesAskOnce)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 17);
    const std::wstring image = Scratch(L"declined.hdd");
    SetFileName(image);
    onPosition_ = [](int position) {
        if (position == 3 * 9216)
            for (int i = 0; i < 3; ++i)
                RequestCancel();
    };
    ts::BoxWatcher watcher;
    watcher.Answer(IDNO);
    RunJob(JobKind::Create);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectBox(watcher.Boxes()[0], L"Warning", L"Cancel read image?", BoxIcon::Question, {IDYES, IDNO});
    ExpectJobBox(watcher.Boxes()[1], kCreated, BoxIcon::Information);
    EXPECT_TRUE(Contents(image) == disk);
    EXPECT_EQ(positions_.back(), 737280);
}

TEST_F(JobTest, CancelConfirmedInTheLastChunkIsAFailure)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 18);
    const std::wstring image = Scratch(L"last.hdd");
    SetFileName(image);
    onPosition_ = [](int position) {
        if (position == 737280)
            RequestCancel();
    };
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectJobBox(watcher.Boxes()[1], kNotCreated, BoxIcon::Warning);
    EXPECT_EQ(Status(), L"Bytes read: 1 474 560 ");
    EXPECT_TRUE(Contents(image) == disk);
}

TEST_F(JobTest, RestoreCancelAsksItsOwnQuestion)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 19);
    const std::wstring image = Scratch(L"restorecancel.hdd");
    const std::vector<unsigned char> other = ts::Pattern(static_cast<size_t>(kFloppySize), 20);
    ASSERT_TRUE(ts::WriteWholeFile(image, other));
    SetFileName(image);
    onPosition_ = [](int position) {
        if (position == 9216)
            RequestCancel();
    };
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    RunJob(JobKind::Restore);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectBox(watcher.Boxes()[0], L"Warning", L"Cancel write image?", BoxIcon::Question, {IDYES, IDNO});
    ExpectJobBox(watcher.Boxes()[1], kNotWritten, BoxIcon::Warning);
    EXPECT_EQ(Status(), L"Bytes written: 18 432 ");
    const std::vector<unsigned char> now = Contents(drive_);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 18432, other.begin()));
    EXPECT_TRUE(std::equal(now.begin() + 18432, now.end(), disk.begin() + 18432));
}

TEST_F(JobTest, CancelPressedWhileTheReplaceQuestionIsOpenIsDiscarded)
{
    const std::vector<unsigned char> disk = MakeDrive(kFloppy, 21);
    const std::wstring image = Scratch(L"early.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(image, ts::Pattern(10, 22)));
    SetFileName(image);
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    const ts::ObservedBox question = watcher.Boxes()[0];
    EXPECT_EQ(question.caption, L"Write image file");
    RequestCancel();
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question.window, IDYES);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    ASSERT_EQ(watcher.Boxes().size(), 2u) << "a cancel question was asked";
    ExpectJobBox(watcher.Boxes()[1], kCreated, BoxIcon::Information);
    EXPECT_TRUE(Contents(image) == disk);
}

} // namespace
