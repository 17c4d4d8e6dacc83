// What both benchmark programs share: the job's world around the timed work
// (the record, a main-dialog window, the drive), the timing and the tear-down.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

// Makes g_App with a main-dialog window (on the screen when `shown`, as the operator
// has it, where its controls paint what they are told), a watchdog that closes any box
// a failed run leaves open, and the drive at `drive`, `size` bytes in cylinders
// of 255 x 63 x 512 (so a chunk of 8 225 280 bytes), selected; `image` becomes
// the image file's name.
void OpenBench(const wchar_t* drive, const wchar_t* image, int64_t size, bool shown = false);
// Runs `work` on a worker while this thread pumps (when `ready`), timed; closes the
// image file and the drive, prints "seconds=<wall> cpu=<process CPU seconds>
// bytes=<bytes()> ok=<0|1>" and tears down what OpenBench made. The exit code.
int RunTimedAndClose(bool ready, const std::function<bool()>& work, const std::function<int64_t()>& bytes);
