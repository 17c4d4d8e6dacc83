// What may stand as an image file: the name before anything is opened, the
// opened handle right after.
#pragma once

#include <windows.h>

// True when `path` (as GetFullPathNameW gives it) can name an image file: a
// drive-letter or network path, or under the \\?\ prefix a drive-letter path,
// \\?\UNC\server\share\... or \\?\Volume{...}\ with a file under it. False for
// device names (\\.\E:, \\.\PhysicalDrive1, and NUL or COM1, which the full
// path turns into \\.\NUL and \\.\COM1), any other \\?\ name, and wildcards.
bool IsImageFileName(const wchar_t* path);
// True when `path` holds * or ? outside the \\?\ prefix: it would match other files.
bool HasWildcards(const wchar_t* path);

// True when the opened `file` is a plain file: a disk file (no device or pipe)
// that answers GetFileInformationByHandle and is neither a folder nor, opened
// with FILE_FLAG_OPEN_REPARSE_POINT, a link to something else.
bool IsPlainFile(HANDLE file);
// True when `path` names an existing folder or link (junction, symbolic link,
// any reparse point): creating an image there would write somewhere else.
// False when nothing exists under that name yet.
bool IsLinkOrFolder(const wchar_t* path);
