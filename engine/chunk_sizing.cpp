#include "engine/chunk_sizing.h"

#include <commctrl.h>

#include <algorithm>

#include "engine/app_state.h"
#include "resource.h"

uint32_t ChunkSizeFor(const DISK_GEOMETRY_EX& geometry, uint64_t availVirtual)
{
    const DISK_GEOMETRY& g = geometry.Geometry;
    // A bridge may report a geometry whose cylinder doesn't fit 32 bits: such a
    // cylinder is halved like one the address space can't hold.
    uint64_t chunk = static_cast<uint64_t>(g.TracksPerCylinder) * static_cast<uint64_t>(g.SectorsPerTrack) *
                     static_cast<uint64_t>(g.BytesPerSector);
    const uint64_t limit = std::min<uint64_t>(availVirtual >> 4, UINT32_MAX);
    bool halved = false;
    while (chunk > limit) {
        chunk >>= 1;
        halved = true;
    }
    if (halved && g.BytesPerSector != 0)
        chunk -= chunk % g.BytesPerSector;
    return static_cast<uint32_t>(chunk);
}

uint32_t ProgressShiftFor(int64_t totalBytes)
{
    uint32_t shift = 1;
    while (shift < 63 && (totalBytes >> shift) > INT32_MAX)
        ++shift;
    return shift;
}

int32_t ProgressPosition(const AppState& state, int64_t bytes)
{
    return static_cast<int32_t>(bytes >> state.ProgressShift);
}

bool ComputeChunkSize(AppState& state)
{
    state.MemoryStatus.dwLength = sizeof(state.MemoryStatus);
    if (!GlobalMemoryStatusEx(&state.MemoryStatus))
        return false;

    const DriveRecord& drive = state.DriveList[static_cast<size_t>(state.SelectedIndex)];
    state.ChunkSize = ChunkSizeFor(drive.DiskGeometry, state.MemoryStatus.ullAvailVirtual);
    SetJobLength(state, drive.DiskGeometry.DiskSize.QuadPart);
    return true;
}

void SetJobLength(AppState& state, int64_t totalBytes)
{
    state.TotalBytes = totalBytes;
    state.ProgressShift = ProgressShiftFor(state.TotalBytes);
    SendDlgItemMessageW(state.MainWindow, IDC_PROGRESS, PBM_SETRANGE32, 0,
                        static_cast<LPARAM>(ProgressPosition(state, state.TotalBytes)));
    SendDlgItemMessageW(state.MainWindow, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}
