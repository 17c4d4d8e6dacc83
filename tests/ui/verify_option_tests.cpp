// "Verify after writing" and "Image only the partitions": the system-menu items of the real
// main dialog and their registry values.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/app_state.h"
#include "resource.h"
#include "tests/support/win_test_support.h"
#include "tests/ui/ui_test_env.h"
#include "ui/verify_option.h"

namespace {

const wchar_t KeyName[] = L"Software\\KORVANE";

// The item as the menu shows it: its text, or empty when absent; checked or not.
std::wstring ItemText(HWND window, bool* checked, UINT item = IDM_VERIFY)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    wchar_t text[64] = {};
    if (GetMenuStringW(menu, item, text, 64, MF_BYCOMMAND) == 0)
        return L"";
    *checked = (GetMenuState(menu, item, MF_BYCOMMAND) & MF_CHECKED) != 0;
    return text;
}

void DeleteValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyName, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, L"Verify");
    RegDeleteValueW(key, L"PartitionsOnly");
    RegDeleteValueW(key, L"Checksum");
    RegCloseKey(key);
}

void StoreValue(DWORD type, const std::vector<BYTE>& data, const wchar_t* name = L"Verify")
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, KeyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    RegCloseKey(key);
}

bool StoredDword(DWORD* value, const wchar_t* name = L"Verify")
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, bytes = sizeof(*value);
    const bool read =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD && bytes == sizeof(*value);
    RegCloseKey(key);
    return read;
}

TEST(VerifyOption, OnlyAStoredZeroDwordTurnsItOffAtStartUp)
{
    struct Case {
        const char* name;
        DWORD type; // REG_NONE: no value at all
        std::vector<BYTE> data;
        bool on;
        bool partitionsOnly; // the same value stored as PartitionsOnly, off by default
    } cases[] = {
        {"absent", REG_NONE, {}, true, false},
        {"dword 0", REG_DWORD, {0, 0, 0, 0}, false, false},
        {"dword 1", REG_DWORD, {1, 0, 0, 0}, true, true},
        {"dword 7", REG_DWORD, {7, 0, 0, 0}, true, true},
        {"text 0", REG_SZ, {'0', 0, 0, 0}, true, false},
        {"text 1", REG_SZ, {'1', 0, 0, 0}, true, false},
        {"binary zeros", REG_BINARY, {0, 0, 0, 0}, true, false},
        {"qword 0", REG_QWORD, {0, 0, 0, 0, 0, 0, 0, 0}, true, false},
        {"qword 1", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, true, false},
        {"short dword", REG_DWORD, {0, 0}, true, false},
    };
    const bool kept = g_App->VerifyAfterWriting;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteValue();
        if (c.type != REG_NONE) {
            StoreValue(c.type, c.data);
            StoreValue(c.type, c.data, L"PartitionsOnly");
        }
        // Start-up's step on a fresh dialog of the same template.
        HWND dialog = ts::CreateHostDialog();
        ASSERT_NE(dialog, nullptr);
        g_App->VerifyAfterWriting = !c.on;
        AddVerifyMenuItem(dialog);
        EXPECT_EQ(g_App->VerifyAfterWriting, c.on);
        bool checked = !c.on;
        EXPECT_EQ(ItemText(dialog, &checked), L"Verify after writing");
        EXPECT_EQ(checked, c.on);
        EXPECT_EQ(g_App->PartitionsOnly, c.partitionsOnly);
        EXPECT_EQ(ItemText(dialog, &checked, IDM_PARTITIONS_ONLY), L"Image only the partitions");
        EXPECT_EQ(checked, c.partitionsOnly);
        DestroyWindow(dialog);
    }
    g_App->VerifyAfterWriting = kept;
    g_App->PartitionsOnly = false;
    DeleteValue();
}

TEST(VerifyOption, TheMenuItemFlipsTheChoiceAndTheStoredValue)
{
    bool checked = false;
    ASSERT_EQ(ItemText(MainWindow(), &checked), L"Verify after writing");
    const bool initially = g_App->VerifyAfterWriting;
    EXPECT_EQ(checked, initially);
    // Chosen from the menu: the system command, with the low bits the system may set.
    for (WPARAM command : {WPARAM{IDM_VERIFY}, WPARAM{IDM_VERIFY | 2}}) {
        const bool before = g_App->VerifyAfterWriting;
        SendMessageW(MainWindow(), WM_SYSCOMMAND, command, 0);
        EXPECT_EQ(g_App->VerifyAfterWriting, !before);
        ItemText(MainWindow(), &checked);
        EXPECT_EQ(checked, !before);
        DWORD stored = 99;
        ASSERT_TRUE(StoredDword(&stored));
        EXPECT_EQ(stored, before ? 0u : 1u);
        EXPECT_EQ(ReadVerifySetting(), !before);
    }
    EXPECT_EQ(g_App->VerifyAfterWriting, initially);
    // The other item flips its own choice and value only.
    const bool partitions = g_App->PartitionsOnly;
    SendMessageW(MainWindow(), WM_SYSCOMMAND, IDM_PARTITIONS_ONLY, 0);
    EXPECT_EQ(g_App->PartitionsOnly, !partitions);
    EXPECT_EQ(g_App->VerifyAfterWriting, initially);
    ItemText(MainWindow(), &checked, IDM_PARTITIONS_ONLY);
    EXPECT_EQ(checked, !partitions);
    DWORD stored = 99;
    ASSERT_TRUE(StoredDword(&stored, L"PartitionsOnly"));
    EXPECT_EQ(stored, partitions ? 0u : 1u);
    SendMessageW(MainWindow(), WM_SYSCOMMAND, IDM_PARTITIONS_ONLY, 0);
    EXPECT_EQ(g_App->PartitionsOnly, partitions);

    // "Checksum file with every image": on by default, remembered the same way, beside the other.
    ASSERT_EQ(ItemText(MainWindow(), &checked, IDM_CHECKSUM), L"Checksum file with every image");
    EXPECT_TRUE(checked && g_App->ChecksumWithImage);
    for (bool on : {false, true}) {
        SendMessageW(MainWindow(), WM_SYSCOMMAND, IDM_CHECKSUM, 0);
        EXPECT_EQ(g_App->ChecksumWithImage, on);
        ItemText(MainWindow(), &checked, IDM_CHECKSUM);
        EXPECT_EQ(checked, on);
        DWORD stored = 99;
        ASSERT_TRUE(StoredDword(&stored, L"Checksum"));
        EXPECT_EQ(stored, on ? 1u : 0u);
        EXPECT_EQ(ReadChecksumSetting(), on);
    }
    EXPECT_EQ(g_App->VerifyAfterWriting, initially);
    DeleteValue();
    // The other system commands still reach the system: the window stays, restored from its icon.
    SendMessageW(MainWindow(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsIconic(MainWindow()));
    SendMessageW(MainWindow(), WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_FALSE(IsIconic(MainWindow()));
    DeleteValue();
}

} // namespace
