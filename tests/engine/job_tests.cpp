// Create and restore jobs on file-backed drives, started with StartImageJob.
#include "tests/engine/engine_fixture.h"

#include "image/checksum_file.h"
#include "image/image_file.h"
#include "engine/transfer.h"
#include "report/byte_count.h"
#include "resource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using Boxes = std::vector<std::string>;
const std::string kCantOpenDisk =
    "Korvane:|Can't open selected physical disk,\nplease check the list of drives!|warning|OK";
const std::string kCantOpenFile = "Korvane:|Can't open selected file,\nplease check the filename!|warning|OK";
const std::string kCantWriteFile =
    "Korvane:|Can't open selected file for write,\nplease check the filename or file properties!|warning|OK";
const std::string kCreated = "Korvane:|The disk image was successfully created!|information|OK";
const std::string kNotCreated = "Korvane:|The disk image wasn't created!|warning|OK";
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";
const std::string kNotWritten = "Korvane:|The disk image wasn't written!|warning|OK";
const std::string kReplace = "Write image file|The selected file exists,\nREPLACE ?|question|YesNo";
const std::string kMismatch =
    "Error!|The image file doesn't match its checksum!\nThe physical drive holds a damaged image.|error|OK";

const int64_t kFloppySize = 1474560;
const DISK_GEOMETRY_EX kFloppy = MakeGeometry(2, 18, 512, kFloppySize); // a chunk of 18 432 bytes

using JobTest = EngineTest;

TEST_F(JobTest, FloppyCreateAndRestoreMoveEveryByteInEightyChunks)
{
    const Bytes disk = MakeDrive(kFloppy, 1);
    const std::wstring image = Scratch(L"floppy.hdd");
    SetFileName(image);
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(IDC_CREATE)), TRUE);
    HWND focusDuringCopy = nullptr;
    onPosition_ = [&](int) { focusDuringCopy = GetFocus(); };
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0); // the outcome stays open: the job is still reporting
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    ExpectControls(false);
    EXPECT_EQ(focusDuringCopy, Control(IDC_CANCEL));
    EXPECT_EQ(FileSize(image), kFloppySize);
    ts::BoxWatcher::Press(watcher.Boxes()[0].window, IDOK);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    ExpectControls(true);
    EXPECT_EQ(GetFocus(), Control(IDC_CREATE));

    // The reset, then one position per chunk; the verify pass runs the bar again from 0.
    std::vector<int> expected{0};
    for (int k = 1; k <= 80; ++k)
        expected.push_back(9216 * k);
    const std::vector<int> pass = expected;
    expected.insert(expected.end(), pass.begin(), pass.end());
    EXPECT_EQ(positions_, expected);
    const ts::ProgressState bar = ts::ReadProgress(Control(IDC_PROGRESS));
    EXPECT_EQ(bar.high, 737280);
    EXPECT_EQ(bar.position, bar.high);
    EXPECT_EQ(Status(), L"Bytes read: 1 474 560 ");
    EXPECT_TRUE(Contents(image) == disk) << "the image differs from the drive";

    const Bytes other = ts::Pattern(static_cast<size_t>(kFloppySize), 2);
    ASSERT_TRUE(WriteImage(image, other));
    watcher.Clear();
    watcher.SetDefaultAnswer(IDOK);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), Boxes{kWritten});
    EXPECT_EQ(Status(), L"Bytes written: 1 474 560 ");
    EXPECT_TRUE(Contents(drive_) == other) << "the drive differs from the image";
    EXPECT_EQ(GetFocus(), Control(IDC_RESTORE));
    ExpectControls(true);

    // As the program runs: each pass tells the bar its reset and its end, and between
    // them only a few positions a second.
    state_->BarIntervalMs = kBarIntervalMs;
    positions_.clear();
    RunJob(JobKind::Restore);
    EXPECT_EQ(std::count(positions_.begin(), positions_.end(), 0), 2);
    EXPECT_EQ(std::count(positions_.begin(), positions_.end(), 737280), 2);
    EXPECT_EQ(positions_.back(), 737280);
    EXPECT_LT(positions_.size(), expected.size()) << "every chunk was told";
}

TEST_F(JobTest, LastChunkIsTrimmedAndAnEmptyDriveCopiesNothing)
{
    struct Case {
        int64_t size;
        uint32_t lastChunk;
        const wchar_t* count;
    } cases[] = {
        {5 * 16384 + 1536, 1536, L"83 456 "}, // whole chunks of 16 384 and a rest
        {4 * 16384, 16384, L"65 536 "},       // an exact multiple: nothing trimmed
        {3072, 3072, L"3 072 "},              // less than one chunk
        {0, 16384, L"0 "},
    };
    ts::BoxWatcher watcher;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes disk = MakeDrive(MakeGeometry(4, 8, 512, c.size), 3);
        const std::wstring image = Scratch(L"trim.hdd");
        SetFileName(image);
        RunJob(JobKind::Create);
        EXPECT_EQ(state_->ChunkSize, c.lastChunk);
        EXPECT_EQ(Status(), std::wstring(L"Bytes read: ") + c.count);
        EXPECT_TRUE(Contents(image) == disk);
        const Bytes other = ts::Pattern(static_cast<size_t>(c.size), 4);
        ASSERT_TRUE(WriteImage(image, other));
        RunJob(JobKind::Restore);
        EXPECT_EQ(Status(), std::wstring(L"Bytes written: ") + c.count);
        EXPECT_TRUE(Contents(drive_) == other);
        EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kWritten}));
        watcher.Clear();
    }
}

