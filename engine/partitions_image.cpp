#include "engine/partitions_image.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "engine/app_state.h"
#include "engine/image_fit.h"
#include "engine/transfer.h"

namespace {

struct DriveReader {
    HANDLE disk;
    DWORD sector;
};

// The drive is open without system buffering: it reads whole sectors into aligned memory only.
bool ReadDriveAt(void* context, uint64_t offset, uint8_t* buffer, uint32_t size)
{
    const DriveReader& drive = *static_cast<const DriveReader*>(context);
    const uint64_t from = offset - offset % drive.sector;
    const uint64_t to = (offset + size + drive.sector - 1) / drive.sector * drive.sector;
    const DWORD length = static_cast<DWORD>(to - from);
    BYTE* whole = static_cast<BYTE*>(VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (whole == nullptr)
        return false;
    DWORD got = 0;
    const bool read = SeekTo(drive.disk, static_cast<int64_t>(from)) &&
                      ReadFile(drive.disk, whole, length, &got, nullptr) && got == length;
    if (read)
        std::memcpy(buffer, whole + (offset - from), size);
    VirtualFree(whole, 0, MEM_RELEASE);
    return read;
}

} // namespace

void PlanPartitionsOnly(AppState& app)
{
    const DISK_GEOMETRY_EX& geometry = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry;
    DriveReader drive = {app.DiskHandle, geometry.Geometry.BytesPerSector};
    const PartitionsImage partitions =
        PlanPartitionsImage(ReadDriveAt, &drive, static_cast<uint64_t>(geometry.DiskSize.QuadPart), drive.sector);
    app.ImagedWhole = partitions.whole;
    app.Plan = partitions.whole == WholeDrive::No ? partitions.plan : RestorePlan();
}

int64_t PlannedCreateBytes(const AppState& app)
{
    const int64_t driveSize = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.DiskSize.QuadPart;
    return PlannedImageBytes(app.Plan, driveSize) + PlannedPastEnd(app.Plan);
}
