// Jobs on simulated physical drives: the engine fixture with a sim::Stack
// installed for the whole test and drives added as \\.\PhysicalDriveN.
#pragma once

#include <memory>

#include "tests/engine/engine_fixture.h"
#include "tests/support/sim_storage.h"

class SimJobTest : public EngineTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A disk of `size` bytes holding Pattern(seed) in a backing file; listed and selected
    // with the geometry the stack answers (cylinders of 2 x 18 sectors). Returns its content.
    Bytes AddDisk(DWORD number, DWORD sectorSize, int64_t size, unsigned seed);
    // The same disk description AddDisk used, for changing it before adding it again.
    sim::Disk DiskOf(DWORD number, DWORD sectorSize, int64_t size);
    // A volume on `disk` covering [offset, offset + length), named by `guid`.
    sim::Volume VolumeOn(DWORD disk, const std::wstring& guid, int64_t offset, int64_t length);
    std::wstring BackingFile(DWORD number) const;
    std::vector<sim::CallRecord> CallsOn(const std::wstring& path) const;

    std::unique_ptr<sim::Stack> stack_;
};
