// Drive discovery through WMI and the geometry probe.
#pragma once

#include <cstdint>
#include <string>

// Text for a geometry MediaType; values above the table read as unknown.
std::wstring MediaDescriptionFor(uint32_t mediaType);

// Connects to ROOT\CIMV2 once, on the user-interface thread.
bool InitWmi();
// Refills the drive list and the combo box; returns the number of drives.
int32_t EnumerateDrives();
