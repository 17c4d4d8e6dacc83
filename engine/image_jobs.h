// Create and restore jobs on a worker thread, and the controls around them.
#pragma once

#include <windows.h>

enum class JobKind { Create, Restore };

// Posted (not sent) to the main dialog by a job as its last act; the dialog
// procedure answers it with OnJobEnded(). wParam: the JobKind.
#define WM_JOB_ENDED (WM_APP + 1)

// The image file's path; filled by the file dialog, refilled from the edit by each job.
extern wchar_t ImageFileName[MAX_PATH];

void SetControlsIdle(bool enable);
void RequestCancel();
// True when the cancel question that followed the last request was answered No.
bool CancelWasDeclined();
// Disables the controls, moves the focus to Cancel and starts the worker.
// False (after telling the operator, controls back to idle) when the thread
// can't be started; false and nothing done while a job still runs.
bool StartImageJob(JobKind kind);
// The user-interface thread's part of a job's end: closes the thread handle
// and gives the focus back to the button that started the job.
void OnJobEnded();
// True from StartImageJob until OnJobEnded: the worker's last act is to post
// WM_JOB_ENDED, and it touches nothing of the shared record after that.
bool IsJobRunning();

DWORD WINAPI RunCreateJob(void* unused);
DWORD WINAPI RunRestoreJob(void* unused);

// Opens the selected drive exclusively and without system buffering: for
// reading only in a create, for reading and writing in a restore. False when
// no drive is selected, it can't be opened, another medium answers to its path
// (serial number or layout identity differ from the list's, see MediumIdentity),
// or it no longer has the size (and sector size) the list recorded; the drive
// is closed again then, with nothing read or written.
bool OpenSelectedDisk(JobKind kind = JobKind::Create);
// The replace question, then the image file of a create under its temporary name.
bool OpenImageForWrite();
// A rescue keeps its image under the chosen name: moves the open temporary image
// there (replacing the old one), so that the rest of the job writes under the chosen
// name and the finish moves nothing. The file is closed for the move and opened again
// at the same position. False when it could not be moved (the job goes on in the
// temporary file if it could be opened again) or not opened again (no image handle),
// after telling why.
bool KeepImageUnderChosenName();
// Close the handle if open and forget it (the field becomes null).
void CloseImageFile();
void CloseDisk();
