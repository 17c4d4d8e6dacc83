// One physical drive as the enumeration found it.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <string>

struct DriveRecord {
    uint32_t Index = 0;            // WMI Index: the system's number of the drive
    std::wstring DeviceID;         // device path, \\.\PHYSICALDRIVEn
    std::wstring Caption;
    std::wstring InterfaceType;
    std::wstring MediaDescription;
    DISK_GEOMETRY_EX DiskGeometry; // exactly as the drive returned it
};

// The drive list is ordered by Index, compared as unsigned numbers.
bool DriveRecordLess(const DriveRecord& a, const DriveRecord& b);
