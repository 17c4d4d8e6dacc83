// Times one transfer loop over a file-backed drive, as a job runs it: the
// drive opened and checked by the job's own code, progress and status sent
// to a real main-dialog window, the cancel poll after every chunk.
//   korvane_bench create|restore DRIVE IMAGE SIZE
//   korvane_bench create-sparse ...: a create with the volume claiming sparse files, as NTFS does
// Prints: seconds=<wall> cpu=<process CPU seconds> bytes=<moved> ok=<0|1>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "bench/bench_support.h"
#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "engine/transfer.h"
#include "tests/support/import_patch.h"
#include "tests/support/win_test_support.h"

static bool OpenImage(bool restore)
{
    // A fresh file, as dd gets it: no replace question.
    if (!restore) {
        DeleteFileW(ImageFileName);
        return OpenImageForWrite();
    }
    g_App->ImageHandle =
        CreateFileW(ImageFileName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsOpenHandle(g_App->ImageHandle);
}

int wmain(int argc, wchar_t** argv)
{
    const bool sparse = argc == 5 && wcscmp(argv[1], L"create-sparse") == 0;
    if (argc != 5 || (wcscmp(argv[1], L"create") != 0 && wcscmp(argv[1], L"restore") != 0 && !sparse)) {
        std::fprintf(stderr, "usage: korvane_bench create|create-sparse|restore DRIVE IMAGE SIZE\n");
        return 2;
    }
    const bool restore = wcscmp(argv[1], L"restore") == 0;
    // Wine's volumes claim no sparse files: without the claim a create writes every chunk.
    ts::SparseFilesClaim* claim = sparse ? new ts::SparseFilesClaim : nullptr;
    g_App = CreateAppState();
    g_App->MainWindow = ts::CreateHostDialog(false);
    // A failure box must not hang the run. (The tests' box watcher polls every
    // few milliseconds and would itself show in the figures.)
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

    bool ok = OpenSelectedDisk(restore ? JobKind::Restore : JobKind::Create) && OpenImage(restore);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const double cpuStart = CpuSeconds();
    if (ok)
        ts::RunWhilePumping([&] { ok = restore ? RestoreImage() : CreateImage(); }, 3600 * 1000);
    const double cpu = CpuSeconds() - cpuStart;
    QueryPerformanceCounter(&end);
    CloseImageFile();
    CloseDisk();

    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("seconds=%.3f cpu=%.3f bytes=%lld ok=%d\n", seconds, cpu, static_cast<long long>(g_App->BytesDone),
                ok ? 1 : 0);
    delete claim;
    TerminateThread(watchdog, 0);
    CloseHandle(watchdog);
    DestroyWindow(g_App->MainWindow);
    DestroyAppState(g_App);
    g_App = nullptr;
    return ok ? 0 : 1;
}
