// The two transfer loops: drive to image file and image file to drive.
#pragma once

#include <cstdint>

struct AppState;

// Both run on the job thread with DiskHandle and ImageHandle of g_App open.
// True only when every byte arrived; every failure has been shown already.
bool CreateImage();
bool RestoreImage();

// Moves the bar to `bytesDone`; runs on the worker after every chunk of a pass.
void ShowProgress(AppState& app, int64_t bytesDone);
// Takes the cancel request and clears it, so that one question answers any number of presses.
bool TakeCancelRequest(AppState& app);
