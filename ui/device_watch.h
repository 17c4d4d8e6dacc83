// Following disks and volumes as they come and go: the drive list is refreshed
// when the media behind it may have changed, and the selection is kept only
// while the same medium is still there.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <cstdint>
#include <vector>

#include "drives/drive_record.h"

// The timer that gathers a burst of notifications into one refresh.
const UINT_PTR kDeviceRefreshTimer = 0x4B44;
const UINT kDeviceRefreshDelayMs = 300;

// True for a notice that a disk or a local volume has arrived or gone.
bool IsMediaChangeNotice(WPARAM event, const DEV_BROADCAST_HDR* header);
// The position in `list` of the medium `selected` recorded (see SameMedium), or -1.
int32_t FindSameMedium(const std::vector<DriveRecord>& list, const DriveRecord& selected);

// Registers the dialog for disk arrival and removal. False when the system
// refuses; the volume broadcasts that every top-level window gets still arrive.
bool StartDeviceWatch(HWND dialog);
// Unregisters and stops a pending refresh; harmless when nothing is registered.
void StopDeviceWatch(HWND dialog);
// WM_DEVICECHANGE: a change (re)starts the refresh timer; during a job it is remembered.
void NoteDeviceChange(HWND dialog, WPARAM event, LPARAM data);
// WM_POWERBROADCAST: after the machine resumes, a refresh as after a change. Windows
// counts a medium change on every removable drive at a sleep: that refresh keeps the
// selection on the same device, size, serial and layout whose count alone moved.
void NoteResume(HWND dialog, WPARAM event);
// WM_TIMER of kDeviceRefreshTimer.
void OnDeviceRefreshTimer(HWND dialog);
// After a job has ended: the refresh a change during the job asked for, if any.
void RefreshIfDevicesChanged(HWND dialog);
