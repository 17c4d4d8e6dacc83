#pragma once

#include <windows.h>

#include <cstddef>

// Where two buffers first differ, or `length` when they don't. Runs over every byte the
// verify pass reads, so it must not be what the pass waits for: 16 bytes a step where the
// processor has SSE2 (asked at run time: the 32-bit build runs on processors without it).
size_t FirstDifference(const BYTE* a, const BYTE* b, size_t length);

// The same without SSE2, word by word; what the processors without it run.
size_t FirstDifferenceByWords(const BYTE* a, const BYTE* b, size_t length);