TEST_F(JobTest, NothingIsWrittenToADriveOfAnotherSize)
{
    const Bytes disk = MakeDrive(kFloppy, 5);
    const std::wstring image = Scratch(L"size.hdd");
    SetFileName(image);
    ts::BoxWatcher watcher;
    for (int64_t delta : {1, -1}) {
        ASSERT_TRUE(WriteImage(image, ts::Pattern(static_cast<size_t>(kFloppySize + delta), 6)));
        SetDlgItemTextW(dialog_, IDC_STATUS, L"Physical drive selected");
        RunJob(JobKind::Restore);
        EXPECT_EQ(Status(), L"Physical drive selected");
    }
    const std::string mismatch = "Error!|Sizes of selected file and selected disk aren't equal!|error|OK";
    EXPECT_EQ(Seen(watcher), (Boxes{mismatch, kNotWritten, mismatch, kNotWritten}));
    EXPECT_TRUE(Contents(drive_) == disk);

    // Whole sectors shorter, or longer by zeros only: asked, No by default; No leaves the drive as it was.
    const Bytes shorter = ts::Pattern(static_cast<size_t>(kFloppySize - 2048), 6);
    Bytes longer = ts::Pattern(static_cast<size_t>(kFloppySize), 7);
    longer.resize(static_cast<size_t>(kFloppySize + 1024), 0);
    const std::string smallerAsked = "Write data to disk|The image file is 2 048 Bytes smaller than the physical "
                                     "disk:\nthe disk's last 2 048 Bytes keep what they hold now.\n\nWRITE ?|warning|YesNo";
    const std::string largerAsked = "Write data to disk|The image file is 1 024 Bytes larger than the physical "
                                    "disk,\nbut nothing of it lies past the disk's end.\n\nWRITE ?|warning|YesNo";
    for (const Bytes* content : {&shorter, static_cast<const Bytes*>(&longer)}) {
        ASSERT_TRUE(ts::WriteWholeFile(image, *content));
        watcher.Clear();
        watcher.Answer(IDNO);
        const Bytes before = Contents(drive_);
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), Boxes{content == &shorter ? smallerAsked : largerAsked});
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        EXPECT_EQ(watcher.Boxes()[0].defaultButton, IDNO);
        EXPECT_TRUE(Contents(drive_) == before);
        watcher.Clear();
        watcher.Answer(IDYES);
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), (Boxes{content == &shorter ? smallerAsked : largerAsked, kWritten}));
    }
    // The shorter image's bytes, the drive's last ones as they were, then the longer image's first ones.
    Bytes expected(longer.begin(), longer.begin() + kFloppySize);
    EXPECT_TRUE(Contents(drive_) == expected);
    EXPECT_EQ(Status(), L"Bytes written: 1 474 560 ");
    MakeDrive(kFloppy, 5);
    ASSERT_TRUE(ts::WriteWholeFile(image, shorter));
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Restore);
    expected = shorter;
    expected.insert(expected.end(), disk.end() - 2048, disk.end());
    EXPECT_TRUE(Contents(drive_) == expected);
    EXPECT_EQ(Status(), L"Bytes written: 1 472 512 ");
    watcher.Clear();

    // A medium swapped since the list was made is refused before any file is touched.
    for (int64_t fileSize : {kFloppySize + 512, kFloppySize - 512}) {
        MakeDrive(kFloppy, 7, fileSize);
        RunJob(JobKind::Create);
        RunJob(JobKind::Restore);
    }
    EXPECT_EQ(Seen(watcher), Boxes(4, kCantOpenDisk));
    EXPECT_EQ(FileSize(image), kFloppySize - 2048);
    ExpectControls(true);
}

TEST_F(JobTest, OpenFailuresAreToldAndUseNoShortenedName)
{
    MakeDrive(kFloppy, 8);
    const std::wstring existing = Scratch(L"existing.hdd");
    const Bytes before = ts::Pattern(1000, 9);
    ASSERT_TRUE(ts::WriteWholeFile(existing, before));
    // 260 characters; cut to the 259 that fit, they name an existing image.
    const std::wstring folder = ts::TempPath(L"");
    const std::wstring cut = Scratch(folder + std::wstring(MAX_PATH - 1 - folder.size(), L'x'));
    ASSERT_TRUE(ts::WriteWholeFile(cut, ts::Pattern(static_cast<size_t>(kFloppySize), 10)));

    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(IDYES);
    SetFileName(existing);
    SendDlgItemMessageW(dialog_, IDC_FILE_NAME, EM_SETSEL, 2, 4);
    for (int32_t index : {-1, 1}) { // no drive, and a position past the one-drive list
        state_->SelectedIndex = index;
        RunJob(JobKind::Create);
        RunJob(JobKind::Restore);
    }
    DWORD from = 0, to = 0;
    SendDlgItemMessageW(dialog_, IDC_FILE_NAME, EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                        reinterpret_cast<LPARAM>(&to));
    EXPECT_TRUE(from == 2 && to == 4) << "the edit was touched";
    EXPECT_EQ(Seen(watcher), Boxes(4, kCantOpenDisk));

    // Device names, and wildcards that would find the existing image: no question, nothing replaced.
    state_->SelectedIndex = 0;
    for (const std::wstring& name : {std::wstring(), std::wstring(L"NUL"), cut + L"y", folder + L"existin?.hdd",
                                     folder + L"*.hdd"}) {
        watcher.Clear();
        SetFileName(name);
        RunJob(JobKind::Create);
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), (Boxes{kCantWriteFile, kCantOpenFile})) << ts::Narrow(name);
    }
    EXPECT_TRUE(Contents(existing) == before);

    watcher.Clear();
    watcher.SetDefaultAnswer(0);
    SetFileName(existing);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    // The destructive question defaults to No (DM_GETDEFID is not reliable on every platform).
    const HWND question = watcher.Boxes()[0].window;
    EXPECT_EQ(GetWindowLongW(GetDlgItem(question, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question, IDNO);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, kCantWriteFile}));
    EXPECT_TRUE(Contents(existing) == before);
    // Every job closed the drive: it opens exclusively.
    HANDLE h = CreateFileW(drive_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    ExpectControls(true);
}

