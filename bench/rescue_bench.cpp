// Times a create from a failing drive: the simulated stack answers for a drive whose
// content is a file and whose bad areas are those of a test map (every area not
// marked read fails each read), each failed read taking DELAY milliseconds. The
// operator's Yes at the question is given at once.
//   korvane_rescue_bench TESTMAP DRIVE IMAGE DELAY
// Prints: seconds=<wall> cpu=<process CPU seconds> bytes=<rescued> ok=<0|1> failed=<failed reads>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "drives/medium_identity.h"
#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "engine/rescue_map.h"
#include "engine/transfer.h"
#include "tests/support/sim_storage.h"
#include "tests/support/win_test_support.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: korvane_rescue_bench TESTMAP DRIVE IMAGE DELAY\n");
        return 2;
    }
    std::vector<unsigned char> text;
    RescueMap layout;
    if (!ts::ReadWholeFile(argv[1], &text) || !ParseRescueMap(std::string(text.begin(), text.end()), &layout)) {
        std::fprintf(stderr, "can't read the test map\n");
        return 2;
    }
    sim::Stack stack;
    sim::Disk disk;
    disk.number = 1;
    disk.size = layout.size;
    disk.backingFile = argv[2];
    disk.failedReadDelayMs = static_cast<DWORD>(_wtoi(argv[4]));
    for (const RescueArea& area : layout.areas)
        if (area.status != kAreaRead)
            disk.badAreas.push_back({area.pos, area.size, -1});
    stack.AddDisk(disk);

    OpenBench(sim::DiskPath(1).c_str(), argv[3], layout.size);
    const HANDLE probe = CreateFileW(sim::DiskPath(1).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    g_App->DriveList[0].Identity = ReadMediumIdentity(probe);
    CloseHandle(probe);
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    DeleteFileW(ImageFileName);
    DeleteFileW((std::wstring(ImageFileName) + L".map").c_str());
    const bool ok = OpenSelectedDisk(JobKind::Create) && OpenImageForWrite();
    int64_t rescued = 0;
    const int exitCode = RunTimedAndClose(
        ok, [] { return CreateImage(); },
        [&] {
            rescued = g_App->BytesDone;
            return rescued;
        });
    int failed = 0;
    for (const sim::CallRecord& call : stack.Calls())
        failed += call.function == "ReadFile" && !call.ok && call.path == sim::DiskPath(1);
    std::printf("failed=%d\n", failed);
    return exitCode;
}
