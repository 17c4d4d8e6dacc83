#include "drives/drive_record.h"

static_assert(sizeof(DISK_GEOMETRY_EX) == 40, "the geometry block is 40 bytes on every build");

bool DriveRecordLess(const DriveRecord& a, const DriveRecord& b)
{
    return a.Index < b.Index;
}
