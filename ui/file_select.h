// Choosing the image file, the remembered folder and the free-space text.
#pragma once

#include <windows.h>

struct RegistryHolder {
    HKEY Key;
    DWORD Word; // disposition of the key, then type of the value; never examined
};

extern RegistryHolder* g_Registry;
extern wchar_t RememberedFolder[MAX_PATH];

void SelectImageFile();
bool ReadInitDir();
bool WriteInitDir();
void ShowTargetFreeSpace();
