// A create from a failing drive through the simulated stack: bad areas and weak
// sectors, the question, the three passes, Cancel in each of them, the map beside
// the image, and a later run that continues what the map left.
#include "tests/engine/sim_fixture.h"

#include <memory>

#include "engine/rescue_map.h"
#include "report/byte_count.h"

namespace {

using Boxes = std::vector<std::string>;
const DWORD kSector = 4096;
const int64_t kChunk = 2 * 18 * kSector;
// Ten chunks and three sectors: the last chunk is short.
const int64_t kSize = 10 * kChunk + 3 * kSector;
const DWORD kNumber = 5;

const std::string kQuestion = "Read image from disk|Can't read the physical disk at byte 0 !\nRead around the unreadable "
                              "parts and go on?\n(the image holds zeros where nothing could be read)|warning|YesNo";
const std::string kCancelQuestion =
    "Warning|Cancel the rescue?\n(what was read is kept, the map tells what wasn't)|question|YesNo";
const std::string kContinueQuestion =
    "Write image file|The image file holds an unfinished rescue of a disk of this size.\nCONTINUE it ?|question|YesNo";
// Sectors 0 (the start), 100-102 (the middle), 143-144 (across a chunk border), 362 (the last).
const int64_t kBad[][2] = {{0, 1}, {100, 3}, {143, 2}, {362, 1}};
const int64_t kBadBytes = 7 * kSector;
const int64_t kWeakSector = 200;

// "28 672": a byte count as the boxes write it inside a sentence.
std::string Count(int64_t bytes)
{
    std::string text = ts::Narrow(FormatByteCount(static_cast<uint64_t>(bytes)));
    text.pop_back();
    return text;
}

class SimRescueTest : public SimJobTest {
  protected:
    // The failing drive: the bad areas always fail, the weak sector fails its first three reads.
    sim::Disk FailingDisk(DWORD sector = kSector)
    {
        sim::Disk disk = DiskOf(kNumber, sector, kSize);
        for (const auto& bad : kBad)
            disk.badAreas.push_back({bad[0] * kSector, bad[1] * kSector, -1});
        disk.badAreas.push_back({kWeakSector * kSector, kSector, 3});
        disk.failedReadDelayMs = 2;
        return disk;
    }

    Bytes AddFailingDisk() { return Add(FailingDisk()); }

    Bytes Add(const sim::Disk& disk)
    {
        Scratch(disk.backingFile);
        const Bytes data = ts::Pattern(static_cast<size_t>(kSize), 61);
        EXPECT_TRUE(ts::WriteWholeFile(disk.backingFile, data));
        stack_->AddDisk(disk);
        drive_ = disk.backingFile;
        SelectDrive(sim::DiskPath(kNumber), MakeGeometry(2, 18, disk.sectorSize, kSize));
        image_ = Scratch(L"rescue.hdd");
        map_ = Scratch(L"rescue.hdd.map");
        Scratch(L"rescue.hdd.map.tmp");
        SetFileName(image_);
        return data;
    }

    RescueMap ReadMap()
    {
        Bytes text;
        RescueMap map;
        EXPECT_TRUE(ts::ReadWholeFile(map_, &text)) << "no map beside the image";
        EXPECT_TRUE(ParseRescueMap(std::string(text.begin(), text.end()), &map));
        return map;
    }

    // What the image must hold: the drive's bytes where the map says read, zeros elsewhere.
    static Bytes Expected(const Bytes& data, const RescueMap& map)
    {
        Bytes expected(data.size(), 0);
        for (const RescueArea& area : map.areas)
            if (area.status == kAreaRead)
                std::copy(data.begin() + area.pos, data.begin() + area.pos + area.size, expected.begin() + area.pos);
        return expected;
    }

    static std::string BadAreas(const RescueMap& map)
    {
        std::string text;
        for (const RescueArea& area : map.areas)
            if (area.status != kAreaRead)
                text += std::to_string(area.pos / kSector) + "+" + std::to_string(area.size / kSector) +
                        area.status + " ";
        return text;
    }

    int FailedReads() const
    {
        int failed = 0;
        for (const sim::CallRecord& call : CallsOn(sim::DiskPath(kNumber)))
            failed += call.function == "ReadFile" && !call.ok;
        return failed;
    }

