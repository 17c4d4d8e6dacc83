// The verify pass through the simulated storage stack: media that take every
// write and still don't hold it, on a raw disk of 4096-byte sectors.
#include "tests/engine/sim_fixture.h"

namespace {

using Boxes = std::vector<std::string>;
const std::string kNotWritten = "Korvane:|The disk image wasn't written!|warning|OK";
const DWORD kSector = 4096;
const int64_t kChunk = 2 * 18 * kSector;
const int64_t kSize = 16 * kChunk;

std::string DriveDiffers(const char* offset)
{
    return std::string("Error!|Verify error at byte ") + offset +
           " :\nthe physical drive doesn't hold what was written!|error|OK";
}

using SimVerifyTest = SimJobTest;

TEST_F(SimVerifyTest, CounterfeitDroppingAndUnreadableMediaNeverReportSuccess)
{
    const size_t half = static_cast<size_t>(kSize / 2);
    const int64_t dropFrom = 10 * kChunk + 3 * kSector;
    struct Case {
        const char* name;
        int64_t wrapAt, dropFrom, readErrorAt;
        std::string box;
        const wchar_t* status;
    } cases[] = {
        // Writes past half the size land on the start; the first chunk, written last, is whole
        // again: the second is the first to answer with the second half's bytes.
        {"wraps at half its size", kSize / 2, 0, -1, DriveDiffers("147 456"), L"Bytes verified: 147 456 "},
        // One sector's write is taken and lost: the old bytes stay.
        {"drops a write", 0, dropFrom, -1, DriveDiffers("1 486 858"), L"Bytes verified: 1 486 858 "},
        // The written medium can't be read back in its sixth chunk.
        {"fails a read", 0, 0, 5 * kChunk + 100, "Error!|Read disk error|error|OK", L"Bytes verified: 737 280 "},
    };
    DWORD number = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Disk disk = DiskOf(++number, kSector, kSize);
        disk.wrapAt = c.wrapAt;
        disk.dropFrom = c.dropFrom;
        disk.dropTo = c.dropFrom != 0 ? c.dropFrom + kSector : 0;
        disk.readErrorAt = c.readErrorAt;
        Scratch(disk.backingFile);
        const Bytes before = ts::Pattern(static_cast<size_t>(kSize), 50);
        ASSERT_TRUE(ts::WriteWholeFile(disk.backingFile, before));
        stack_->AddDisk(disk);
        SelectDrive(sim::DiskPath(number), MakeGeometry(2, 18, kSector, kSize));

        Bytes image = ts::Pattern(static_cast<size_t>(kSize), 51);
        // The halves start alike for 5 000 bytes; the dropped sector starts with the bytes it held.
        std::copy(image.begin(), image.begin() + 5000, image.begin() + half);
        image[half + 5000] = static_cast<unsigned char>(image[5000] ^ 0x10);
        std::copy(before.begin() + dropFrom, before.begin() + dropFrom + 10, image.begin() + dropFrom);
        image[dropFrom + 10] = static_cast<unsigned char>(before[dropFrom + 10] ^ 0x10);
        const std::wstring path = Scratch(L"sim-verify.hdd");
        ASSERT_TRUE(ts::WriteWholeFile(path, image));
        SetFileName(path);

        stack_->ClearCalls();
        ts::BoxWatcher watcher;
        RunJob(JobKind::Restore);
        EXPECT_EQ(Seen(watcher), (Boxes{c.box, kNotWritten}));
        EXPECT_EQ(Status(), c.status);
        // The pass read the disk through a handle of its own, for reading only, in whole sectors.
        const std::vector<sim::CallRecord> calls = CallsOn(sim::DiskPath(number));
        const int opens = sim::CountCalls(calls, "CreateFileW");
        ASSERT_EQ(opens, 2);
        const int reopen =
            sim::FindCall(calls, "CreateFileW", 0, static_cast<size_t>(sim::FindCall(calls, "CreateFileW") + 1));
        EXPECT_EQ(calls[static_cast<size_t>(reopen)].code, static_cast<DWORD>(GENERIC_READ));
        EXPECT_LT(sim::FindCall(calls, "FlushFileBuffers"), reopen);
        for (const sim::CallRecord& call : calls)
            if (call.function == "ReadFile" && call.offset >= 0) {
                EXPECT_EQ(call.length % kSector, 0u);
                EXPECT_EQ(call.offset % kSector, 0);
            }
    }
}

TEST_F(SimVerifyTest, ReopenSharesReadingAndWaitsOutAnotherOpener)
{
    const Bytes image = ts::Pattern(static_cast<size_t>(kSize), 61);
    const std::wstring path = Scratch(L"sim-reopen.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(path, image));
    SetFileName(path);
    ts::BoxWatcher watcher;
    DWORD number = 20;
    // The system takes a look at a drive as soon as the job closes it: a reader that
    // shares, or one that holds it alone for a moment.
    for (bool sharingReader : {true, false}) {
        SCOPED_TRACE(sharingReader ? "a reader that shares" : "an opener that holds it alone");
        AddDisk(++number, kSector, kSize, 60);
        HANDLE reader = INVALID_HANDLE_VALUE;
        if (sharingReader)
            stack_->AddHook({"CreateFileW", 0, sim::DiskPath(number), 2, [&](const sim::CallRecord&) {
                                 reader = CreateFileW(sim::DiskPath(number).c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                      nullptr);
                             }});
        else
            stack_->AddFault({"CreateFileW", 0, sim::DiskPath(number), ERROR_SHARING_VIOLATION, 1, 4});
        watcher.Clear();
        RunJob(JobKind::Restore);
        if (reader != INVALID_HANDLE_VALUE)
            CloseHandle(reader);
        EXPECT_EQ(Seen(watcher), Boxes{"Korvane:|The disk image was successfully written!|information|OK"});
        EXPECT_TRUE(Contents(drive_) == image);
    }
}

} // namespace
