// A restore's refusals of its target drive, asked before any of its volumes is touched.
#pragma once

struct AppState;

// False (after the error box) when the drive open in state.DiskHandle says it is
// write-protected. A drive that can't tell goes on: its writes fail on their own.
bool CheckTargetWritable(AppState& state);
// False (after the error box) when the layout of the drive open in state.DiskHandle
// holds a dynamic disk's or a storage pool's partition (see LayoutJoinsOtherDisks).
// A drive without a readable layout goes on: it has no such partition to break.
bool CheckTargetStandsAlone(AppState& state);
