// Choosing the image file: the real file dialog, the registry value and the free-space text.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "engine/image_jobs.h"
#include "resource.h"
#include "tests/support/win_test_support.h"
#include "tests/ui/ui_test_env.h"
#include "ui/file_select.h"
#include "ui/startup.h"

namespace {

const wchar_t KeyName[] = L"Software\\KORVANE";

bool KeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteKey()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, KeyName);
    ASSERT_FALSE(KeyExists());
}

// The stored value as raw bytes, with its type.
bool StoredValue(std::wstring* text, DWORD* bytes, DWORD* type)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    BYTE data[1024] = {};
    *bytes = sizeof(data);
    const bool ok = RegQueryValueExW(key, L"InitDir", nullptr, type, data, bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    text->assign(reinterpret_cast<wchar_t*>(data), *bytes / sizeof(wchar_t));
    return ok;
}

void StoreRaw(const std::wstring& text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, KeyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"InitDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::wstring CurrentDirectory()
{
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    return folder;
}

std::wstring Folder(const std::wstring& path)
{
    return path.substr(0, path.rfind(L'\\'));
}

// The file-name field of the Open dialog, whichever style the platform gives it.
HWND FileNameField(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, 0x47c);
    if (combo != nullptr) {
        HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr);
        return edit != nullptr ? edit : combo;
    }
    return GetDlgItem(dialog, 0x480);
}

struct DialogSeen {
    bool opened = false;
    HWND owner = nullptr;
};

// Runs the Select command; a person types `typed` into the file dialog and
// presses Open, or presses Cancel when `typed` is null.
DialogSeen SelectAnswering(const wchar_t* typed)
{
    DialogSeen seen;
    WhileModal([] { SendMessageW(Control(IDC_SELECT), BM_CLICK, 0, 0); },
               [&] {
                   HWND dialog = FindOwnDialog(L"");
                   if (dialog == nullptr)
                       return;
                   seen.opened = true;
                   seen.owner = GetWindow(dialog, GW_OWNER);
                   Sleep(100); // let the dialog fill its folder view
                   if (typed == nullptr) {
                       PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
                       return;
                   }
                   SendMessageW(FileNameField(dialog), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed));
                   PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
               });
    return seen;
}

uint64_t DigitsAfter(const std::wstring& text, const std::wstring& prefix)
{
    uint64_t value = 0;
    for (size_t i = prefix.size(); i < text.size(); ++i)
        if (text[i] >= L'0' && text[i] <= L'9')
            value = value * 10 + (text[i] - L'0');
    return value;
}

} // namespace

TEST(RememberedFolder, ReadFallsBackToTheCurrentDirectoryAndCreatesTheKey)
{
    DeleteKey();
    EXPECT_FALSE(ReadInitDir());
    EXPECT_EQ(std::wstring(RememberedFolder), CurrentDirectory());
    EXPECT_TRUE(KeyExists());
}

TEST(RememberedFolder, StoredWithoutTerminatorAndReadBack)
{
    lstrcpyW(RememberedFolder, L"C:");
    ASSERT_TRUE(WriteInitDir());
    std::wstring text;
    DWORD bytes = 0, type = 0;
    ASSERT_TRUE(StoredValue(&text, &bytes, &type));
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(bytes, 4u); // two units, no terminator
    EXPECT_EQ(text, L"C:");
    lstrcpyW(RememberedFolder, L"elsewhere");
    EXPECT_TRUE(ReadInitDir());
    EXPECT_EQ(std::wstring(RememberedFolder), L"C:");

    // The longest folder the program stores: 129 units, 258 bytes.
    const std::wstring longest = L"C:\\" + std::wstring(126, L'f');
    lstrcpyW(RememberedFolder, longest.c_str());
    ASSERT_TRUE(WriteInitDir());
    ASSERT_TRUE(StoredValue(&text, &bytes, &type));
    EXPECT_EQ(bytes, 258u);
    RememberedFolder[0] = L'\0';
    EXPECT_TRUE(ReadInitDir());
    EXPECT_EQ(std::wstring(RememberedFolder), longest);
}

TEST(RememberedFolder, ValueWithTerminatorReadsTheSameAndOverlongValueIsIgnored)
{
    StoreRaw(L"D:\\images");
    EXPECT_TRUE(ReadInitDir());
    EXPECT_EQ(std::wstring(RememberedFolder), L"D:\\images");

    StoreRaw(L"C:\\" + std::wstring(200, L'x'));
    EXPECT_FALSE(ReadInitDir());
    EXPECT_EQ(std::wstring(RememberedFolder), CurrentDirectory());
}