    // "0 100 ": the failed reads of `length` bytes in order, by sector of kSector bytes.
    std::string FailedReadsOf(DWORD length) const
    {
        std::string reads;
        for (const sim::CallRecord& call : CallsOn(sim::DiskPath(kNumber)))
            if (call.function == "ReadFile" && call.length == length && !call.ok)
                reads += std::to_string(call.offset / kSector) + " ";
        return reads;
    }

    // The outcome box of a rescue: `middle` tells the bytes, the map is named without its folder.
    std::string Outcome(const std::string& middle) const
    {
        const std::string name = ts::Narrow(map_.substr(map_.find_last_of(L'\\') + 1));
        return "Korvane:|The disk image was created,\nbut " + middle + "\n(they hold zeros: see " + name + ")|warning|OK";
    }

    std::wstring image_, map_;
};

TEST_F(SimRescueTest, ReadsAroundBadAreasAndMapsExactlyTheBadSectors)
{
    const Bytes data = AddFailingDisk();
    // A map of an unfinished rescue without its image: nothing to continue. A create that fails
    // leaves it; one that rescues writes its own.
    const std::string stale = "0 ? 1\n0 " + std::to_string(kSize) + " ?\n";
    ASSERT_TRUE(ts::WriteWholeFile(map_, Bytes(stale.begin(), stale.end())));
    ts::BoxWatcher watcher;
    // No: the create ends as it always did.
    watcher.Answer(IDNO);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, "Error!|Read disk error|error|OK",
                                    "Korvane:|The disk image wasn't created!|warning|OK"}));
    EXPECT_EQ(FileSize(map_), static_cast<int64_t>(stale.size()));

    // Yes, with the verify on (the failed run left no file to replace).
    watcher.Clear();
    stack_->ClearCalls();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, Outcome("28 672 Bytes couldn't be read!")}));
    EXPECT_EQ(Status(), L"Bytes read: 1 458 176, unreadable: 28 672 ");
    const RescueMap map = ReadMap();
    EXPECT_EQ(BadAreas(map), "0+1- 100+3- 143+2- 362+1- ") << "the weak sector was scraped";
    EXPECT_EQ(map.currentStatus, kAreaRead);
    EXPECT_EQ(BytesWithStatus(map, kAreaBad), kBadBytes);
    Bytes expected = data;
    for (const auto& bad : kBad)
        std::fill(expected.begin() + bad[0] * kSector, expected.begin() + (bad[0] + bad[1]) * kSector, 0);
    EXPECT_TRUE(Contents(image_) == expected) << "a readable byte is missing or a bad one isn't zero";
    // Copy: 6 chunks fail; split: 4 blocks of 64 KiB, read from both ends of each failed area
    // (the failed chunks on both sides of the border are one area, bad at 100 and 143, and
    // one block on each side finds them); scrape: every sector once; retry: the bad ones once
    // more, and the weak one reads. The verify read none.
    EXPECT_EQ(FailedReads(), 6 + 4 + 8 + 7);
    EXPECT_EQ(FailedReadsOf(kSector), "0 100 101 102 143 144 200 362 0 100 101 102 143 144 362 ")
        << "every sector is read once before any is tried again";
}

