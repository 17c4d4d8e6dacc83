// The figures of a running job: share done, speed and time left, from samples
// of (time, bytes done) over a sliding window of about ten seconds.
#pragma once

#include <cstdint>
#include <string>

// Fixed size whatever the drive: samples are kept at most once a second and
// only as long as the window needs them.
struct JobFigures {
    static constexpr int kSlots = 16;
    uint32_t startMs = 0;
    uint32_t shownMs = 0; // when the figures were last shown
    bool shown = false;
    int permille = -1; // the share last told to the taskbar button, in thousandths
    bool barTold = false;
    uint32_t barMs = 0; // when the progress bar was last told a position
    int count = 0;      // samples held, the oldest at `first`
    int first = 0;
    uint32_t sampleMs[kSlots] = {};
    int64_t sampleBytes[kSlots] = {};
};

// Milliseconds of the window, of the quiet start, and between two rewrites.
const uint32_t kFiguresWindowMs = 10000;
const uint32_t kFiguresQuietMs = 3000;
const uint32_t kFiguresIntervalMs = 1000;
// Milliseconds between two positions told to the progress bar while a step runs.
const uint32_t kBarIntervalMs = 100;

// Starts the clock of a step at `nowMs`, with no bytes done yet (GetTickCount: differences are taken modulo 2^32).
void StartFigures(JobFigures& figures, uint32_t nowMs);
// Records `bytesDone` at `nowMs`; true when the figures are due to be shown now:
// never in the first three seconds, then at most once a second.
bool TakeFiguresSample(JobFigures& figures, uint32_t nowMs, int64_t bytesDone);
// Bytes per second over the window, 0 before two samples are held.
uint64_t WindowBytesPerSecond(const JobFigures& figures);

// True when the progress bar is due to be told `bytesDone` at `nowMs`: a step's first
// position, a position of 0, its end (`totalBytes` or more), and otherwise at most once
// every `intervalMs` (0: every position).
bool TakeBarTurn(JobFigures& figures, uint32_t nowMs, int64_t bytesDone, int64_t totalBytes, uint32_t intervalMs);

// Thousandths done, rounded down; -1 when they have not changed since the last call.
int TakePermilleChange(JobFigures& figures, int64_t bytesDone, int64_t totalBytes);
// 0 to 100, rounded down: 100 only when every byte is done.
int PercentDone(int64_t bytesDone, int64_t totalBytes);
// Decimal megabytes per second with one decimal: "45.2 MB/s".
std::wstring FormatSpeed(uint64_t bytesPerSecond);
// "45 s" below a minute, "11 min" below an hour, "2 h 05 min" from then on; rounded up.
std::wstring FormatTimeLeft(uint64_t seconds);
// " · 37 % · 45.2 MB/s · 11 min left"; without the time left while nothing moves.
std::wstring FormatFigures(int64_t bytesDone, int64_t totalBytes, uint64_t bytesPerSecond);
