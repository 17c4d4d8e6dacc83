// korvane.exe itself under Wine, driven from outside through its windows.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "resource.h"
#include "tests/e2e/korvane_process.h"
#include "tests/support/win_test_support.h"
#include "ui/startup.h"

namespace {

const wchar_t WarrantyText[] =
    L"ABSOLUTELY NO WARRANTY!\n\nCareless use of this program\ncan disrupt data at your disk!";
const wchar_t SeveralText[] = L"Several instances of this program\ncan't access one disk or one imagefile\nat a time!";
const wchar_t FirstStatus[] = L"Please select a physical drive!";
const int CommandControls[] = {IDC_DRIVE_COMBO, IDC_REFRESH, IDC_SELECT,    IDC_ALLOW_EDIT,
                               IDC_CREATE,      IDC_RESTORE, IDC_FILE_NAME, IDC_ABOUT};

std::wstring ScreenshotPath(const wchar_t* name)
{
    return WindowsPath(SCREENSHOT_FOLDER) + L"\\" + name;
}

bool IsIdle(Korvane& k)
{
    for (int id : CommandControls)
        if (!IsWindowEnabled(k.Item(id)))
            return false;
    return !IsWindowEnabled(k.Item(IDC_CANCEL));
}

bool IsBusy(Korvane& k)
{
    for (int id : CommandControls)
        if (IsWindowEnabled(k.Item(id)))
            return false;
    return IsWindowEnabled(k.Item(IDC_CANCEL)) != FALSE;
}

bool IsReadOnly(HWND edit)
{
    return (GetWindowLongW(edit, GWL_STYLE) & ES_READONLY) != 0;
}

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    for (size_t start = 0;;) {
        size_t end = text.find(L'\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::wstring::npos)
            return lines;
        start = end + 1;
    }
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Types a name by hand: Allow edit, the keys, Enter.
void TypeName(Korvane& k, const std::wstring& name)
{
    SendMessageW(k.Item(IDC_ALLOW_EDIT), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsReadOnly(k.Item(IDC_FILE_NAME)); }));
    k.TypeIntoEdit(name);
    PostMessageW(k.Item(IDC_FILE_NAME), WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(WaitFor([&] { return IsReadOnly(k.Item(IDC_FILE_NAME)); }));
    EXPECT_EQ(SendMessageW(k.Item(IDC_ALLOW_EDIT), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(ts::WindowText(k.Item(IDC_FILE_NAME)), name);
}

// A fresh instance past its warning, with Wine's drive chosen.
void StartWithDriveSelected(Korvane& k)
{
    ASSERT_TRUE(k.Start());
    k.DismissWarning();
    ASSERT_NE(k.MainWindow(), nullptr);
    k.SelectFirstDrive();
    ASSERT_EQ(ts::ListItems(k.Item(IDC_DETAILS)).size(), 4u);
}

} // namespace

TEST(Resources, IconVersionAndManifest)
{
    HMODULE exe = LoadLibraryExW(KorvaneExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);

    HRSRC group = FindResourceW(exe, MAKEINTRESOURCEW(IDI_MAIN), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(exe, group)));
    ASSERT_EQ(reinterpret_cast<const WORD*>(dir)[1], 1);
    ASSERT_EQ(reinterpret_cast<const WORD*>(dir)[2], 4);
    const int sizes[] = {48, 32, 24, 16};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const BYTE* entry = dir + 6 + 14 * i;
        WORD bitCount, id;
        memcpy(&bitCount, entry + 6, 2);
        memcpy(&id, entry + 12, 2);
        EXPECT_EQ(entry[0], sizes[i]);
        EXPECT_EQ(entry[1], sizes[i]);
        EXPECT_EQ(bitCount, 8);
        EXPECT_EQ(id, i + 1);
        HRSRC image = FindResourceW(exe, MAKEINTRESOURCEW(id), RT_ICON);
        ASSERT_NE(image, nullptr);
        BITMAPINFOHEADER header;
        memcpy(&header, LockResource(LoadResource(exe, image)), sizeof(header));
        EXPECT_EQ(header.biWidth, sizes[i]);
        EXPECT_EQ(header.biHeight, 2 * sizes[i]);
        EXPECT_EQ(header.biBitCount, 8);
        // A real picture: more than a handful of palette entries in use.
        const BYTE* pixels = reinterpret_cast<const BYTE*>(LockResource(LoadResource(exe, image))) + 40 + 1024;
        std::vector<bool> used(256);
        for (int p = 0; p < sizes[i] * sizes[i]; ++p)
            used[pixels[p]] = true;
        EXPECT_GT(std::count(used.begin(), used.end(), true), 8);
    }

