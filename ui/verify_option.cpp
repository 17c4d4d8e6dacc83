#include "ui/verify_option.h"

#include "engine/app_state.h"
#include "resource.h"

namespace {

// The key of the remembered folder too.
const wchar_t KeyName[] = L"Software\\KORVANE";

struct MenuChoice {
    UINT command;
    const wchar_t* valueName;
    const wchar_t* text;
    bool byDefault;
    bool AppState::*field;
};

const MenuChoice kChoices[] = {
    {IDM_VERIFY, L"Verify", L"Verify after writing", true, &AppState::VerifyAfterWriting},
    {IDM_CHECKSUM, L"Checksum", L"Checksum file with every image", true, &AppState::ChecksumWithImage},
    {IDM_PARTITIONS_ONLY, L"PartitionsOnly", L"Image only the partitions", false, &AppState::PartitionsOnly},
};

bool ReadChoice(const MenuChoice& choice)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return choice.byDefault;
    DWORD type = 0, value = 1, bytes = sizeof(value);
    const bool read = RegQueryValueExW(key, choice.valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                       &bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    // Only a well-formed value changes the choice from its default: anything doubtful keeps it.
    if (!read || type != REG_DWORD || bytes != sizeof(value))
        return choice.byDefault;
    return value != 0;
}

bool WriteChoice(const MenuChoice& choice, bool on)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, KeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD value = on ? 1 : 0;
    const bool stored = RegSetValueExW(key, choice.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return stored;
}

UINT CheckState(bool on)
{
    return on ? MF_CHECKED : MF_UNCHECKED;
}

} // namespace

bool ReadVerifySetting()
{
    return ReadChoice(kChoices[0]);
}

bool WriteVerifySetting(bool on)
{
    return WriteChoice(kChoices[0], on);
}

bool ReadChecksumSetting()
{
    return ReadChoice(kChoices[1]);
}

bool ReadPartitionsOnlySetting()
{
    return ReadChoice(kChoices[2]);
}

bool WritePartitionsOnlySetting(bool on)
{
    return WriteChoice(kChoices[2], on);
}

void AddVerifyMenuItem(HWND dialog)
{
    for (const MenuChoice& choice : kChoices)
        g_App->*choice.field = ReadChoice(choice);
    HMENU menu = GetSystemMenu(dialog, FALSE);
    if (menu == nullptr)
        return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    for (const MenuChoice& choice : kChoices)
        AppendMenuW(menu, MF_STRING | CheckState(g_App->*choice.field), choice.command, choice.text);
}

bool ToggleMenuChoice(HWND dialog, UINT command)
{
    for (const MenuChoice& choice : kChoices) {
        if (choice.command != command)
            continue;
        bool& on = g_App->*choice.field;
        on = !on;
        CheckMenuItem(GetSystemMenu(dialog, FALSE), command, MF_BYCOMMAND | CheckState(on));
        // Not stored, the choice still holds until the program ends.
        WriteChoice(choice, on);
        return true;
    }
    return false;
}