TEST_F(SimRescueTest, CancelInEachPassKeepsWhatWasReadAndALaterRunContinuesIt)
{
    const struct Case {
        const char* name;
        DWORD length; // the pass's reads
        int nth;      // the read of that length that is followed by Cancel
        char status;
        const wchar_t* step; // the status line while the pass runs
    } cases[] = {
        {"copy", static_cast<DWORD>(kChunk), 2, kAreaNotTried, L"Rescuing physical drive \u00B7 pass 1 of 4"},
        {"split", 65536, 2, kAreaNotSplit, L"Rescuing physical drive \u00B7 pass 2 of 4"},
        {"scrape", kSector, 3, kAreaNotScraped, L"Rescuing physical drive \u00B7 pass 3 of 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = AddFailingDisk();
        state_->VerifyAfterWriting = false;
        std::string mapAtStart;
        std::wstring statusInPass;
        auto seen = std::make_shared<int>(0);
        sim::Hook hook;
        hook.function = "ReadFile";
        hook.path = sim::DiskPath(kNumber);
        hook.nth = 0;
        hook.action = [&, seen](const sim::CallRecord& call) {
            if (call.length != c.length || ++*seen != c.nth)
                return;
            Bytes text;
            if (ts::ReadWholeFile(map_, &text))
                mapAtStart.assign(text.begin(), text.end());
            statusInPass = Status();
            RequestCancel();
        };
        stack_->AddHook(hook);
        ts::BoxWatcher watcher;
        watcher.Answer(IDYES);
        watcher.Answer(IDYES);
        RunJob(JobKind::Create);
        const RescueMap cancelled = ReadMap();
        const int64_t unread = kSize - BytesWithStatus(cancelled, kAreaRead);
        EXPECT_EQ(Seen(watcher),
                  (Boxes{kQuestion, kCancelQuestion,
                         Outcome("the rescue was cancelled and " + Count(unread) +
                                 " Bytes weren't read!")}));
        EXPECT_EQ(statusInPass.substr(0, wcslen(c.step)), c.step);
        EXPECT_EQ(cancelled.currentStatus, c.status);
        EXPECT_GT(BytesWithStatus(cancelled, c.status), 0) << BadAreas(cancelled);
        EXPECT_EQ(FileSize(image_), kSize);
        EXPECT_TRUE(Contents(image_) == Expected(data, cancelled)) << "the image and its map disagree";
        if (c.status == kAreaNotTried) {
            // Written as the rescue started: the failed first chunk, nothing else tried yet.
            RescueMap first;
            ASSERT_TRUE(ParseRescueMap(mapAtStart, &first)) << mapAtStart;
            EXPECT_EQ(BadAreas(first), "0+36* 36+327? ");
        }

        // Continued: only what the map left is read, and the image ends as a whole rescue.
        stack_->ClearCalls();
        watcher.Clear();
        watcher.Answer(IDYES);
        RunJob(JobKind::Create);
        EXPECT_EQ(Seen(watcher), (Boxes{kContinueQuestion, Outcome("28 672 Bytes couldn't be read!")}));
        for (const sim::CallRecord& call : CallsOn(sim::DiskPath(kNumber)))
            if (call.function == "ReadFile")
                for (const RescueArea& area : cancelled.areas)
                    EXPECT_FALSE(area.status == kAreaRead && call.offset < area.pos + area.size &&
                                 area.pos < call.offset + call.length)
                        << "read again at " << call.offset;
        const RescueMap done = ReadMap();
        EXPECT_EQ(BadAreas(done), "0+1- 100+3- 143+2- 362+1- ");
        EXPECT_TRUE(Contents(image_) == Expected(data, done));
        // One stack at a time: the next case starts on a new one.
        stack_.reset();
        stack_.reset(new sim::Stack);
    }
}

TEST_F(SimRescueTest, CancelDuringASlowReadIsAskedAtOnceAndStopsTheRescueAfterThatRead)
{
    // A failing drive takes seconds to give up a read; the first slow read of the copy pass
    // is the chunk at sector 72, whose sectors 100-102 are bad.
    sim::Disk disk = FailingDisk();
    disk.failedReadDelayMs = 2500;
    Add(disk);
    state_->VerifyAfterWriting = false;
    const int64_t slow = 2 * kChunk;
    auto started = std::make_shared<volatile LONG>(0);
    sim::Hook hook;
    hook.function = "ReadFile";
    hook.path = sim::DiskPath(kNumber);
    hook.nth = 0;
    hook.action = [slow, started](const sim::CallRecord& call) {
        if (call.offset == slow)
            InterlockedExchange(started.get(), 1);
    };
    stack_->AddHook(hook);
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([started] { return *started != 0; }, 60000));
    const DWORD readStart = GetTickCount();
    ts::PumpUntil([] { return false; }, 1300);
    EXPECT_EQ(Status(), L"Rescuing physical drive \u00B7 pass 1 of 4 \u00B7 waiting 1 s for the disk to answer a read");
    // Pressed as on the window's thread: the question is there and answered before the read ends.
    RequestCancel();
    EXPECT_LT(GetTickCount() - readStart, 2500u) << "the question waited for the read";
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, kCancelQuestion}));
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 30000));
    const std::vector<sim::CallRecord> calls = CallsOn(sim::DiskPath(kNumber));
    int64_t lastRead = -1;
    for (const sim::CallRecord& call : calls)
        if (call.function == "ReadFile")
            lastRead = call.offset;
    EXPECT_EQ(lastRead, slow) << "the rescue read on after the read in flight";
    const RescueMap cancelled = ReadMap();
    EXPECT_EQ(BadAreas(cancelled), "0+36* 72+36* 108+255? ");
    EXPECT_EQ(Seen(watcher).back(), Outcome("the rescue was cancelled and " +
                                            Count(kSize - BytesWithStatus(cancelled, kAreaRead)) + " Bytes weren't read!"));
    EXPECT_TRUE(Contents(image_) == Expected(Contents(drive_), cancelled));
}

