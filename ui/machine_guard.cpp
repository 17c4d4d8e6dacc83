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

// Libraries that system libraries (the open dialog, the shell, theming) load later by bare
// name and that are no KnownDLLs on XP, Vista and 7: where the program's folder is still
// searched first, each is loaded from the system folder now and stays loaded, so a later
// load by bare name finds it among the loaded modules. The program's own imports are
// KnownDLLs there, or comctl32, which its manifest takes from the side-by-side store.
const wchar_t* const kSystemOnlyLibraries[] = {
    L"version.dll", L"uxtheme.dll", L"dwmapi.dll",  L"propsys.dll", L"cryptbase.dll",
    L"ntshrui.dll", L"linkinfo.dll", L"cscapi.dll", L"srvcli.dll",  L"profapi.dll",
};

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
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 16)
        return;
    for (const wchar_t* name : kSystemOnlyLibraries) {
        wchar_t path[MAX_PATH] = {};
        lstrcpynW(path, folder, MAX_PATH);
        lstrcatW(path, L"\\");
        lstrcatW(path, name);
        // Null where this Windows has no such library (Vista's on XP): nothing can plant it then
        // through a system library either. Loaded for the process's life, never freed.
        LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
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
