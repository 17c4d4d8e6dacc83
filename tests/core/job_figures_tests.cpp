// The figures of a running job: units, rounding and the sliding window.
#include <gtest/gtest.h>

#include <vector>

#include "report/job_figures.h"

namespace {

const int64_t kTiB = int64_t(1) << 40;

TEST(JobFigures, UnitsAndRounding)
{
    EXPECT_EQ(FormatSpeed(0), L"0.0 MB/s");
    EXPECT_EQ(FormatSpeed(45249999), L"45.2 MB/s");
    EXPECT_EQ(FormatSpeed(45250000), L"45.3 MB/s"); // decimal megabytes, half up
    EXPECT_EQ(FormatSpeed(999960000), L"1000.0 MB/s");

    EXPECT_EQ(FormatTimeLeft(0), L"0 s");
    EXPECT_EQ(FormatTimeLeft(45), L"45 s");
    EXPECT_EQ(FormatTimeLeft(60), L"1 min");
    EXPECT_EQ(FormatTimeLeft(61), L"2 min"); // time left rounds up
    EXPECT_EQ(FormatTimeLeft(11 * 60), L"11 min");
    EXPECT_EQ(FormatTimeLeft(3599), L"1 h 00 min");
    EXPECT_EQ(FormatTimeLeft(2 * 3600 + 5 * 60), L"2 h 05 min");
    EXPECT_EQ(FormatTimeLeft(125 * 3600 + 1), L"125 h 01 min");

    // Down, so that 100 % means done; no overflow for a drive of 4 TiB.
    EXPECT_EQ(PercentDone(0, 4 * kTiB), 0);
    EXPECT_EQ(PercentDone(4 * kTiB * 37 / 100 + 1, 4 * kTiB), 37);
    EXPECT_EQ(PercentDone(4 * kTiB - 1, 4 * kTiB), 99);
    EXPECT_EQ(PercentDone(4 * kTiB, 4 * kTiB), 100);
    EXPECT_EQ(PercentDone(0, 0), 100);

    // The issue's own line: 37 % at 45.2 MB/s with 11 minutes to go.
    const int64_t total = 80000000000;
    const int64_t done = 29600000000;
    EXPECT_EQ(FormatFigures(done, total, 45200000), L" \u00B7 37 % \u00B7 45.2 MB/s \u00B7 19 min left");
    EXPECT_EQ(FormatFigures(total - int64_t(45200000) * 660, total, 45200000),
              L" \u00B7 62 % \u00B7 45.2 MB/s \u00B7 11 min left");
    // Nothing moves: no time can be told.
    EXPECT_EQ(FormatFigures(done, total, 0), L" \u00B7 37 % \u00B7 0.0 MB/s");
    EXPECT_EQ(FormatFigures(4 * kTiB - 4 * 1000000, 4 * kTiB, 2000000),
              L" \u00B7 99 % \u00B7 2.0 MB/s \u00B7 2 s left");
}

TEST(JobFigures, ThousandthsAreToldOnlyWhenTheyChange)
{
    JobFigures figures;
    StartFigures(figures, 0);
    EXPECT_EQ(TakePermilleChange(figures, 0, 4 * kTiB), 0);
    EXPECT_EQ(TakePermilleChange(figures, 4 * kTiB / 1000 - 1, 4 * kTiB), -1);
    EXPECT_EQ(TakePermilleChange(figures, 4 * kTiB / 1000 + 1, 4 * kTiB), 1);
    EXPECT_EQ(TakePermilleChange(figures, 4 * kTiB, 4 * kTiB), 1000);
    StartFigures(figures, 0); // a new step tells its start again
    EXPECT_EQ(TakePermilleChange(figures, 0, 4 * kTiB), 0);
}

TEST(JobFigures, TheBarIsToldEachEndAndOtherwiseTenTimesASecond)
{
    JobFigures figures;
    const uint32_t start = 0xFFFFFFC0; // the clock wraps during the step
    StartFigures(figures, start);
    const int64_t steps[][3] = {{0, 0, 1}, {99, 100, 0}, {100, 200, 1}, {150, 300, 0}, {151, kTiB, 1}, {152, 0, 1}};
    for (const auto& step : steps)
        EXPECT_EQ(TakeBarTurn(figures, start + uint32_t(step[0]), step[1], kTiB, kBarIntervalMs), step[2] != 0)
            << step[0];
    EXPECT_TRUE(TakeBarTurn(figures, start + 153, 400, kTiB, 0)) << "no interval: every position";
}

// A job of `total` bytes fed in steps of `stepMs` at `rate` bytes per second;
// returns the moments (ms after the start) at which the figures were due.
struct Feed {
    JobFigures figures;
    uint32_t now;
    int64_t done = 0;
    explicit Feed(uint32_t start) : now(start) { StartFigures(figures, start); }
    std::vector<uint32_t> Run(uint32_t spanMs, uint32_t stepMs, int64_t rate)
    {
        std::vector<uint32_t> due;
        for (uint32_t t = 0; t < spanMs; t += stepMs) {
            now += stepMs;
            done += rate * stepMs / 1000;
            if (TakeFiguresSample(figures, now, done))
                due.push_back(now - figures.startMs);
        }
        return due;
    }
};

TEST(JobFigures, QuietStartThenOnceASecondAcrossTheClockWrap)
{
    // GetTickCount wraps every 49.7 days; the start lies two seconds before it.
    Feed feed(0xFFFFF830u);
    const std::vector<uint32_t> due = feed.Run(6000, 100, 50000000);
    EXPECT_EQ(due, (std::vector<uint32_t>{3000, 4000, 5000, 6000}));
    EXPECT_EQ(WindowBytesPerSecond(feed.figures), 50000000u);

    // Chunks far apart: each one may be shown.
    const std::vector<uint32_t> slow = feed.Run(6000, 1500, 50000000);
    EXPECT_EQ(slow.size(), 4u);
}

TEST(JobFigures, TheWindowFollowsTheLastTenSecondsAndShowsAStall)
{
    Feed feed(1000);
    feed.Run(60000, 50, 100000000); // a minute at 100 MB/s, 20 chunks a second
    EXPECT_EQ(WindowBytesPerSecond(feed.figures), 100000000u);
    EXPECT_LE(feed.figures.count, JobFigures::kSlots);

    // The drive slows to 10 MB/s: five seconds in, the window holds both speeds.
    feed.Run(5000, 50, 10000000);
    const uint64_t mixed = WindowBytesPerSecond(feed.figures);
    EXPECT_GT(mixed, 40000000u);
    EXPECT_LT(mixed, 70000000u);
    feed.Run(6000, 50, 10000000);
    EXPECT_EQ(WindowBytesPerSecond(feed.figures), 10000000u);

    // It stops: the speed falls towards nothing and the time left goes.
    feed.Run(5000, 1000, 0);
    EXPECT_LT(WindowBytesPerSecond(feed.figures), 6000000u);
    feed.Run(6000, 1000, 0);
    EXPECT_EQ(WindowBytesPerSecond(feed.figures), 0u);
    EXPECT_EQ(FormatFigures(feed.done, 4 * kTiB, WindowBytesPerSecond(feed.figures)).find(L"left"), std::wstring::npos);

    // One chunk after a stall of half a minute: the speed is that of the gap.
    feed.Run(30000, 30000, 1000000);
    EXPECT_EQ(WindowBytesPerSecond(feed.figures), 1000000u);
}

} // namespace
