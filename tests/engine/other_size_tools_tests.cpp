// Restores of images of another size than the drive, onto simulated drives whose
// backing files scripts/check-other-sizes.sh made with the Linux partitioning and
// FAT tools, and judges with them afterwards. Without that script (KORVANE_TOOL_DIR
// unset) the test is skipped.
#include "tests/engine/sim_fixture.h"

#include "report/byte_count.h"

#include <fstream>
#include <sstream>

namespace {

using Boxes = std::vector<std::string>;
const std::string kWritten = "Korvane:|The disk image was successfully written!|information|OK";
const std::string kNotWritten = "Korvane:|The disk image wasn't written!|warning|OK";
const std::string kSizes = "Error!|Sizes of selected file and selected disk aren't equal!|error|OK";

using OtherSizeTools = SimJobTest;

// Each line of cases.txt: image file, drive file, the drive's sector size, and what
// must come of it. A restore: "written" (asked, Yes, done), "refused" or "sector" (the
// table is made for other sectors), the drive's bytes untouched. A create of the partitions
// only, with the image's length: "created", or "tampered" (its last byte changed behind
// the job's back: the verify finds it), the drive only read.
TEST_F(OtherSizeTools, ImagesMadeByThePartitioningToolsGoOntoDrivesOfOtherSizes)
{
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"KORVANE_TOOL_DIR", folder, MAX_PATH) == 0)
        GTEST_SKIP() << "run by scripts/check-other-sizes.sh";
    const std::wstring dir = std::wstring(folder) + L"\\";
    std::ifstream list(ts::Narrow(dir + L"cases.txt"));
    ASSERT_TRUE(list.good());
    std::string line;
    DWORD number = 2;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string image, drive, expect;
        DWORD sector = 0;
        if (!(fields >> image >> drive >> sector >> expect))
            continue;
        SCOPED_TRACE(line);
        sim::Disk disk = DiskOf(++number, sector, 0);
        // Chunks of 2 MiB: a table moved to a smaller drive's end lies in a chunk after the first.
        disk.heads = 64;
        disk.sectorsPerTrack = 64 * 512 / sector;
        disk.backingFile = dir + std::wstring(drive.begin(), drive.end());
        disk.size = FileSize(disk.backingFile);
        disk.layout = sim::Layout::FromContent;
        stack_->AddDisk(disk);
        drive_ = disk.backingFile;
        SelectDrive(sim::DiskPath(number), MakeGeometry(disk.heads, disk.sectorsPerTrack, sector, disk.size));
        SetFileName(dir + std::wstring(image.begin(), image.end()));
        const Bytes before = Contents(drive_);
        int64_t length = 0;
        if (expect == "created" || expect == "tampered") {
            ASSERT_TRUE(fields >> length);
            if (expect == "tampered")
                AfterTransfer([&] { WriteThrough(state_->ImageHandle, length - 1, Bytes{0x5A}); });
            ts::BoxWatcher watcher;
            state_->PartitionsOnly = true;
            RunJob(JobKind::Create);
            state_->PartitionsOnly = false;
            onPosition_ = nullptr;
            std::wstring imaged = FormatByteCount(static_cast<uint64_t>(length));
            imaged.pop_back();
            const std::string created = "Korvane:|The disk image was successfully created!\nIt holds the partitions: " +
                                        ts::Narrow(imaged + L" of " + FormatByteCount(disk.size)) +
                                        "Bytes.|information|OK";
            const std::string differs = "Error!|Verify error at byte " + ts::Narrow(FormatByteCount(static_cast<uint64_t>(length - 1))) +
                                        ":\nthe image file doesn't hold what was written!|error|OK";
            if (expect == "created") {
                EXPECT_EQ(Seen(watcher), Boxes{created});
                EXPECT_EQ(FileSize(dir + std::wstring(image.begin(), image.end())), length);
            } else {
                EXPECT_EQ(Seen(watcher), (Boxes{differs, "Korvane:|The disk image wasn't created!|warning|OK"}));
            }
            EXPECT_TRUE(Contents(drive_) == before);
            stack_->RemoveDisk(number);
            continue;
        }

        ts::BoxWatcher watcher;
        watcher.Answer(IDYES);
        RunJob(JobKind::Restore);
        const Boxes seen = Seen(watcher);
        if (expect == "written") {
            ASSERT_EQ(seen.size(), 2u);
            EXPECT_EQ(seen[0].substr(0, 37), "Write data to disk|The image file is ");
            EXPECT_EQ(seen[1], kWritten);
        } else {
            const std::string sectors =
                "Error!|The image file's partition table is made for " + std::to_string(sector == 512 ? 4096 : 512) +
                "-byte sectors,\nthe physical disk has " + std::to_string(sector) + "-byte sectors!|error|OK";
            EXPECT_EQ(seen, (Boxes{expect == "sector" ? sectors : kSizes, kNotWritten}));
            EXPECT_TRUE(Contents(drive_) == before) << "a refused restore changed the drive";
            EXPECT_EQ(stack_->BytesWritten(number), 0);
        }
        stack_->RemoveDisk(number);
    }
}

} // namespace