TEST(RememberedFolder, FolderOfTheChosenPath)
{
    wchar_t folder[MAX_PATH];
    ASSERT_TRUE(FolderToRemember(L"D:\\images\\disk.hdd", folder));
    EXPECT_EQ(std::wstring(folder), L"D:\\images");
    ASSERT_TRUE(FolderToRemember(L"C:\\disk.hdd", folder));
    EXPECT_EQ(std::wstring(folder), L"C:");
    EXPECT_FALSE(FolderToRemember(L"\\disk.hdd", folder));
    EXPECT_FALSE(FolderToRemember(L"disk.hdd", folder));

    const std::wstring name = L"\\disk.hdd";
    const std::wstring of129 = L"C:\\" + std::wstring(129 - 3 - name.size(), L'd') + name;
    const std::wstring of130 = L"C:\\" + std::wstring(130 - 3 - name.size(), L'd') + name;
    ASSERT_EQ(of129.size(), 129u);
    ASSERT_TRUE(FolderToRemember(of129.c_str(), folder));
    EXPECT_EQ(std::wstring(folder), Folder(of129));
    EXPECT_FALSE(FolderToRemember(of130.c_str(), folder));
}

TEST(FreeSpace, RootTextAndDefaultExtension)
{
    wchar_t root[MAX_PATH];
    ASSERT_TRUE(FreeSpaceRoot(L"C:\\images\\disk.hdd", root));
    EXPECT_EQ(std::wstring(root), L"C:\\");
    // A share's root needs its trailing backslash for the free-space query.
    ASSERT_TRUE(FreeSpaceRoot(L"\\\\server\\share\\images\\disk.hdd", root));
    EXPECT_EQ(std::wstring(root), L"\\\\server\\share\\");
    EXPECT_FALSE(FreeSpaceRoot(L"disk.hdd", root));

    EXPECT_EQ(FreeSpaceText(1474560), L"Free bytes at target disk: 1 474 560 ");
    EXPECT_EQ(FreeSpaceText(0), L"Free bytes at target disk: 0 ");

    wchar_t path[MAX_PATH] = L"C:\\my.images\\backup";
    AddDefaultExtension(path);
    EXPECT_EQ(std::wstring(path), L"C:\\my.images\\backup.hdd");
    AddDefaultExtension(path);
    EXPECT_EQ(std::wstring(path), L"C:\\my.images\\backup.hdd");
    lstrcpyW(path, L"C:\\disk.img");
    AddDefaultExtension(path);
    EXPECT_EQ(std::wstring(path), L"C:\\disk.img");
    // No room for the extension: the name stays as chosen.
    const std::wstring full = L"C:\\" + std::wstring(MAX_PATH - 4 - 3, L'n');
    lstrcpyW(path, full.c_str());
    AddDefaultExtension(path);
    EXPECT_EQ(std::wstring(path), full);
}

TEST(FileDialog, CancelChangesNothingButCreatesTheKey)
{
    DeleteKey();
    SetWindowTextW(Control(IDC_FILE_NAME), L"kept.hdd");
    SendMessageW(g_StatusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"before"));
    DialogSeen seen = SelectAnswering(nullptr);
    EXPECT_TRUE(seen.opened);
    EXPECT_EQ(seen.owner, MainWindow());
    EXPECT_TRUE(KeyExists());
    EXPECT_EQ(ts::WindowText(Control(IDC_FILE_NAME)), L"kept.hdd");
    EXPECT_EQ(ts::StatusText(g_StatusBar), L"before");
}

TEST(FileDialog, TypedPathFillsTheEditRemembersTheFolderAndShowsFreeSpace)
{
    DeleteKey();
    const std::wstring chosen = ts::TempPath(L"chosen.hdd");
    DeleteFileW(chosen.c_str());
    DialogSeen seen = SelectAnswering(chosen.c_str());
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(ts::WindowText(Control(IDC_FILE_NAME)), chosen);

    std::wstring stored;
    DWORD bytes = 0, type = 0;
    ASSERT_TRUE(StoredValue(&stored, &bytes, &type));
    EXPECT_EQ(stored, Folder(chosen));
    EXPECT_EQ(bytes, Folder(chosen).size() * sizeof(wchar_t));

    const std::wstring prefix = L"Free bytes at target disk: ";
    const std::wstring status = ts::StatusText(g_StatusBar);
    ASSERT_EQ(status.rfind(prefix, 0), 0u) << ts::Narrow(status);
    EXPECT_EQ(status.back(), L' ');
    ULARGE_INTEGER available = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &available, nullptr, nullptr));
    const uint64_t shown = DigitsAfter(status, prefix);
    const uint64_t slack = 256ull << 20;
    EXPECT_LT(shown > available.QuadPart ? shown - available.QuadPart : available.QuadPart - shown, slack);
    // The edit is not unlocked by choosing a file.
    EXPECT_TRUE(GetWindowLongW(Control(IDC_FILE_NAME), GWL_STYLE) & ES_READONLY);

    // The next Select opens in that folder: a bare name lands there, with the extension.
    seen = SelectAnswering(L"backup");
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(ts::WindowText(Control(IDC_FILE_NAME)), Folder(chosen) + L"\\backup.hdd");

    // An existing file without extension is taken as it is, not swapped for another name.
    const std::wstring plain = Folder(chosen) + L"\\plainimage";
    ASSERT_TRUE(ts::WriteWholeFile(plain, ts::Pattern(512, 9)));
    seen = SelectAnswering(L"plainimage");
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(ts::WindowText(Control(IDC_FILE_NAME)), plain);
    DeleteFileW(plain.c_str());
}