// The job leaves the current folder while it holds the drive; a relative name
// typed after it still means a file in the folder the operator saw.
TEST_F(JobTest, ARelativeNameAfterAJobMeansTheSameFolder)
{
    const Bytes disk = MakeDrive(kFloppy, 12);
    state_->VerifyAfterWriting = false;
    wchar_t kept[MAX_PATH] = {};
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, kept), 0u);
    const std::wstring first = Scratch(L"relative-1.hdd"), second = Scratch(L"relative-2.hdd");
    const size_t cut = first.rfind(L'\\');
    const std::wstring folder = first.substr(0, cut);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    ts::BoxWatcher watcher;
    SetFileName(first.substr(cut + 1));
    RunJob(JobKind::Create);
    SetFileName(second.substr(cut + 1));
    RunJob(JobKind::Create);
    wchar_t now[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, now);
    SetCurrentDirectoryW(kept);
    // Whatever landed beside the program goes too.
    DeleteFileW((std::wstring(kept) + L"\\" + second.substr(cut + 1)).c_str());
    EXPECT_EQ(Seen(watcher), (Boxes{kCreated, kCreated}));
    EXPECT_EQ(ts::Narrow(now), ts::Narrow(folder));
    EXPECT_TRUE(Contents(first) == disk);
    EXPECT_EQ(FileSize(second), kFloppySize);
}

TEST_F(JobTest, CancelStopsOnlyWhenConfirmedAndLeavesNoHalfImage)
{
    const Bytes disk = MakeDrive(kFloppy, 11);
    const std::wstring image = Scratch(L"cancel.hdd");
    SetFileName(image);
    int pressAt = 0, presses = 0;
    onPosition_ = [&](int position) {
        if (position == pressAt)
            for (int i = 0; i < presses; ++i)
                RequestCancel();
    };
    const std::string question = "Warning|Cancel read image?|question|YesNo";
    // Without the verify pass: the transfer's own question and boxes, exactly.
    state_->VerifyAfterWriting = false;
    ts::BoxWatcher watcher;

    // Confirmed after the first chunk: no half image carries the chosen name, nor is left anywhere.
    pressAt = 9216, presses = 1;
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{question, kNotCreated}));
    EXPECT_EQ(Status(), L"Bytes read: 18 432 ");
    EXPECT_EQ(FileSize(image), -1);
    EXPECT_EQ(FileSize(image + L".sha256"), -1);
    EXPECT_TRUE(Leftovers().empty());
    // So for a compressed image, whose first member already tells the whole length.
    const std::wstring compressed = Scratch(L"cancel.img.gz");
    SetFileName(compressed);
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{question, kNotCreated}));
    EXPECT_EQ(FileSize(compressed), -1);
    EXPECT_TRUE(Leftovers().empty());
    SetFileName(image);

    // Three presses during one chunk ask once; declined, the copy completes.
    watcher.Clear();
    pressAt = 3 * 9216, presses = 3;
    watcher.Answer(IDNO);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{question, kCreated}));
    EXPECT_TRUE(Contents(image) == disk);

    // Confirmed in the last chunk: every byte arrived, yet the job was cancelled.
    watcher.Clear();
    pressAt = 737280, presses = 1;
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, question, kNotCreated}));
    EXPECT_EQ(Status(), L"Bytes read: 1 474 560 ");

    // A press while the replace question is open is not meant for the copy.
    watcher.Clear();
    presses = 0;
    watcher.SetDefaultAnswer(0);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }));
    RequestCancel();
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(watcher.Boxes()[0].window, IDYES);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }));
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, kCreated}));
    ExpectControls(true);

    // Pressed while the zeros of a larger image past the drive's end are read, before its
    // question: the bar counts them, and nothing is written.
    Bytes longer = ts::Pattern(static_cast<size_t>(kFloppySize), 13);
    longer.resize(static_cast<size_t>(kFloppySize + 3 * 1048576), 0);
    ASSERT_TRUE(ts::WriteWholeFile(image, longer));
    watcher.Clear();
    positions_.clear();
    pressAt = 524288, presses = 1;
    watcher.Answer(IDYES);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{"Warning|Cancel write image?|question|YesNo", kNotWritten}));
    EXPECT_EQ(positions_, (std::vector<int>{0, 524288}));
    EXPECT_EQ(Status(), L"Bytes written: 0 ");
    EXPECT_TRUE(Contents(drive_) == disk);
}

