// The two transfer loops: drive to image file and image file to drive.
#pragma once

#include <cstdint>

struct AppState;

// Both run on the job thread with DiskHandle and ImageHandle of g_App open.
// True only when every byte arrived; every failure has been shown already.
bool CreateImage();
bool RestoreImage();

// Tells `bytesDone` of TotalBytes after a chunk of the running step: the bar, the
// taskbar button and, at most once a second, the step's status text with its figures.
// Runs on the job thread; the step began with SetStatusText.
void ShowProgress(AppState& app, int64_t bytesDone);
