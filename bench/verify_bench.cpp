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
    OpenBench(argv[2], argv[3], _wtoi64(argv[4]));

    // The handles as the transfer of the job leaves them; the transfer itself is not run.
    const JobKind kind = restore ? JobKind::Restore : JobKind::Create;
    bool ok = OpenSelectedDisk(kind) && ComputeChunkSize(*g_App);
    if (ok) {
        g_App->ImageHandle = CreateFileW(ImageFileName, restore ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = IsOpenHandle(g_App->ImageHandle);
    }
    return RunTimedAndClose(
        ok, [&] { return VerifyTransfer(kind) == VerifyResult::Equal; }, [] { return g_App->TotalBytes; });
}
