#include "bench/bench_support.h"

#include <cstdio>

#include "engine/app_state.h"

double CpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// A box only appears on a failure, which the printed ok=0 tells.
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
