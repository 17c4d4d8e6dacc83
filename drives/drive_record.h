// One physical drive as the enumeration found it.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <string>

#include "drives/medium_identity.h"

struct DriveRecord {
    uint32_t Index = 0;            // WMI Index: the system's number of the drive
    std::wstring DeviceID;         // device path, \\.\PHYSICALDRIVEn
    std::wstring Caption;
    std::wstring InterfaceType;
    std::wstring MediaDescription;
    DISK_GEOMETRY_EX DiskGeometry; // exactly as the drive returned it
    MediumIdentity Identity;       // serial number and layout identity, as last seen
};

// The drive list is ordered by Index, compared as unsigned numbers.
bool DriveRecordLess(const DriveRecord& a, const DriveRecord& b);

// True when `found` (from a new enumeration) is the medium `listed` recorded: the same
// device path, size, sector size and identity.
bool SameMedium(const DriveRecord& listed, const DriveRecord& found);
