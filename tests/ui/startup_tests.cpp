// The main window's first showing, whatever the launcher asked for.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/import_patch.h"
#include "tests/ui/ui_test_env.h"
#include "ui/machine_guard.h"
#include "ui/startup.h"

// Windows hands the launcher's show state to a process's first ShowWindow (Wine does not):
// the window is put in each such state first, then shown as start-up shows it.
TEST(MainWindowShowing, HiddenMinimisedOrMaximisedEndsNormalInItsOwnSize)
{
    HWND dialog = MainWindow();
    RECT normal = {};
    ASSERT_TRUE(GetWindowRect(dialog, &normal));
    for (int state : {SW_HIDE, SW_SHOWMINNOACTIVE, SW_MINIMIZE, SW_SHOWMAXIMIZED}) {
        SCOPED_TRACE(state);
        ShowWindow(dialog, state);
        ShowMainWindow(dialog);
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_FALSE(IsIconic(dialog));
        EXPECT_FALSE(IsZoomed(dialog));
        RECT shown = {};
        ASSERT_TRUE(GetWindowRect(dialog, &shown));
        EXPECT_EQ(shown.right - shown.left, normal.right - normal.left);
        EXPECT_EQ(shown.bottom - shown.top, normal.bottom - normal.top);
    }
}

namespace {

ts::ImportPatch* gGetProcAddress = nullptr;
ts::ImportPatch* gLoadLibraryEx = nullptr;
std::vector<std::wstring> gSearchFolders;
std::vector<std::wstring> gLoadedPaths;

BOOL WINAPI RecordSetDllDirectory(LPCWSTR folder)
{
    gSearchFolders.push_back(folder != nullptr ? folder : L"(null)");
    return TRUE;
}

HMODULE WINAPI RecordLoadLibraryEx(LPCWSTR path, HANDLE file, DWORD flags)
{
    gLoadedPaths.push_back(path);
    return reinterpret_cast<decltype(&LoadLibraryExW)>(gLoadLibraryEx->Original())(path, file, flags);
}

// Windows before 8 (7 without its update): kernel32 has no SetDefaultDllDirectories.
FARPROC WINAPI OldKernelProcAddress(HMODULE module, LPCSTR name)
{
    if (HIWORD(name) != 0 && lstrcmpA(name, "SetDefaultDllDirectories") == 0)
        return nullptr;
    if (HIWORD(name) != 0 && lstrcmpA(name, "SetDllDirectoryW") == 0)
        return reinterpret_cast<FARPROC>(&RecordSetDllDirectory);
    return reinterpret_cast<decltype(&GetProcAddress)>(gGetProcAddress->Original())(module, name);
}

} // namespace

// Where the system cannot keep the program's folder out of the search, the current folder is
// taken out and every library system code loads later by bare name comes from the system folder.
// Runs before the case below makes the process's search the system folder only.
TEST(StartUp, WithoutSetDefaultDllDirectoriesSystemLibrariesAreLoadedFromTheSystemFolder)
{
    ts::ImportPatch procs("GetProcAddress", reinterpret_cast<void*>(&OldKernelProcAddress));
    gGetProcAddress = &procs;
    ts::ImportPatch loads("LoadLibraryExW", reinterpret_cast<void*>(&RecordLoadLibraryEx));
    gLoadLibraryEx = &loads;
    ASSERT_TRUE(procs.Active() && loads.Active());
    GuardProcess();
    EXPECT_EQ(gSearchFolders, std::vector<std::wstring>{L""});
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::vector<std::wstring> names;
    for (const std::wstring& path : gLoadedPaths) {
        EXPECT_EQ(lstrcmpiW(path.substr(0, length + 1).c_str(), (std::wstring(system) + L"\\").c_str()), 0) << path;
        names.push_back(path.substr(length + 1));
    }
    for (const wchar_t* name : {L"version.dll", L"uxtheme.dll", L"dwmapi.dll", L"propsys.dll"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
        // A later load by bare name finds the system folder's library already loaded.
        wchar_t loaded[MAX_PATH] = {};
        const HMODULE module = GetModuleHandleW(name);
        ASSERT_NE(module, nullptr) << name;
        ASSERT_GT(GetModuleFileNameW(module, loaded, MAX_PATH), length);
        EXPECT_EQ(_wcsnicmp(loaded, system, length), 0) << loaded;
    }
}

// An elevated program is started from a download folder: a DLL dropped beside it must never
// load by bare name, as system libraries load theirs. The test's own lies beside this executable.
TEST(StartUp, ADllBesideTheProgramDoesNotLoadAndNoDriveBoxComes)
{
    const wchar_t kPlanted[] = L"korvane_planted.dll";
    HMODULE planted = LoadLibraryW(kPlanted);
    ASSERT_NE(planted, nullptr) << "the planted DLL is missing beside the test";
    FreeLibrary(planted);
    GuardProcess();
    planted = LoadLibraryW(kPlanted);
    EXPECT_EQ(planted, nullptr) << "loaded from the program's folder";
    if (planted != nullptr)
        FreeLibrary(planted);
    const HMODULE system = LoadLibraryW(L"version.dll");
    EXPECT_NE(system, nullptr) << "a system library no longer loads by bare name";
    if (system != nullptr)
        FreeLibrary(system);
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    EXPECT_NE(mode & SEM_FAILCRITICALERRORS, 0u);
}