TEST_F(JobTest, ShortReadIsAReadErrorCountingOnlyWholeChunks)
{
    // The medium ends 100 bytes into its fourth cylinder but claims ten; a job
    // would refuse it, so the loop runs here on handles opened by the test.
    const Bytes disk = MakeDrive(MakeGeometry(2, 18, 512, 10 * 18432), 12, 3 * 18432 + 100);
    const std::wstring image = Scratch(L"short.hdd");
    state_->DiskHandle =
        CreateFileW(drive_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    state_->ImageHandle = CreateFileW(image.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ts::BoxWatcher watcher;
    watcher.Answer(IDNO); // no rescue: the read error ends the copy
    bool result = true;
    ASSERT_TRUE(ts::RunWhilePumping([&] { result = CreateImage(); }));
    CloseImageFile();
    CloseDisk();
    EXPECT_FALSE(result);
    EXPECT_EQ(Seen(watcher), (Boxes{"Read image from disk|Can't read the physical disk at byte 55 296 !\nRead around "
                                    "the unreadable parts and go on?\n(the image holds zeros where nothing could be "
                                    "read)|warning|YesNo",
                                    "Error!|Read disk error|error|OK"}));
    EXPECT_EQ(Status(), L"Bytes read: 55 296 ");
    EXPECT_EQ(state_->TransferBuffer, nullptr);
    EXPECT_TRUE(Contents(image) == Bytes(disk.begin(), disk.begin() + 55296));

    // A compressed image is written once from its start: no rescue is offered, and the box says why.
    wcscpy_s(ImageFileName, MAX_PATH, (image + L".gz").c_str());
    state_->DiskHandle =
        CreateFileW(drive_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    state_->ImageHandle = CreateFileW(image.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    watcher.Clear();
    ASSERT_TRUE(ts::RunWhilePumping([&] { result = CreateImage(); }));
    CloseImageFile();
    CloseDisk();
    ImageFileName[0] = L'\0';
    EXPECT_FALSE(result);
    EXPECT_EQ(Seen(watcher), Boxes{"Error!|Can't read the physical disk at byte 55 296 !\nA .gz, .zst, .vhd or .vhdx "
                                   "image can't be read around the unreadable parts:\nchoose a raw image file (.hdd, "
                                   ".img) to rescue the disk.|error|OK"});
}

std::string HexOf(const Bytes& data)
{
    Sha256 hash;
    Sha256Init(hash);
    Sha256Update(hash, data.data(), data.size());
    BYTE digest[kSha256Size];
    Sha256Final(hash, digest);
    return ts::Narrow(DigestHex(digest));
}

std::string Text(const Bytes& data)
{
    return std::string(data.begin(), data.end());
}

Bytes BytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST_F(JobTest, CreateWritesAChecksumThatSha256sumAcceptsAndRestoreChecksEachForm)
{
    const Bytes disk = MakeDrive(kFloppy, 13);
    const std::wstring image = Scratch(L"sums.hdd");
    const std::wstring sidecar = Scratch(L"sums.hdd.sha256");
    SetFileName(image);
    ts::BoxWatcher watcher;
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), Boxes{kCreated});
    const std::string hex = HexOf(disk);
    EXPECT_EQ(digests_, std::vector<std::string>{hex});
    const std::string name = ts::Narrow(FileNamePart(image));
    EXPECT_EQ(Text(Contents(sidecar)), hex + "  " + name + "\n");
    EXPECT_TRUE(Leftovers().empty());
    std::string output;
    const std::string unixPath = ts::LinuxPath(image);
    ASSERT_TRUE(ts::RunLinuxShell(
        "cd '" + unixPath.substr(0, unixPath.rfind('/')) + "' && sha256sum -c '" + name + ".sha256'", &output, 30000));
    EXPECT_EQ(output, name + ": OK\n");

    // Each form of checksum file is found; a byte of the image changed after the create fails the restore.
    const std::wstring sumFile = Scratch(L"sums.hdd.sha256sum");
    const std::wstring list = Scratch(image.substr(0, image.rfind(L'\\') + 1) + L"SHA256SUMS");
    std::string upper = hex, upperName = name;
    for (std::string* text : {&upper, &upperName})
        for (char& c : *text)
            c = static_cast<char>(toupper(c));
    const struct {
        std::wstring file;
        std::string text;
    } forms[] = {
        {sidecar, hex + "  " + name + "\n"},
        {sumFile, hex + " *" + name + "\n"},
        {list, std::string(64, '0') + "  other.hdd\r\n" + upper + " *" + upperName + "\r\n"},
    };
    std::wstring step;
    onPosition_ = [&](int) {
        if (state_->StatusStep.compare(0, 9, L"Restoring") == 0)
            step = state_->StatusStep;
    };
    const Bytes other = ts::Pattern(static_cast<size_t>(kFloppySize), 14);
    for (const auto& form : forms) {
        SCOPED_TRACE(ts::Narrow(form.file));
        for (const std::wstring& file : {sidecar, sumFile, list})
            DeleteFileW(file.c_str());
        ASSERT_TRUE(ts::WriteWholeFile(form.file, BytesOf(form.text)));
        ASSERT_TRUE(ts::WriteWholeFile(drive_, other));
        watcher.Clear();
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), Boxes{kWritten});
        EXPECT_EQ(step, L"Restoring image on physical drive \u00B7 checksum");
        EXPECT_TRUE(Contents(drive_) == disk);

        Bytes changed = disk;
        changed[kFloppySize / 2] ^= 0x10;
        ASSERT_TRUE(ts::WriteWholeFile(image, changed));
        watcher.Clear();
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), (Boxes{kMismatch, kNotWritten}));
        ASSERT_TRUE(ts::WriteWholeFile(image, disk));
    }

    // A checksum file that can't be read is told; the restore goes on only on Yes.
    for (const std::wstring& file : {sumFile, list})
        DeleteFileW(file.c_str());
    ASSERT_TRUE(ts::WriteWholeFile(sidecar, BytesOf("checksum\n")));
    ASSERT_TRUE(ts::WriteWholeFile(drive_, other));
    const std::string question = "Write image to disk|Can't read the checksum file " + name +
                                 ".sha256,\nthe image can't be checked against it!\n\nCONTINUE ?|warning|YesNo";
    watcher.Clear();
    watcher.Answer(IDNO);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{question, kNotWritten}));
    EXPECT_TRUE(Contents(drive_) == other);
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{question, kWritten}));
    EXPECT_EQ(step, L"Restoring image on physical drive");
    EXPECT_TRUE(Contents(drive_) == disk);

    // Compressed images in three pieces, and virtual disks, verified: their tools accept them and
    // give the drive back (@F the image, @D the drive), the checksum file is that of the file as
    // written, a gzip file records the length in its first member.
    const Bytes large = MakeDrive(MakeGeometry(4, 8, 512, 9 * 1048576 + 1536), 15);
    const struct {
        const wchar_t* name;
        const char* check;
    } formats[] = {
        {L"sums.img.gz", "gzip -t @F && gzip -dc @F | cmp - @D"},
        {L"sums.img.zst", "zstd -q -t @F && zstd -q -dc @F | cmp - @D"},
        {L"sums.vhdx", "qemu-img check -q -f vhdx @F && qemu-img compare -q -f vhdx -F raw @F @D"},
        {L"sums.vhd", "qemu-img compare -q --image-opts driver=vpc,force_size_calc=current_size,file.filename=@F "
                      "driver=raw,file.filename=@D"},
    };
    state_->VerifyAfterWriting = true;
    for (const auto& row : formats) {
        SCOPED_TRACE(row.check);
        const std::wstring file = Scratch(row.name);
        SetFileName(file);
        watcher.Clear();
        digests_.clear();
        RunJob(JobKind::Create);
        EXPECT_EQ(Seen(watcher), Boxes{kCreated});
        const Bytes written = Contents(file);
        EXPECT_EQ(digests_, std::vector<std::string>{HexOf(written)});
        std::string check = row.check;
        for (size_t at = 0; (at = check.find('@', at)) != std::string::npos;) {
            const std::string path = "'" + ts::LinuxPath(check[at + 1] == 'F' ? file : drive_) + "'";
            check.replace(at, 2, path);
            at += path.size();
        }
        const std::string path = "'" + ts::LinuxPath(file) + "'";
        ASSERT_TRUE(ts::RunLinuxShell(check + " && cd \"$(dirname " + path + ")\" && sha256sum -c " + path +
                                          ".sha256 >/dev/null && echo OK",
                                      &output, 60000));
        EXPECT_EQ(output, "OK\n");
        EXPECT_TRUE(Leftovers().empty());
        if (row.name[wcslen(row.name) - 1] == L'z') {
            ASSERT_GT(written.size(), 24u);
            EXPECT_EQ(written[3], 4); // FEXTRA, 12 bytes: 'Kv', 8, the length
            EXPECT_TRUE(Bytes(written.begin() + 10, written.begin() + 16) == (Bytes{12, 0, 'K', 'v', 8, 0}));
            uint64_t length = 0;
            for (int i = 7; i >= 0; --i)
                length = length << 8 | written[static_cast<size_t>(16 + i)];
            EXPECT_EQ(length, large.size());
        }
    }
}

