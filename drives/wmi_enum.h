// Drive discovery through WMI and the geometry probe.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <string>

#include "drives/drive_record.h"

// Text for a geometry MediaType; values above the table read as unknown.
std::wstring MediaDescriptionFor(uint32_t mediaType);

// The device path a WMI row reports, in the form the drive opens under
// (a path handed out with every backslash doubled gets single ones).
std::wstring DevicePathFromWmi(const std::wstring& deviceId);
// Stores a probed geometry block in the record together with its media text.
void TakeGeometry(DriveRecord& drive, const DISK_GEOMETRY_EX& geometry);

// Connects to ROOT\CIMV2 once, on the user-interface thread.
bool InitWmi();
// Refills the drive list and the combo box; returns the number of drives.
int32_t EnumerateDrives();
