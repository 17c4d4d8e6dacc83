// The sorted drive list, its combo box labels and the operator's selection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drives/drive_record.h"

struct AppState;

// The combo box shows the device path without its \\.\ prefix.
std::wstring ComboTextFor(const DriveRecord& drive);
void SortDriveList(std::vector<DriveRecord>& list);
// Selects position `index` of the drive list, or no drive for -1, and shows
// the drive's four detail lines. False (after an error box) when refused.
bool SelectDrive(AppState& state, int32_t index);