TEST_F(JobTest, ReplacingKeepsTheOldImageAndChecksumUntilTheNewOneIsComplete)
{
    const Bytes disk = MakeDrive(kFloppy, 15);
    const std::wstring image = Scratch(L"old.hdd"), sum = Scratch(L"old.hdd.sha256");
    const Bytes oldImage = ts::Pattern(1000, 16), oldSum = BytesOf(std::string(64, 'e') + "  old.hdd\n");
    ASSERT_TRUE(ts::WriteWholeFile(image, oldImage) && ts::WriteWholeFile(sum, oldSum));
    SetFileName(image);
    const auto expectOld = [&] {
        EXPECT_TRUE(Contents(image) == oldImage);
        EXPECT_TRUE(Contents(sum) == oldSum);
        EXPECT_TRUE(Leftovers().empty());
    };
    ts::BoxWatcher watcher;

    // Cancelled during the copy.
    onPosition_ = [&](int position) {
        if (position == 9216)
            RequestCancel();
    };
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, "Warning|Cancel read image?|question|YesNo", kNotCreated}));
    expectOld();

    // Failed: the verify pass finds the new image damaged.
    AfterTransfer([&] { WriteThrough(state_->ImageHandle, 0, Bytes{static_cast<unsigned char>(disk[0] ^ 1)}); });
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace,
                                    "Error!|Verify error at byte 0 :\nthe image file doesn't hold what was "
                                    "written!|error|OK",
                                    kNotCreated}));
    expectOld();

    // Read-only, or held open by a program that forbids deleting it: refused before anything is read.
    onPosition_ = nullptr;
    ASSERT_TRUE(SetFileAttributesW(image.c_str(), FILE_ATTRIBUTE_READONLY));
    for (int held = 0; held < 2; ++held) {
        const HANDLE holder = held ? CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr)
                                   : INVALID_HANDLE_VALUE;
        watcher.Clear();
        watcher.Answer(IDYES);
        RunJob(JobKind::Create);
        EXPECT_EQ(Seen(watcher), (Boxes{kReplace, kCantWriteFile})) << held;
        EXPECT_TRUE(positions_.empty()) << "the drive was read";
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        ASSERT_TRUE(SetFileAttributesW(image.c_str(), FILE_ATTRIBUTE_NORMAL));
        expectOld();
    }

    // Complete and verified: the image and its checksum file replace the old ones.
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, kCreated}));
    EXPECT_TRUE(Contents(image) == disk);
    EXPECT_EQ(Text(Contents(sum)), HexOf(disk) + "  " + ts::Narrow(FileNamePart(image)) + "\n");
    EXPECT_TRUE(Leftovers().empty());

    // Without checksum files: no hash and none written, and the old one goes with the old image.
    ASSERT_TRUE(ts::WriteWholeFile(image, oldImage) && ts::WriteWholeFile(sum, oldSum));
    state_->ChecksumWithImage = false;
    const size_t digests = digests_.size();
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kReplace, kCreated}));
    EXPECT_EQ(digests_.size(), digests);
    EXPECT_TRUE(Contents(image) == disk);
    EXPECT_EQ(FileSize(sum), -1);
    EXPECT_TRUE(Leftovers().empty());
}