TEST_F(SimRescueTest, CancelWhileTheImageIsHashedKeepsItWithoutAChecksumFile)
{
    const Bytes data = AddFailingDisk();
    state_->VerifyAfterWriting = false;
    // An older image's checksum file: it must not stay beside the rescued bytes.
    ASSERT_TRUE(ts::WriteWholeFile(image_ + L".sha256", Bytes(70, 'a')));
    std::wstring status;
    stack_->Watch(image_);
    sim::Hook hook;
    hook.function = "ReadFile";
    hook.path = image_;
    hook.nth = 2;
    hook.action = [&](const sim::CallRecord&) {
        status = Status();
        RequestCancel();
    };
    stack_->AddHook(hook);
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    std::string outcome = Outcome("28 672 Bytes couldn't be read!");
    outcome.insert(outcome.find("|warning"), "\nThe checksum of the image wasn't computed!");
    EXPECT_EQ(Seen(watcher),
              (Boxes{kQuestion, "Warning|Cancel the checksum?\n(the image is kept without one)|question|YesNo", outcome}));
    EXPECT_EQ(status.substr(0, 40), L"Computing the checksum of the image file");
    EXPECT_EQ(FileSize(image_ + L".sha256"), -1);
    const RescueMap map = ReadMap();
    EXPECT_EQ(BadAreas(map), "0+1- 100+3- 143+2- 362+1- ");
    EXPECT_TRUE(Contents(image_) == Expected(data, map));
}

TEST_F(SimRescueTest, ScrapesInPhysicalSectorsWhereTheDriveTellsThem)
{
    // A disk of 512-byte sectors on 4096-byte physical ones: its bad physical sector fails eight reads.
    for (const DWORD physical : {4096u, 0u}) {
        SCOPED_TRACE(physical);
        sim::Disk disk = FailingDisk(512);
        disk.badAreas = {{40 * kSector, kSector, -1}};
        disk.physicalSectorSize = physical;
        Add(disk);
        state_->VerifyAfterWriting = false;
        ts::BoxWatcher watcher;
        watcher.Answer(IDYES);
        RunJob(JobKind::Create);
        EXPECT_EQ(BadAreas(ReadMap()), "40+1- ");
        int failed[2] = {};
        for (const sim::CallRecord& call : CallsOn(sim::DiskPath(kNumber)))
            if (call.function == "ReadFile" && !call.ok && (call.length == 512 || call.length == kSector))
                ++failed[call.length == 512];
        // Once, then once more: physical sectors where the drive tells them, else logical ones.
        EXPECT_EQ(failed[0], physical != 0 ? 2 : 0);
        EXPECT_EQ(failed[1], physical != 0 ? 0 : 16);
        stack_.reset();
        stack_.reset(new sim::Stack);
    }
}

TEST_F(SimRescueTest, ADriveThatGoesAwayStopsTheRescueAndALaterRunContinuesIt)
{
    // It falls off the bus after the copy's failed read and three of the rescue's.
    sim::Disk disk = FailingDisk();
    disk.vanishAfterReads = 4;
    const Bytes data = Add(disk);
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    const std::string name = ts::Narrow(map_.substr(map_.find_last_of(L'\\') + 1));
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, "Korvane:|The physical disk was disconnected during the rescue!\n" +
                                                   Count(kSize - kChunk) + " Bytes weren't read: the image and " +
                                                   name + " keep what was,\ncontinue the rescue when the disk is back."
                                                          "|warning|OK"}));
    EXPECT_EQ(FailedReads(), 4) << "nothing was read around after the drive went";
    const RescueMap lost = ReadMap();
    EXPECT_EQ(BadAreas(lost), "0+36* 72+72* 144+219? ");
    EXPECT_EQ(lost.currentStatus, kAreaNotTried);
    EXPECT_TRUE(Contents(image_) == Expected(data, lost));

    // Back: the next create continues where the rescue stopped.
    disk.vanishAfterReads = 0;
    stack_->AddDisk(disk);
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kContinueQuestion, Outcome("28 672 Bytes couldn't be read!")}));
    const RescueMap done = ReadMap();
    EXPECT_EQ(BadAreas(done), "0+1- 100+3- 143+2- 362+1- ");
    EXPECT_TRUE(Contents(image_) == Expected(data, done));
}

