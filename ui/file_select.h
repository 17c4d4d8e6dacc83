// Choosing the image file, the remembered folder and the free-space text.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct RegistryHolder {
    HKEY Key;
    DWORD Word; // disposition of the key, then type of the value; never examined
};

extern RegistryHolder* g_Registry;
extern wchar_t RememberedFolder[MAX_PATH];

// Units of a chosen path that the remembered folder takes, terminator included.
constexpr size_t RememberLimit = 130;

void SelectImageFile();
bool ReadInitDir();
bool WriteInitDir();
void ShowTargetFreeSpace();

// The folder of `path` as the registry keeps it: true and `folder` filled for a
// path of fewer than RememberLimit units with a backslash after its first unit.
bool FolderToRemember(const wchar_t* path, wchar_t (&folder)[MAX_PATH]);
// The root that GetDiskFreeSpaceExW takes for `path`, with its trailing backslash.
bool FreeSpaceRoot(const wchar_t* path, wchar_t (&root)[MAX_PATH]);
// "Free bytes at target disk: " and the grouped count.
std::wstring FreeSpaceText(uint64_t bytes);
// Adds ".hdd" to a chosen name that has no extension, when it fits.
void AddDefaultExtension(wchar_t (&path)[MAX_PATH]);
