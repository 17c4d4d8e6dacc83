#include "report/job_figures.h"

static int Slot(const JobFigures& figures, int index)
{
    return (figures.first + index) % JobFigures::kSlots;
}

void StartFigures(JobFigures& figures, uint32_t nowMs)
{
    figures = JobFigures();
    figures.startMs = nowMs;
    figures.sampleMs[0] = nowMs;
    figures.sampleBytes[0] = 0;
    figures.count = 1;
}

bool TakeFiguresSample(JobFigures& figures, uint32_t nowMs, int64_t bytesDone)
{
    const int last = Slot(figures, figures.count - 1);
    if (figures.count > 0 && nowMs - figures.sampleMs[last] < kFiguresIntervalMs)
        return false;
    if (figures.count == JobFigures::kSlots) {
        figures.first = Slot(figures, 1);
        --figures.count;
    }
    const int slot = Slot(figures, figures.count);
    figures.sampleMs[slot] = nowMs;
    figures.sampleBytes[slot] = bytesDone;
    ++figures.count;
    // The oldest sample kept is the newest one at least a window old: the
    // speed then covers the last ten seconds, or the gap of a stall.
    while (figures.count > 2 && nowMs - figures.sampleMs[Slot(figures, 1)] >= kFiguresWindowMs) {
        figures.first = Slot(figures, 1);
        --figures.count;
    }
    if (nowMs - figures.startMs < kFiguresQuietMs)
        return false;
    if (figures.shown && nowMs - figures.shownMs < kFiguresIntervalMs)
        return false;
    figures.shown = true;
    figures.shownMs = nowMs;
    return true;
}

uint64_t WindowBytesPerSecond(const JobFigures& figures)
{
    if (figures.count < 2)
        return 0;
    const int oldest = Slot(figures, 0);
    const int newest = Slot(figures, figures.count - 1);
    const uint32_t spanMs = figures.sampleMs[newest] - figures.sampleMs[oldest];
    const int64_t moved = figures.sampleBytes[newest] - figures.sampleBytes[oldest];
    if (spanMs == 0 || moved <= 0)
        return 0;
    return static_cast<uint64_t>(moved) * 1000 / spanMs;
}

bool TakeBarTurn(JobFigures& figures, uint32_t nowMs, int64_t bytesDone, int64_t totalBytes, uint32_t intervalMs)
{
    const bool between = bytesDone > 0 && bytesDone < totalBytes;
    if (figures.barTold && between && nowMs - figures.barMs < intervalMs)
        return false;
    figures.barTold = true;
    figures.barMs = nowMs;
    return true;
}

int TakePermilleChange(JobFigures& figures, int64_t bytesDone, int64_t totalBytes)
{
    int permille = 1000;
    if (totalBytes > 0 && bytesDone < totalBytes)
        permille = bytesDone <= 0
                       ? 0
                       : static_cast<int>(static_cast<uint64_t>(bytesDone) * 1000 / static_cast<uint64_t>(totalBytes));
    if (permille == figures.permille)
        return -1;
    figures.permille = permille;
    return permille;
}

int PercentDone(int64_t bytesDone, int64_t totalBytes)
{
    if (totalBytes <= 0 || bytesDone >= totalBytes)
        return 100;
    if (bytesDone <= 0)
        return 0;
    return static_cast<int>(static_cast<uint64_t>(bytesDone) * 100 / static_cast<uint64_t>(totalBytes));
}

// Plain decimal digits, whatever the locale and the C library.
static std::wstring Digits(uint64_t value, size_t width = 1)
{
    std::wstring text;
    do {
        text.insert(text.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (text.size() < width)
        text.insert(0, width - text.size(), L'0');
    return text;
}

std::wstring FormatSpeed(uint64_t bytesPerSecond)
{
    const uint64_t tenths = (bytesPerSecond + 50000) / 100000;
    return Digits(tenths / 10) + L"." + Digits(tenths % 10) + L" MB/s";
}

std::wstring FormatTimeLeft(uint64_t seconds)
{
    if (seconds < 60)
        return Digits(seconds) + L" s";
    const uint64_t minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return Digits(minutes) + L" min";
    return Digits(minutes / 60) + L" h " + Digits(minutes % 60, 2) + L" min";
}

std::wstring FormatFigures(int64_t bytesDone, int64_t totalBytes, uint64_t bytesPerSecond)
{
    const std::wstring dot = L" \u00B7 ";
    std::wstring text = dot + Digits(static_cast<uint64_t>(PercentDone(bytesDone, totalBytes))) + L" %" + dot +
                        FormatSpeed(bytesPerSecond);
    // A speed of nothing gives no time: the step waits on its drive.
    if (bytesPerSecond > 0) {
        const uint64_t left = totalBytes > bytesDone ? static_cast<uint64_t>(totalBytes - bytesDone) : 0;
        text += dot + FormatTimeLeft((left + bytesPerSecond - 1) / bytesPerSecond) + L" left";
    }
    return text;
}
