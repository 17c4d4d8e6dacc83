#include "report/error_box.h"

#include <windows.h>
#include <commctrl.h>

#include <sstream>

#include "engine/app_state.h"
#include "resource.h"

std::wstring ComposeErrorText(const std::wstring& text)
{
    std::wostringstream message;
    message << text << L"\n\n\n"
            << L"NOTE:"
            << L"This program requires:\n\n"
            << L"Windows XP\n"
            << L"Administrator rights\n"
            << L"Windows Explorer\n"
            << L"Running WMI"
            << L"\n";
    return message.str();
}

void ShowErrorBox(AppState& state, const std::wstring& text)
{
    const std::wstring message = ComposeErrorText(text);
    MessageBoxW(state.MainWindow, message.c_str(), L"Error!", MB_ICONERROR);
}

void SetStatusText(const std::wstring& text)
{
    // Each text set here begins a step: figures shown after it start afresh.
    g_App->StatusStep = text;
    StartFigures(g_App->Figures, GetTickCount());
    SendDlgItemMessageW(g_App->MainWindow, IDC_STATUS, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}
