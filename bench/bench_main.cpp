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
    OpenBench(argv[2], argv[3], _wtoi64(argv[4]));

    bool ok = OpenSelectedDisk(restore ? JobKind::Restore : JobKind::Create) && OpenImage(restore);
    const int exitCode = RunTimedAndClose(
        ok, [&] { return restore ? RestoreImage() : CreateImage(); }, [] { return g_App->BytesDone; });
    delete claim;
    return exitCode;
}
