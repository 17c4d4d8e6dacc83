// Images that take only the space their data needs: chunks of zeros are not
// written but skipped, which leaves holes in a sparse file.
#pragma once

#include <windows.h>

#include <cstddef>

// Marks a newly created image file sparse when the volume holding `path` supports
// sparse files. False when it doesn't, or the volume or the file refuses: every
// chunk must then be written, since skipped ranges would cost as much space anyway.
bool MakeImageSparse(HANDLE file, const wchar_t* path);

// True when all `size` bytes are zero.
bool IsAllZero(const BYTE* data, size_t size);