// Gzip with the length field Korvane writes: FEXTRA with subfield 'K','v' (8 bytes).
std::string GzipWithLength(uint64_t length)
{
    std::string hex = "1f8b08040000000000ff0c004b760800";
    for (int i = 0; i < 8; ++i, length >>= 8) {
        char pair[4];
        snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned>(length & 0xFF));
        hex += pair;
    }
    return "(python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.argv[1]))' " + hex +
           "; gzip -n -c fmt.raw | tail -c +11) > packed.img";
}

void FlipMiddle(Bytes& file)
{
    file[file.size() / 2] ^= 0x5A;
}

// Files made by the Linux tools: written and verified through their decoder, or refused before
// the drive is touched, or failed with the drive's first chunk as it was; never a success.
TEST_F(JobTest, CompressedImagesAreWrittenAndVerifiedOrRefusedAndNeverPassDamaged)
{
    const Bytes disk = MakeDrive(kFloppy, 17);
    Bytes image = ts::Pattern(static_cast<size_t>(kFloppySize), 18);
    for (size_t at = 0; at < image.size(); at += 131072) // half of it compresses well
        std::fill(image.begin() + static_cast<long>(at),
                  image.begin() + static_cast<long>(std::min(at + 65536, image.size())), 0);
    const Bytes smaller(image.begin(), image.end() - 2048);
    const std::wstring raw = Scratch(L"fmt.raw"), packed = Scratch(L"packed.img"), readme = Scratch(L"readme.txt");
    const std::string damagedPrefix = "Error!|The image file is damaged after ";
    const std::string damagedBefore = "Error!|The image file is damaged or incomplete!|error|OK";
    const std::string smallerAsked =
        "Write data to disk|The image file is 2 048 Bytes smaller than the physical "
        "disk:\nthe disk's last 2 048 Bytes keep what they hold now.\n\nWRITE ?|warning|YesNo";
    enum Drive { Written, Untouched, FirstChunkKept };
    const struct {
        const char* name;
        std::string command; // in the folder of fmt.raw (the image) and packed.img (restored)
        const Bytes* content;
        bool measured; // read once before the restore to learn its length
        Boxes boxes;   // a box ending in "..." is compared up to there
        Drive drive;
        void (*change)(Bytes&);
    } rows[] = {
        {"gzip", "gzip -c fmt.raw > packed.img", &image, true, {kWritten}, Written, nullptr},
        {"gzip members",
         "(head -c 700000 fmt.raw | gzip -1; tail -c +700001 fmt.raw | gzip -9) > packed.img",
         &image,
         true,
         {kWritten},
         Written,
         nullptr},
        {"pigz", "pigz -c -p 2 -b 128 fmt.raw > packed.img", &image, true, {kWritten}, Written, nullptr},
        {"gzip with its length", GzipWithLength(kFloppySize), &image, false, {kWritten}, Written, nullptr},
        {"gzip, checksum of the file",
         "gzip -c fmt.raw > packed.img && sha256sum < packed.img > packed.img.sha256",
         &image,
         true,
         {kWritten},
         Written,
         nullptr},
        {"gzip, wrong checksum",
         "gzip -c fmt.raw > packed.img && sha256sum < fmt.raw > packed.img.sha256",
         &image,
         true,
         {kMismatch, kNotWritten},
         Written,
         nullptr},
        {"gzip smaller than the drive",
         "gzip -c fmt.raw > packed.img",
         &smaller,
         true,
         {smallerAsked, kWritten},
         Written,
         nullptr},
        {"xz", "xz -c fmt.raw > packed.img", &image, false, {kWritten}, Written, nullptr},
        {"xz blocks", "xz -T2 --block-size=300000 -c fmt.raw > packed.img", &image, false, {kWritten}, Written, nullptr},
        {"zstd", "zstd -q -c fmt.raw > packed.img", &image, false, {kWritten}, Written, nullptr},
        {"zstd without its size", "zstd -q --no-content-size -c fmt.raw > packed.img", &image, true, {kWritten},
         Written, nullptr},
        {"vhd fixed", "qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on fmt.raw packed.img", &image,
         false, {kWritten}, Written, nullptr},
        {"vhd dynamic", "qemu-img convert -q -f raw -O vpc -o force_size=on fmt.raw packed.img", &smaller, false,
         {smallerAsked, kWritten}, Written, nullptr},
        {"vhdx", "qemu-img convert -q -f raw -O vhdx -o block_size=1M fmt.raw packed.img", &image, false, {kWritten},
         Written, nullptr},
        {"vhdx, checksum of the file",
         "qemu-img convert -q -f raw -O vhdx -o block_size=1M fmt.raw packed.img && sha256sum < packed.img > "
         "packed.img.sha256",
         &image, false, {kWritten}, Written, nullptr},
        {"vhdx, wrong checksum",
         "qemu-img convert -q -f raw -O vhdx fmt.raw packed.img && sha256sum < fmt.raw > packed.img.sha256",
         &image, false, {kMismatch, kNotWritten}, Written, nullptr},
        {"xz cut short", "xz -c fmt.raw | head -c 400000 > packed.img", &image, true, {damagedBefore, kNotWritten},
         Untouched, nullptr},
        {"zstd damaged", "zstd -q -c fmt.raw > packed.img", &image, false, {damagedPrefix + "...", kNotWritten},
         FirstChunkKept, FlipMiddle},
        {"zip stored", "zip -q -0 -j packed.img fmt.raw", &image, false, {kWritten}, Written, nullptr},
        {"zip deflated", "zip -q -j packed.img fmt.raw", &image, false, {kWritten}, Written, nullptr},
        {"zip64", "zip -q -fz -j packed.img fmt.raw", &image, false, {kWritten}, Written, nullptr},
        {"zip from a pipe", "zip -q - - < fmt.raw > packed.img", &image, false, {kWritten}, Written, nullptr},
        {"zip with a readme",
         "cp fmt.raw disk.img && zip -q packed.img readme.txt disk.img && rm disk.img",
         &image,
         false,
         {kWritten},
         Written,
         nullptr},
        {"zip Deflate64",
         "zip -q -0 -j packed.img fmt.raw",
         &image,
         false,
         {"Error!|The image in the zip file is compressed with Deflate64,\nwhich Korvane doesn't read!|error|OK",
          kNotWritten},
         Untouched,
         [](Bytes& file) {
             for (size_t at = 0; at + 4 < file.size(); ++at)
                 if (memcmp(&file[at], "PK\x01\x02", 4) == 0 || memcmp(&file[at], "PK\x03\x04", 4) == 0)
                     file[at + (file[at + 2] == 1 ? 10 : 8)] = 9;
         }},
        {"gzip cut short",
         "gzip -c fmt.raw | head -c 400000 > packed.img",
         &image,
         true,
         {damagedBefore, kNotWritten},
         Untouched,
         nullptr},
        {"zip cut short",
         "zip -q -j packed.img fmt.raw",
         &image,
         false,
         {damagedBefore, kNotWritten},
         Untouched,
         [](Bytes& file) { file.resize(file.size() / 2); }},
        {"gzip longer than its length",
         GzipWithLength(kFloppySize - 2048),
         &image,
         false,
         {smallerAsked, damagedPrefix + "1 472 512 Bytes...", kNotWritten},
         FirstChunkKept,
         nullptr},
        {"gzip's length larger than the drive",
         GzipWithLength(kFloppySize + 512),
         &image,
         false,
         {"Error!|The image in the file is larger than the physical disk!\nA compressed image is written on a disk "
          "of its size or larger only.|error|OK",
          kNotWritten},
         Untouched,
         nullptr},
        {"gzip shorter than its length",
         GzipWithLength(kFloppySize),
         &smaller,
         false,
         {damagedPrefix + "...", kNotWritten},
         FirstChunkKept,
         nullptr},
        {"gzip cut short in its first chunk",
         GzipWithLength(kFloppySize) + " && truncate -s 60 packed.img",
         &image,
         false,
         {"Error!|The image file is damaged after 0 Bytes of its disk image!\nNothing was written to the physical "
          "disk.|error|OK",
          kNotWritten},
         Untouched,
         nullptr},
        {"gzip cut short after its fourth chunk",
         GzipWithLength(kFloppySize) + " && truncate -s 5000 packed.img",
         &image,
         false,
         {"Error!|The image file is damaged after 70 255 Bytes of its disk image!\nThe physical disk holds part of "
          "the image,\nits first sectors as they were.|error|OK",
          kNotWritten},
         FirstChunkKept,
         nullptr},
        {"gzip damaged",
         GzipWithLength(kFloppySize),
         &image,
         false,
         {damagedPrefix + "...", kNotWritten},
         FirstChunkKept,
         FlipMiddle},
        {"zip damaged",
         "zip -q -j packed.img fmt.raw",
         &image,
         false,
         {damagedPrefix + "...", kNotWritten},
         FirstChunkKept,
         FlipMiddle},
    };
    const std::string folder = ts::LinuxPath(raw).substr(0, ts::LinuxPath(raw).rfind('/'));
    ASSERT_TRUE(ts::WriteWholeFile(readme, BytesOf("the image\n")));
    SetFileName(packed);
    // Runs `command` in the files' folder, the names in it replaced by those of the scratch files.
    const auto pack = [&](const std::string& line) {
        std::string command = "cd '" + folder + "' && rm -f packed.img packed.img.sha256 && " + line;
        for (const std::wstring* path : {&raw, &packed, &readme}) {
            const std::string real = ts::Narrow(FileNamePart(*path)), meant = real.substr(real.find('-') + 1);
            for (size_t at = command.find(meant); at != std::string::npos; at = command.find(meant, at + real.size()))
                command.replace(at, meant.size(), real);
        }
        std::string output;
        return ts::RunLinuxShell(command + " && echo made", &output, 30000) && output == "made\n";
    };
    ts::BoxWatcher watcher;
    std::vector<std::wstring> steps;
    onPosition_ = [&](int) {
        if (steps.empty() || steps.back() != state_->StatusStep)
            steps.push_back(state_->StatusStep);
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(ts::WriteWholeFile(raw, *row.content) && ts::WriteWholeFile(drive_, disk));
        ASSERT_TRUE(pack(row.command));
        if (row.change != nullptr) {
            Bytes file = Contents(packed);
            row.change(file);
            ASSERT_TRUE(ts::WriteWholeFile(packed, file));
        }
        watcher.Clear();
        if (row.boxes[0] == smallerAsked)
            watcher.Answer(IDYES);
        steps.clear();
        RunJob(JobKind::Restore);
        const Boxes seen = Seen(watcher);
        ASSERT_EQ(seen.size(), row.boxes.size()) << ::testing::PrintToString(seen);
        for (size_t k = 0; k < seen.size(); ++k) {
            const std::string& meant = row.boxes[k];
            if (meant.size() > 3 && meant.compare(meant.size() - 3, 3, "...") == 0)
                EXPECT_EQ(seen[k].substr(0, meant.size() - 3), meant.substr(0, meant.size() - 3));
            else
                EXPECT_EQ(seen[k], meant);
        }
        const bool read = std::find(steps.begin(), steps.end(), L"Reading image file") != steps.end();
        EXPECT_EQ(read, row.measured);
        const Bytes after = Contents(drive_);
        if (row.drive == Written) {
            Bytes expected = *row.content;
            expected.insert(expected.end(), disk.begin() + static_cast<long>(expected.size()), disk.end());
            EXPECT_TRUE(after == expected) << "the drive differs from the image";
            EXPECT_EQ(Status(), L"Bytes written: " + FormatByteCount(row.content->size()));
        } else if (row.drive == Untouched) {
            EXPECT_TRUE(after == disk) << "the drive was written";
        } else {
            EXPECT_TRUE(Bytes(after.begin(), after.begin() + 18432) == Bytes(disk.begin(), disk.begin() + 18432));
        }
    }

    // The verify pass compares the decoded image with the drive, byte for byte.
    ASSERT_TRUE(ts::WriteWholeFile(raw, image));
    ASSERT_TRUE(pack(GzipWithLength(kFloppySize)));
    AfterTransfer(
        [&] { WriteThrough(state_->DiskHandle, 1000000, Bytes{static_cast<unsigned char>(image[1000000] ^ 1)}); });
    watcher.Clear();
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{"Error!|Verify error at byte 1 000 000 :\nthe physical drive doesn't hold what "
                                    "was written!|error|OK",
                                    kNotWritten}));

    // Cancel while the file is read for its length: asked, and Yes ends the job before the drive.
    ASSERT_TRUE(pack("gzip -c fmt.raw > packed.img"));
    onPosition_ = [&](int position) {
        if (position > 0 && state_->StatusStep == L"Reading image file")
            RequestCancel();
    };
    ASSERT_TRUE(ts::WriteWholeFile(drive_, disk));
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Restore);
    EXPECT_EQ(Seen(watcher), (Boxes{"Warning|Cancel write image?|question|YesNo", kNotWritten}));
    EXPECT_EQ(Status(), L"Bytes written: 0 ");
    EXPECT_TRUE(Contents(drive_) == disk);
}

} // namespace

