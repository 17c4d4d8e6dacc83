// Placeholder until the drive list lands.
#include "drives/drive_list.h"

#include "engine/app_state.h"

std::wstring ComboTextFor(const DriveRecord& drive) { return drive.DeviceID; }
void SortDriveList(std::vector<DriveRecord>&) {}
bool SelectDrive(AppState&, int32_t) { return false; }