TEST_F(SimRescueTest, ADriveThatReadsNothingAsksWhetherToGoOnAndScatteredBadSectorsDoNot)
{
    sim::Disk disk = FailingDisk();
    disk.badAreas = {{0, kSize, -1}};
    Add(disk);
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    const auto goOn = [](const char* reads) {
        return std::string("Read image from disk|The physical disk failed its last ") + reads +
               " reads, all over the disk!\nGo on reading around the unreadable parts?\n"
               "(No stops the rescue: the image and its map keep what was read)|warning|YesNo";
    };
    // The copy pass fails 10 chunks, the split pass one block from each end, the scrape the
    // rest; the question comes after 16 stretches of a chunk's length, once.
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, goOn("121"),
                                    Outcome(Count(kSize) + " Bytes couldn't be read!")}));
    EXPECT_EQ(BytesWithStatus(ReadMap(), kAreaBad), kSize);

    // Twenty bad sectors with good ones between: the retry pass fails all of them in a
    // row, and that is no drive that stopped reading.
    stack_.reset();
    stack_.reset(new sim::Stack);
    disk.badAreas.clear();
    for (int64_t sector = 0; sector < 360; sector += 18)
        disk.badAreas.push_back({sector * kSector, kSector, -1});
    Add(disk);
    watcher.Clear();
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kQuestion, Outcome(Count(20 * kSector) + " Bytes couldn't be read!")}));
}

TEST_F(SimRescueTest, ContinuesTheStandardToolsMapAndTheToolReadsOurs)
{
    const Bytes data = AddFailingDisk();
    // The standard tool's run over the same bad sectors, stopped at 512 KiB and without its
    // scrape: its image ends there, its map tells the rest as not tried.
    std::string bad = "0 + 1\n";
    int64_t at = 0;
    for (const auto& area : kBad) {
        if (area[0] * kSector >= 0x80000)
            break;
        if (area[0] * kSector > at)
            bad += std::to_string(at) + " " + std::to_string(area[0] * kSector - at) + " +\n";
        bad += std::to_string(area[0] * kSector) + " " + std::to_string(area[1] * kSector) + " -\n";
        at = (area[0] + area[1]) * kSector;
    }
    bad += std::to_string(at) + " " + std::to_string(kSize - at) + " +\n";
    const std::wstring badMap = Scratch(L"bad.map");
    ASSERT_TRUE(ts::WriteWholeFile(badMap, Bytes(bad.begin(), bad.end())));
    std::string output;
    ASSERT_TRUE(ts::RunLinuxShell("ddrescue -q -n -s 0x80000 -b 4096 --test-mode='" + ts::LinuxPath(badMap) + "' '" +
                                      ts::LinuxPath(drive_) + "' '" + ts::LinuxPath(image_) + "' '" +
                                      ts::LinuxPath(map_) + "'",
                                  &output, 30000));
    ASSERT_EQ(FileSize(image_), 0x80000);
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    RunJob(JobKind::Create);
    EXPECT_EQ(Seen(watcher), (Boxes{kContinueQuestion, Outcome("28 672 Bytes couldn't be read!")}));
    const RescueMap done = ReadMap();
    EXPECT_EQ(BadAreas(done), "0+1- 100+3- 143+2- 362+1- ");
    EXPECT_TRUE(Contents(image_) == Expected(data, done));
    // And it reads the map this program wrote.
    ASSERT_TRUE(ts::RunLinuxShell("ddrescuelog -b 4096 -l- '" + ts::LinuxPath(map_) + "'", &output, 30000));
    EXPECT_EQ(output, "0\n100\n101\n102\n143\n144\n362\n");
}

} // namespace