TEST(ImageFileName, DeviceNamesOtherPrefixedNamesAndWildcardsAreNoImageFiles)
{
    const wchar_t kVolume[] = L"\\\\?\\Volume{1b3f0000-0000-4000-8000-000000000001}";
    const struct {
        std::wstring name;
        bool image;
    } rows[] = {
        {L"C:\\images\\disk.hdd", true},
        {L"\\\\server\\share\\disk.hdd", true},
        {L"\\\\?\\C:\\images\\disk.hdd", true},
        {L"\\\\?\\UNC\\server\\share\\disk.hdd", true},
        {std::wstring(kVolume) + L"\\disk.hdd", true},
        {std::wstring(kVolume) + L"\\images\\disk.hdd", true},
        {L"", false},
        {L"\\\\.\\E:", false}, // the volume itself: a create would write over it
        {L"//./E:", false},
        {L"\\\\.\\PhysicalDrive1", false},
        {L"\\\\.\\NUL", false}, // what the full path makes of NUL, C:\nul.hdd, COM1
        {L"\\\\.\\COM1", false},
        {L"\\\\?\\E:", false},
        {L"\\\\?\\E:\\", false},
        {kVolume, false},
        {std::wstring(kVolume) + L"\\", false},
        {L"\\\\?\\UNC\\server\\share", false},
        {L"\\\\?\\UNC\\server\\share\\", false},
        {L"\\\\?\\GLOBALROOT\\Device\\Harddisk1\\Partition0", false},
        {L"\\\\?\\PhysicalDrive1", false},
        {L"C:\\images\\*.hdd", false},
        {L"C:\\images\\disk?.hdd", false},
        {L"\\\\?\\C:\\images\\d?sk.hdd", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsImageFileName(row.name.c_str()), row.image) << ts::Narrow(row.name);
}
