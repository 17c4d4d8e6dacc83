#include "ui/verify_option.h"

#include "engine/app_state.h"
#include "resource.h"

// The key of the remembered folder too.
static const wchar_t VerifyKeyName[] = L"Software\\KORVANE";
static const wchar_t VerifyValueName[] = L"Verify";

bool ReadVerifySetting()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, VerifyKeyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return true;
    DWORD type = 0, value = 1, bytes = sizeof(value);
    const bool read = RegQueryValueExW(key, VerifyValueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) ==
                      ERROR_SUCCESS;
    RegCloseKey(key);
    // Only a well-formed "off" turns verifying off: anything doubtful keeps the safe default.
    return !(read && type == REG_DWORD && bytes == sizeof(value) && value == 0);
}

bool WriteVerifySetting(bool on)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, VerifyKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD value = on ? 1 : 0;
    const bool stored = RegSetValueExW(key, VerifyValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return stored;
}

static UINT CheckState(bool on)
{
    return on ? MF_CHECKED : MF_UNCHECKED;
}

void AddVerifyMenuItem(HWND dialog)
{
    g_App->VerifyAfterWriting = ReadVerifySetting();
    HMENU menu = GetSystemMenu(dialog, FALSE);
    if (menu == nullptr)
        return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | CheckState(g_App->VerifyAfterWriting), IDM_VERIFY, L"Verify after writing");
}

void ToggleVerify(HWND dialog)
{
    g_App->VerifyAfterWriting = !g_App->VerifyAfterWriting;
    CheckMenuItem(GetSystemMenu(dialog, FALSE), IDM_VERIFY, MF_BYCOMMAND | CheckState(g_App->VerifyAfterWriting));
    // Not stored, the choice still holds until the program ends.
    WriteVerifySetting(g_App->VerifyAfterWriting);
}
