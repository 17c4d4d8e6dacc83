#include "ui/startup.h"

HINSTANCE g_Instance = nullptr;
HWND g_MainWindow = nullptr;
HWND g_StatusBar = nullptr;
HBRUSH BackgroundBrush = nullptr;

int RunKorvane(HINSTANCE instance)
{
    g_Instance = instance;
    return 0;
}
