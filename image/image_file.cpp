#include "image/image_file.h"

#include <cwctype>

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// True when `text` starts with `prefix`, letters compared without case.
bool StartsWithText(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix != L'\0'; ++text, ++prefix)
        if (*text == L'\0' || towupper(*text) != towupper(*prefix))
            return false;
    return true;
}

// The four characters \\x\ with x the given mark (either separator allowed).
bool HasPrefix(const wchar_t* path, wchar_t mark)
{
    return IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == mark && IsSeparator(path[3]);
}

// True when `rest` holds at least one name after its separators.
bool HasName(const wchar_t* rest)
{
    for (; *rest != L'\0'; ++rest)
        if (!IsSeparator(*rest))
            return true;
    return false;
}

// "X:\name": a drive letter, its colon and a file under its root.
bool IsDrivePath(const wchar_t* rest)
{
    return iswalpha(rest[0]) && rest[1] == L':' && IsSeparator(rest[2]) && HasName(rest + 3);
}

// "UNC\server\share\name".
bool IsUncPath(const wchar_t* rest)
{
    if (!StartsWithText(rest, L"UNC") || !IsSeparator(rest[3]))
        return false;
    rest += 4;
    for (int part = 0; part < 2; ++part) {
        if (*rest == L'\0' || IsSeparator(*rest))
            return false;
        while (*rest != L'\0' && !IsSeparator(*rest))
            ++rest;
        if (*rest == L'\0')
            return false;
        ++rest;
    }
    return HasName(rest);
}

// "Volume{...}\name": the volume itself (no name under it) is a device.
bool IsVolumeFilePath(const wchar_t* rest)
{
    if (!StartsWithText(rest, L"Volume{"))
        return false;
    rest += 7;
    while (*rest != L'\0' && *rest != L'}' && !IsSeparator(*rest))
        ++rest;
    return rest[0] == L'}' && IsSeparator(rest[1]) && HasName(rest + 2);
}

} // namespace

bool HasWildcards(const wchar_t* path)
{
    if (HasPrefix(path, L'?'))
        path += 4;
    for (; *path != L'\0'; ++path)
        if (*path == L'*' || *path == L'?')
            return true;
    return false;
}

bool IsImageFileName(const wchar_t* path)
{
    if (path == nullptr || !HasName(path) || HasWildcards(path))
        return false;
    // \\.\ is the device namespace: volumes, drives, ports, NUL.
    if (HasPrefix(path, L'.'))
        return false;
    if (!HasPrefix(path, L'?'))
        return true;
    const wchar_t* rest = path + 4;
    return IsDrivePath(rest) || IsUncPath(rest) || IsVolumeFilePath(rest);
}

bool IsPlainFile(HANDLE file)
{
    // Device names (NUL, COM1, a pipe) open like files but hold no image.
    if (GetFileType(file) != FILE_TYPE_DISK)
        return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info))
        return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool IsLinkOrFolder(const wchar_t* path)
{
    // The name itself, not what a link points at; no access asked, so a file in use answers too.
    const HANDLE entry = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool plain = GetFileInformationByHandle(entry, &info) &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    CloseHandle(entry);
    return !plain;
}
