#include "ui/machine_guard.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// Windows 8 on (7 with its update): the search path of the whole process.
typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD flags);
// XP SP1 on: an empty string takes the current folder out of the search.
typedef BOOL(WINAPI* SetDllDirectoryProc)(LPCWSTR folder);
// Vista on: the text Windows shows beside the program when it asks to end it.
typedef BOOL(WINAPI* ShutdownBlockReasonCreateProc)(HWND window, LPCWSTR reason);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyProc)(HWND window);

const wchar_t kEndSessionReason[] = L"A disk image is being processed, please wait for its end or cancel it!";

// A function of a system library that may be missing on older systems; null then.
template <typename Proc> Proc SystemFunction(const wchar_t* library, const char* name)
{
    const HMODULE module = GetModuleHandleW(library);
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

void GuardProcess()
{
    // Before anything can touch a drive.
    SetErrorMode(SetErrorMode(SEM_FAILCRITICALERRORS) | SEM_FAILCRITICALERRORS);
    const auto setDefault =
        SystemFunction<SetDefaultDllDirectoriesProc>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    const auto setFolder = SystemFunction<SetDllDirectoryProc>(L"kernel32.dll", "SetDllDirectoryW");
    if (setFolder != nullptr)
        setFolder(L"");
}

void GuardJob(HWND window, bool running)
{
    // Idle sleep in the middle of a restore resets USB and leaves a half-written disk.
    SetThreadExecutionState(running ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
    // user32 is loaded: the program has windows.
    if (running) {
        const auto create =
            SystemFunction<ShutdownBlockReasonCreateProc>(L"user32.dll", "ShutdownBlockReasonCreate");
        if (create != nullptr)
            create(window, kEndSessionReason);
    } else {
        const auto destroy =
            SystemFunction<ShutdownBlockReasonDestroyProc>(L"user32.dll", "ShutdownBlockReasonDestroy");
        if (destroy != nullptr)
            destroy(window);
    }
}
