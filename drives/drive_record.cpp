#include "drives/drive_record.h"

static_assert(sizeof(DISK_GEOMETRY_EX) == 40, "the geometry block is 40 bytes on every build");

bool DriveRecordLess(const DriveRecord& a, const DriveRecord& b)
{
    return a.Index < b.Index;
}

bool SameMedium(const DriveRecord& listed, const DriveRecord& found)
{
    return listed.DeviceID == found.DeviceID &&
           listed.DiskGeometry.DiskSize.QuadPart == found.DiskGeometry.DiskSize.QuadPart &&
           listed.DiskGeometry.Geometry.BytesPerSector == found.DiskGeometry.Geometry.BytesPerSector &&
           SameMediumIdentity(listed.Identity, found.Identity);
}
