// The pass after a transfer that reads what was written back and compares it with its source.
#pragma once

#include <windows.h>

#include <cstdint>

#include "engine/image_jobs.h"

enum class VerifyResult {
    Equal,     // both sides hold the same bytes, from the first to the last
    Failed,    // a difference or a read error, shown in its error box
    Cancelled, // the operator stopped the pass: the data arrived but is unproven
};

// Runs on the job thread after a transfer that succeeded and flushed, with
// DiskHandle and ImageHandle open. The side that was written is read back
// through a handle opened for this pass without system buffering, which takes
// the place of the handle the transfer wrote through: the drive in a restore,
// the image file in a create. The other side is read again through its own
// handle. Moves the progress bar from 0 to its end and polls Cancel after every chunk.
VerifyResult VerifyTransfer(JobKind kind);

// Bytes one step compares: `chunk` cut down to whole sectors of both sides,
// and at least one such sector. 0 when no sensible size exists.
uint32_t VerifyChunkSize(uint32_t chunk, DWORD driveSector, DWORD fileSector);
