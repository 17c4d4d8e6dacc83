// Placeholder until the enumeration lands.
#include "drives/wmi_enum.h"

std::wstring MediaDescriptionFor(uint32_t) { return L""; }
bool InitWmi() { return false; }
int32_t EnumerateDrives() { return 0; }
