// Placeholder until the jobs land.
#include "engine/image_jobs.h"

wchar_t ImageFileName[MAX_PATH];

void SetControlsIdle(bool) {}
void RequestCancel() {}
bool StartImageJob(JobKind) { return false; }
void OnJobEnded() {}
bool IsJobRunning() { return false; }
DWORD WINAPI RunCreateJob(void*) { return 0; }
DWORD WINAPI RunRestoreJob(void*) { return 0; }
bool OpenSelectedDisk() { return false; }
bool OpenImageForWrite() { return false; }
void CloseImageFile() {}
void CloseDisk() {}
