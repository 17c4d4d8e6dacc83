// The two transfer loops: drive to image file and image file to drive.
#pragma once

#include <windows.h>

#include <cstdint>

struct AppState;
struct RescueMap;

// Both run on the job thread with DiskHandle and ImageHandle of g_App open.
// True only when every byte arrived; every failure has been shown already.
// A read error of the drive asks whether to rescue around it (app.ImageRescued then);
// `continued` continues the unfinished rescue of that map instead of copying.
bool CreateImage(RescueMap* continued = nullptr);
bool RestoreImage();

// Moves the file pointer of a drive or file to `offset` from its start.
bool SeekTo(HANDLE file, int64_t offset);

// Tells `bytesDone` of TotalBytes after a chunk of the running step: the bar, the
// taskbar button and, at most once a second, the step's status text with its figures.
// Runs on the job thread; the step began with SetStatusText.
void ShowProgress(AppState& app, int64_t bytesDone);

// Asks `question` ("Cancel read image?") in the "Warning" box, Yes and No (with
// `defaultButton`, e.g. MB_DEFBUTTON2), the taskbar button paused while it is
// open. True on Yes. Runs on the job thread.
bool ConfirmCancel(AppState& app, const wchar_t* question, UINT defaultButton = 0);
// Takes the cancel request and clears it, so that one question answers any number of presses.
bool TakeCancelRequest(AppState& app);