    HRSRC manifest = FindResourceW(exe, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    std::string text(static_cast<const char*>(LockResource(LoadResource(exe, manifest))),
                     SizeofResource(exe, manifest));
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(text.find("processorArchitecture=\"" KORVANE_ARCH_NAME "\""), std::string::npos);
    EXPECT_NE(text.find("requireAdministrator"), std::string::npos);
    FreeLibrary(exe);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(KorvaneExe().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(KorvaneExe().c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_EQ(std::wstring(value), L"0,9,1,0");
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_EQ(std::wstring(value), L"Korvane");
}

TEST(Korvane, StartUpDriveDetailsAboutEditingAndEsc)
{
    Korvane k;
    ASSERT_TRUE(k.Start());
    ts::ObservedBox warning = k.DismissWarning();
    EXPECT_EQ(warning.caption, L"WARNING!");
    EXPECT_EQ(warning.text, WarrantyText);
    EXPECT_EQ(warning.buttons, std::vector<int>({IDOK}));
    // Shown over the initialised main window, owned by it; no box came before it.
    HWND main = k.MainWindow();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(warning.owner, main);
    EXPECT_EQ(k.Boxes().Boxes().size(), 1u);

    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_FALSE(IsIconic(main));
    EXPECT_EQ(ts::StatusText(k.Item(IDC_STATUS)), FirstStatus);
    EXPECT_TRUE(IsIdle(k));
    EXPECT_TRUE(IsReadOnly(k.Item(IDC_FILE_NAME)));
    EXPECT_EQ(ts::WindowText(k.Item(IDC_FILE_NAME)), L"");
    EXPECT_EQ(ts::ReadProgress(k.Item(IDC_PROGRESS)).position, 0);
    const std::vector<std::wstring> drives = ts::ComboItems(k.Item(IDC_DRIVE_COMBO));
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives[0].find(L"PHYSICALDRIVE0") != std::wstring::npos, true) << ts::Narrow(drives[0]);
    EXPECT_EQ(ts::ComboSelection(k.Item(IDC_DRIVE_COMBO)), -1);
    EXPECT_TRUE(ts::ListItems(k.Item(IDC_DETAILS)).empty());

    // Choosing the drive shows its four details.
    k.SelectFirstDrive();
    std::vector<std::wstring> details = ts::ListItems(k.Item(IDC_DETAILS));
    ASSERT_EQ(details.size(), 4u);
    EXPECT_EQ(details[1], L"82 252 800 000 Bytes");
    EXPECT_EQ(details[2], L"Fixed hard disk media");
    EXPECT_EQ(details[3], L"IDE");
    EXPECT_EQ(ts::StatusText(k.Item(IDC_STATUS)), L"Physical drive selected");
    EXPECT_EQ(ts::ComboSelection(k.Item(IDC_DRIVE_COMBO)), 0);
    EXPECT_TRUE(SaveScreenshot(main, ScreenshotPath(L"korvane-main.png")));

    // Refresh lists the same drives once more and drops the selection.
    SendMessageW(k.Item(IDC_REFRESH), BM_CLICK, 0, 0);
    EXPECT_EQ(ts::ComboItems(k.Item(IDC_DRIVE_COMBO)), drives);
    EXPECT_EQ(ts::ComboSelection(k.Item(IDC_DRIVE_COMBO)), -1);
    EXPECT_TRUE(ts::ListItems(k.Item(IDC_DETAILS)).empty());
    EXPECT_EQ(ts::StatusText(k.Item(IDC_STATUS)), FirstStatus);
    EXPECT_EQ(k.Boxes().Boxes().size(), 1u);

    // The About box from the "i" button (its other ways out are tested in-process).
    k.Click(IDC_ABOUT);
    HWND about = k.FindWindowWithCaption(L"About");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(IsWindowEnabled(main)); // the About box has no owner
    std::vector<std::wstring> lines = Lines(ts::WindowText(FindWindowExW(about, nullptr, L"Static", nullptr)));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[5], L" version 0.9.1.0");
    EXPECT_TRUE(SaveScreenshot(about, ScreenshotPath(L"korvane-about.png")));
    PostMessageW(GetDlgItem(about, IDC_ABOUT_OK), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }));

    // A second instance is warned, not stopped, and shows itself normally, in its one
    // size, even when its launcher asks for a minimised or maximised window.
    RECT normal = {};
    ASSERT_TRUE(GetWindowRect(main, &normal));
    for (WORD showState : {SW_SHOWMINNOACTIVE, SW_SHOWMAXIMIZED}) {
        SCOPED_TRACE(showState);
        Korvane second;
        ASSERT_TRUE(second.Start(showState));
        ts::ObservedBox again = second.DismissWarning();
        EXPECT_EQ(again.text, SeveralText);
        HWND window = second.MainWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(IsWindowVisible(window));
        EXPECT_FALSE(IsIconic(window));
        EXPECT_FALSE(IsZoomed(window));
        RECT shown = {};
        ASSERT_TRUE(GetWindowRect(window, &shown));
        EXPECT_EQ(shown.right - shown.left, normal.right - normal.left);
        EXPECT_EQ(shown.bottom - shown.top, normal.bottom - normal.top);
        PostMessageW(second.Item(IDC_REFRESH), WM_KEYDOWN, VK_ESCAPE, 0);
        EXPECT_EQ(second.WaitForExit(), 0u);
    }
    EXPECT_TRUE(k.Running());

    // Typing a name by hand; Esc inside the edit does not close the program.
    TypeName(k, L"C:\\typed by hand.hdd");
    PostMessageW(k.Item(IDC_FILE_NAME), WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(k.Item(IDC_FILE_NAME), WM_KEYDOWN, VK_TAB, 0);
    EXPECT_EQ(k.WaitForExit(700), DWORD(STILL_ACTIVE));
    EXPECT_TRUE(IsWindowVisible(main));

    // Esc anywhere else closes it, with exit code 0.
    PostMessageW(k.Item(IDC_REFRESH), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(k.WaitForExit(), 0u);
}

TEST(Korvane, FileDialogCreateAndRestoreOnWinesDrive)
{
    const std::wstring created = ts::TempPath(L"created.hdd");
    const std::wstring small = ts::TempPath(L"small.hdd");
    DeleteFileW(created.c_str());
    const std::vector<unsigned char> image = ts::Pattern(64 * 1024 + 100, 7); // no whole sectors: refused at any size
    ASSERT_TRUE(ts::WriteWholeFile(small, image));

    Korvane k;
    ASSERT_NO_FATAL_FAILURE(StartWithDriveSelected(k));

    // Select: a person types the path into the file dialog and presses Open.
    k.Click(IDC_SELECT);
    HWND open = k.FindFileDialog();
    ASSERT_NE(open, nullptr);
    Sleep(200);
    HWND field = GetDlgItem(open, 0x47c);
    if (field == nullptr)
        field = GetDlgItem(open, 0x480);
    ASSERT_NE(field, nullptr);
    SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(created.c_str()));
    PostMessageW(GetDlgItem(open, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return ts::WindowText(k.Item(IDC_FILE_NAME)) == created; }));
    EXPECT_TRUE(StartsWith(ts::StatusText(k.Item(IDC_STATUS)), L"Free bytes at target disk: "));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\KORVANE", 0, KEY_READ, &key), ERROR_SUCCESS);
    wchar_t folder[300] = {};
    DWORD bytes = sizeof(folder) - sizeof(wchar_t);
    EXPECT_EQ(RegQueryValueExW(key, L"InitDir", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(std::wstring(folder), created.substr(0, created.rfind(L'\\')));

    // Create: Wine's drive can be neither positioned nor read (which of the two
    // comes first depends on the Wine build); both boxes come while the controls are busy.
    const std::wstring freeSpace = ts::StatusText(k.Item(IDC_STATUS));
    k.Click(IDC_CREATE);
    ts::ObservedBox box;
    ASSERT_TRUE(k.Boxes().WaitForOpenBox(&box));
    EXPECT_EQ(box.caption, L"Error!");
    const bool readFailed = StartsWith(box.text, L"Read disk error\n\n\nNOTE:");
    EXPECT_TRUE(readFailed || StartsWith(box.text, L"Diskpointer error\n\n\nNOTE:")) << ts::Narrow(box.text);
    EXPECT_TRUE(IsBusy(k));
    k.Answer(IDOK);
    box = k.Answer(IDOK);
    EXPECT_EQ(box.caption, L"Korvane:");
    EXPECT_EQ(box.text, L"The disk image wasn't created!");
    EXPECT_EQ(box.owner, k.MainWindow());
    EXPECT_TRUE(WaitFor([&] { return IsIdle(k); }));
    // A copy that never started leaves the status text alone.
    if (readFailed)
        EXPECT_TRUE(StartsWith(ts::StatusText(k.Item(IDC_STATUS)), L"Bytes read: "));
    else
        EXPECT_EQ(ts::StatusText(k.Item(IDC_STATUS)), freeSpace);

    // Restore: No at the question starts nothing; Yes stops before writing a byte,
    // at the size check or where the drive can't be positioned.
    TypeName(k, small);
    k.Boxes().Clear();
    k.Click(IDC_RESTORE);
    box = k.Answer(IDNO);
    EXPECT_EQ(box.caption, L"Write data to disk");
    EXPECT_EQ(box.buttons, std::vector<int>({IDYES, IDNO}));
    EXPECT_FALSE(k.Boxes().WaitForBoxes(2, 700));
    EXPECT_TRUE(IsIdle(k));

    k.Click(IDC_RESTORE);
    EXPECT_EQ(k.Answer(IDYES).caption, L"Write data to disk");
    box = k.Answer(IDOK);
    EXPECT_EQ(box.caption, L"Error!");
    EXPECT_TRUE(StartsWith(box.text, L"Sizes of selected file and selected disk aren't equal!\n") ||
                StartsWith(box.text, L"Diskpointer error\n"))
        << ts::Narrow(box.text);
    box = k.Answer(IDOK);
    EXPECT_EQ(box.caption, L"Korvane:");
    EXPECT_EQ(box.text, L"The disk image wasn't written!");
    EXPECT_TRUE(WaitFor([&] { return IsIdle(k); }));
    std::vector<unsigned char> after;
    ASSERT_TRUE(ts::ReadWholeFile(small, &after));
    EXPECT_TRUE(after == image);

    PostMessageW(k.MainWindow(), WM_CLOSE, 0, 0);
    EXPECT_EQ(k.WaitForExit(), 0u);
}

TEST(Korvane, ClosingWhileAJobRunsQuitsOnceTheJobHasEnded)
{
    const std::wstring existing = ts::TempPath(L"existing.hdd");
    const std::vector<unsigned char> content = ts::Pattern(4096, 3);
    ASSERT_TRUE(ts::WriteWholeFile(existing, content));

    Korvane k;
    ASSERT_NO_FATAL_FAILURE(StartWithDriveSelected(k));
    TypeName(k, existing);

    // The job holds at its replace question; the operator closes the window meanwhile.
    k.Click(IDC_CREATE);
    ts::ObservedBox question;
    ASSERT_TRUE(k.Boxes().WaitForOpenBox(&question));
    EXPECT_EQ(question.caption, L"Write image file");
    PostMessageW(k.MainWindow(), WM_CLOSE, 0, 0);
    EXPECT_EQ(k.WaitForExit(700), DWORD(STILL_ACTIVE));
    EXPECT_TRUE(IsWindow(question.window));

    k.Answer(IDNO);
    ts::ObservedBox outcome = k.Answer(IDOK);
    EXPECT_EQ(outcome.caption, L"Korvane:");
    EXPECT_EQ(outcome.text, L"Can't open selected file for write,\nplease check the filename or file properties!");
    EXPECT_EQ(k.WaitForExit(), 0u);
    std::vector<unsigned char> after;
    ASSERT_TRUE(ts::ReadWholeFile(existing, &after));
    EXPECT_TRUE(after == content);
}

// Start-up in this process, from a module that has no main dialog: the warning
// still comes (without an owner), and the program ends instead of waiting forever.
TEST(StartUp, WithoutItsDialogWarnsAndEndsWithCodeOne)
{
    ts::BoxWatcher boxes;
    EXPECT_EQ(RunKorvane(GetModuleHandleW(L"kernel32.dll")), 1);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].caption, L"WARNING!");
    EXPECT_EQ(boxes.Boxes()[0].text, WarrantyText);
    EXPECT_EQ(boxes.Boxes()[0].owner, nullptr);
    // The named mutex went with the shutdown: the next instance is a first one again.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"KORVANE_BY_TALMOR");
    EXPECT_NE(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    CloseHandle(mutex);
}
