#include "bench/bench_support.h"

#include <cstdio>

#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "tests/support/win_test_support.h"

namespace {

HANDLE Watchdog = nullptr;

double CpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// A box only appears on a failure, which the printed ok=0 tells. (The tests' box
// watcher polls every few milliseconds and would itself show in the figures.)
DWORD WINAPI CloseFailureBoxes(void*)
{
    for (;;) {
        Sleep(500);
        HWND box = nullptr;
        while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr) {
            if (GetWindow(box, GW_OWNER) != g_App->MainWindow)
                continue;
            wchar_t text[512] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            std::fprintf(stderr, "box: %ls\n", text);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }
}

} // namespace

void OpenBench(const wchar_t* drive, const wchar_t* image, int64_t size, bool shown)
{
    g_App = CreateAppState();
    g_App->MainWindow = ts::CreateHostDialog(shown);
    Watchdog = CreateThread(nullptr, 0, CloseFailureBoxes, nullptr, 0, nullptr);

    DriveRecord record;
    record.DeviceID = drive;
    record.DiskGeometry.Geometry.TracksPerCylinder = 255;
    record.DiskGeometry.Geometry.SectorsPerTrack = 63;
    record.DiskGeometry.Geometry.BytesPerSector = 512;
    record.DiskGeometry.DiskSize.QuadPart = size;
    g_App->DriveList.push_back(record);
    g_App->SelectedIndex = 0;
    lstrcpynW(ImageFileName, image, MAX_PATH);
}

int RunTimedAndClose(bool ready, const std::function<bool()>& work, const std::function<int64_t()>& bytes)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const double cpuStart = CpuSeconds();
    bool ok = ready;
    if (ok)
        ts::RunWhilePumping([&] { ok = work(); }, 3600 * 1000);
    const double cpu = CpuSeconds() - cpuStart;
    QueryPerformanceCounter(&end);
    CloseImageFile();
    CloseDisk();

    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("seconds=%.3f cpu=%.3f bytes=%lld ok=%d\n", seconds, cpu, static_cast<long long>(bytes()), ok ? 1 : 0);
    if (Watchdog != nullptr) {
        TerminateThread(Watchdog, 0);
        CloseHandle(Watchdog);
        Watchdog = nullptr;
    }
    DestroyWindow(g_App->MainWindow);
    DestroyAppState(g_App);
    g_App = nullptr;
    return ok ? 0 : 1;
}
