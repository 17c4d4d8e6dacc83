#include "ui/verify_option.h"

#include "engine/app_state.h"
#include "resource.h"

// The key of the remembered folder too.
static const wchar_t VerifyKeyName[] = L"Software\\KORVANE";

// The system menu's choices: command, registry value, text and where the choice is kept.
struct MenuOption {
    UINT command;
    const wchar_t* value;
    const wchar_t* text;
    bool AppState::*choice;
};

static const MenuOption MenuOptions[] = {
    {IDM_VERIFY, L"Verify", L"Verify after writing", &AppState::VerifyAfterWriting},
    {IDM_CHECKSUM, L"Checksum", L"Checksum file with every image", &AppState::ChecksumWithImage},
};

static bool ReadSetting(const wchar_t* valueName)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, VerifyKeyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return true;
    DWORD type = 0, value = 1, bytes = sizeof(value);
    const bool read = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) ==
                      ERROR_SUCCESS;
    RegCloseKey(key);
    // Only a well-formed "off" turns verifying off: anything doubtful keeps the safe default.
    return !(read && type == REG_DWORD && bytes == sizeof(value) && value == 0);
}

static bool WriteSetting(const wchar_t* valueName, bool on)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, VerifyKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD value = on ? 1 : 0;
    const bool stored = RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return stored;
}

bool ReadVerifySetting()
{
    return ReadSetting(L"Verify");
}

bool WriteVerifySetting(bool on)
{
    return WriteSetting(L"Verify", on);
}

bool ReadChecksumSetting()
{
    return ReadSetting(L"Checksum");
}

static UINT CheckState(bool on)
{
    return on ? MF_CHECKED : MF_UNCHECKED;
}

void AddVerifyMenuItem(HWND dialog)
{
    for (const MenuOption& option : MenuOptions)
        g_App->*option.choice = ReadSetting(option.value);
    HMENU menu = GetSystemMenu(dialog, FALSE);
    if (menu == nullptr)
        return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    for (const MenuOption& option : MenuOptions)
        AppendMenuW(menu, MF_STRING | CheckState(g_App->*option.choice), option.command, option.text);
}

bool ToggleMenuOption(HWND dialog, UINT command)
{
    for (const MenuOption& option : MenuOptions) {
        if (option.command != command)
            continue;
        bool& choice = g_App->*option.choice;
        choice = !choice;
        CheckMenuItem(GetSystemMenu(dialog, FALSE), command, MF_BYCOMMAND | CheckState(choice));
        // Not stored, the choice still holds until the program ends.
        WriteSetting(option.value, choice);
        return true;
    }
    return false;
}
