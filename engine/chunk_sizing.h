// How many bytes one read/write step moves, and how the progress bar counts.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>

struct AppState;

// One cylinder of the drive, halved while it exceeds a sixteenth of the free
// address space. A halved chunk is cut down to whole sectors: the drive is
// opened without system buffering, where partial sectors cannot be read.
uint32_t ChunkSizeFor(const DISK_GEOMETRY_EX& geometry, uint64_t availVirtual);

// Bytes per progress unit as a shift: 1 (2 bytes per unit) below 4 GiB; larger
// drives get the smallest shift that keeps the high limit inside the control's
// signed 32-bit range.
uint32_t ProgressShiftFor(int64_t totalBytes);

// Sets ChunkSize, TotalBytes and ProgressShift for the selected drive and
// resets the progress bar. False only when the memory status can't be read.
bool ComputeChunkSize(AppState& state);
// Sets TotalBytes and ProgressShift for a step that moves `totalBytes`, and resets the bar.
void SetJobLength(AppState& state, int64_t totalBytes);

// The bar position for a byte count under the current scale.
int32_t ProgressPosition(const AppState& state, int64_t bytes);
