// Byte counts as the operator reads them: digits in groups of three.
#pragma once

#include <cstdint>
#include <string>

// "1 474 560 ": every group followed by one blank, the last one too.
std::wstring FormatByteCount(uint64_t count);
