#include "tests/engine/sim_fixture.h"

void SimJobTest::SetUp()
{
    EngineTest::SetUp();
    stack_.reset(new sim::Stack);
    ASSERT_TRUE(stack_->Installed());
}

void SimJobTest::TearDown()
{
    EngineTest::TearDown();
    if (stack_)
        EXPECT_EQ(stack_->OpenHandles(), 0) << "simulated handles left open";
    stack_.reset();
}

std::wstring SimJobTest::BackingFile(DWORD number) const
{
    return ts::TempPath(L"disk" + std::to_wstring(number) + L".bin");
}

sim::Disk SimJobTest::DiskOf(DWORD number, DWORD sectorSize, int64_t size)
{
    sim::Disk disk;
    disk.number = number;
    disk.sectorSize = sectorSize;
    disk.size = size;
    disk.heads = 2;
    disk.sectorsPerTrack = 18;
    disk.serial = "SIM" + std::to_string(number);
    disk.backingFile = BackingFile(number);
    return disk;
}

Bytes SimJobTest::AddDisk(DWORD number, DWORD sectorSize, int64_t size, unsigned seed)
{
    const sim::Disk disk = DiskOf(number, sectorSize, size);
    Scratch(disk.backingFile);
    const Bytes data = ts::Pattern(static_cast<size_t>(size), seed);
    EXPECT_TRUE(ts::WriteWholeFile(disk.backingFile, data));
    stack_->AddDisk(disk);
    drive_ = disk.backingFile;
    DISK_GEOMETRY_EX geometry = MakeGeometry(disk.heads, disk.sectorsPerTrack, sectorSize, size);
    SelectDrive(sim::DiskPath(number), geometry);
    return data;
}

sim::Volume SimJobTest::VolumeOn(DWORD disk, const std::wstring& guid, int64_t offset, int64_t length)
{
    sim::Volume volume;
    volume.guid = guid;
    volume.extents.push_back({disk, offset, length});
    return volume;
}

std::vector<sim::CallRecord> SimJobTest::CallsOn(const std::wstring& path) const
{
    std::vector<sim::CallRecord> calls;
    for (const sim::CallRecord& call : stack_->Calls())
        if (call.path == path)
            calls.push_back(call);
    return calls;
}
