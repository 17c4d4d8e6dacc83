// Times the verify pass over a file-backed drive and an image file that hold
// the same bytes, as a job runs it after its transfer: the drive opened and
// checked by the job's own code, progress and status sent to a real
// main-dialog window, the cancel poll after every chunk.
//   korvane_verify_bench create|restore DRIVE IMAGE SIZE
// Prints: seconds=<wall> cpu=<process CPU seconds> bytes=<compared> ok=<0|1>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "bench/bench_support.h"
#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/image_jobs.h"
#include "engine/verify.h"
#include "tests/support/win_test_support.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5 || (wcscmp(argv[1], L"create") != 0 && wcscmp(argv[1], L"restore") != 0)) {
        std::fprintf(stderr, "usage: korvane_verify_bench create|restore DRIVE IMAGE SIZE\n");
        return 2;
    }
    const bool restore = wcscmp(argv[1], L"restore") == 0;
    g_App = CreateAppState();
    g_App->MainWindow = ts::CreateHostDialog(false);
    const HANDLE watchdog = CreateThread(nullptr, 0, CloseFailureBoxes, nullptr, 0, nullptr);

    DriveRecord drive;
    drive.DeviceID = argv[2];
    // 255 heads of 63 sectors: a cylinder, and so a chunk, of 8 225 280 bytes.
    drive.DiskGeometry.Geometry.TracksPerCylinder = 255;
    drive.DiskGeometry.Geometry.SectorsPerTrack = 63;
    drive.DiskGeometry.Geometry.BytesPerSector = 512;
    drive.DiskGeometry.DiskSize.QuadPart = _wtoi64(argv[4]);
    g_App->DriveList.push_back(drive);
    g_App->SelectedIndex = 0;
    lstrcpynW(ImageFileName, argv[3], MAX_PATH);

    // The handles as the transfer of the job leaves them; the transfer itself is not run.
    const JobKind kind = restore ? JobKind::Restore : JobKind::Create;
    bool ok = OpenSelectedDisk(kind) && ComputeChunkSize(*g_App);
    if (ok) {
        g_App->ImageHandle = CreateFileW(ImageFileName, restore ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = IsOpenHandle(g_App->ImageHandle);
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const double cpuStart = CpuSeconds();
    if (ok)
        ts::RunWhilePumping([&] { ok = VerifyTransfer(kind) == VerifyResult::Equal; }, 3600 * 1000);
    const double cpu = CpuSeconds() - cpuStart;
    QueryPerformanceCounter(&end);
    CloseImageFile();
    CloseDisk();

    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("seconds=%.3f cpu=%.3f bytes=%lld ok=%d\n", seconds, cpu, static_cast<long long>(g_App->TotalBytes),
                ok ? 1 : 0);
    TerminateThread(watchdog, 0);
    CloseHandle(watchdog);
    DestroyWindow(g_App->MainWindow);
    DestroyAppState(g_App);
    g_App = nullptr;
    return ok ? 0 : 1;
}
