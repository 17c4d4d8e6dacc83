// The main window's first showing, whatever the launcher asked for.
#include <gtest/gtest.h>

#include <windows.h>

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
