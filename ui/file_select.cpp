#include "ui/file_select.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shlwapi.h>

#include <locale>
#include <sstream>

#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "report/byte_count.h"
#include "resource.h"
#include "ui/startup.h"

RegistryHolder* g_Registry = nullptr;
wchar_t RememberedFolder[MAX_PATH];

static OPENFILENAMEW FileDialogRecord;

#ifndef _WIN64
static_assert(sizeof(OPENFILENAMEW) == 88, "the 32-bit file dialog record is 88 bytes");
#endif

static const wchar_t RegistryKeyName[] = L"Software\\KORVANE";
static const wchar_t InitDirValue[] = L"InitDir";
// Registry data accepted for the remembered folder.
static const DWORD InitDirMaxBytes = 260;

static bool OpenRegistryKey()
{
    return RegCreateKeyExW(HKEY_CURRENT_USER, RegistryKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &g_Registry->Key, &g_Registry->Word) == ERROR_SUCCESS;
}

bool ReadInitDir()
{
    const bool opened = OpenRegistryKey();
    bool read = false;
    if (opened) {
        DWORD bytes = InitDirMaxBytes;
        read = RegQueryValueExW(g_Registry->Key, InitDirValue, nullptr, &g_Registry->Word,
                                reinterpret_cast<BYTE*>(RememberedFolder), &bytes) == ERROR_SUCCESS;
        // The stored text carries no terminator.
        if (read)
            RememberedFolder[bytes / sizeof(wchar_t)] = L'\0';
        RegCloseKey(g_Registry->Key);
    }
    if (!read && GetCurrentDirectoryW(MAX_PATH, RememberedFolder) == 0)
        RememberedFolder[0] = L'\0';
    return read;
}

bool WriteInitDir()
{
    if (!OpenRegistryKey())
        return false;
    const int units = lstrlenW(RememberedFolder);
    // The registry stores a terminator it finds right after the counted data;
    // the value is defined without one, so write from a copy that has none.
    wchar_t data[MAX_PATH + 1];
    lstrcpynW(data, RememberedFolder, MAX_PATH);
    data[units] = L'\\';
    const bool stored = RegSetValueExW(g_Registry->Key, InitDirValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                       static_cast<DWORD>(units * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(g_Registry->Key);
    return stored;
}

bool FolderToRemember(const wchar_t* path, wchar_t (&folder)[MAX_PATH])
{
    // lstrcpynW cuts silently; a path that does not fit is not remembered at all.
    lstrcpynW(folder, path, RememberLimit);
    if (lstrlenW(path) >= static_cast<int>(RememberLimit))
        return false;
    wchar_t* last = StrRChrW(folder, nullptr, L'\\');
    if (last == nullptr || last == folder)
        return false;
    *last = L'\0';
    return true;
}

bool FreeSpaceRoot(const wchar_t* path, wchar_t (&root)[MAX_PATH])
{
    lstrcpynW(root, path, MAX_PATH);
    if (!PathStripToRootW(root))
        return false;
    // A share's root comes back as \\server\share, without the backslash
    // that GetDiskFreeSpaceExW needs.
    return PathAddBackslashW(root) != nullptr;
}

std::wstring FreeSpaceText(uint64_t bytes)
{
    std::wostringstream text;
    text.imbue(std::locale::classic());
    text << L"Free bytes at target disk: " << FormatByteCount(bytes);
    return text.str();
}

void AddDefaultExtension(wchar_t (&path)[MAX_PATH])
{
    static const wchar_t extension[] = L".hdd";
    if (*PathFindExtensionW(path) != L'\0')
        return;
    if (lstrlenW(path) + lstrlenW(extension) < MAX_PATH)
        lstrcatW(path, extension);
}

void ShowTargetFreeSpace()
{
    // Works on a copy: the chosen path stays whole in ImageFileName.
    wchar_t root[MAX_PATH];
    if (!FreeSpaceRoot(ImageFileName, root))
        return;
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(root, &available, nullptr, nullptr))
        return;
    const std::wstring text = FreeSpaceText(available.QuadPart);
    SendMessageW(g_StatusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void SelectImageFile()
{
    ZeroMemory(&FileDialogRecord, sizeof(FileDialogRecord));
    ImageFileName[0] = L'\0';
    ReadInitDir();

    FileDialogRecord.lStructSize = sizeof(FileDialogRecord);
    FileDialogRecord.hwndOwner = g_App->MainWindow;
    // A new image's extension picks its format: raw (.hdd), a virtual disk or a compressed file.
    FileDialogRecord.lpstrFilter = L"HDD files\0*.hdd\0"
                                   L"Virtual disks (VHDX, VHD)\0*.vhdx;*.vhd\0"
                                   L"Compressed images (gz, zst, xz, zip)\0*.gz;*.zst;*.xz;*.zip\0"
                                   L"Disk images\0*.hdd;*.img;*.iso;*.bin;*.raw;*.gz;*.zst;*.xz;*.zip;*.vhdx;*.vhd\0"
                                   L"All files\0*.*\0";
    FileDialogRecord.nFilterIndex = 0;
    FileDialogRecord.lpstrFile = ImageFileName;
    FileDialogRecord.nMaxFile = MAX_PATH;
    FileDialogRecord.lpstrInitialDir = RememberedFolder;
    FileDialogRecord.Flags = OFN_PATHMUSTEXIST | OFN_EXTENSIONDIFFERENT;
    FileDialogRecord.lpstrDefExt = L"hdd";
    if (!GetOpenFileNameW(&FileDialogRecord))
        return;
    // Not every file dialog appends the default extension to a typed name;
    // an existing file chosen as it is keeps its name.
    if (FileDialogRecord.nFileExtension == 0 && GetFileAttributesW(ImageFileName) == INVALID_FILE_ATTRIBUTES)
        AddDefaultExtension(ImageFileName);

    SetDlgItemTextW(g_App->MainWindow, IDC_FILE_NAME, ImageFileName);
    if (FolderToRemember(ImageFileName, RememberedFolder))
        WriteInitDir();
    ShowTargetFreeSpace();
}
