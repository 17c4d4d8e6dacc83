// The one record the whole program shares between the dialog and the job thread.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drives/drive_record.h"
#include "engine/image_fit.h"
#include "engine/write_behind.h"
#include "image/image_source.h"
#include "report/job_figures.h"

struct IWbemLocator;
struct IWbemServices;
struct IEnumWbemClassObject;
struct IWbemClassObject;
struct ImageHash;

// Bytes [offset, offset + length) of a drive or image.
struct ByteRange {
    int64_t offset = 0;
    int64_t length = 0;
};

struct AppState {
    HWND MainWindow = nullptr;
    DriveRecord ScratchDrive;
    std::vector<DriveRecord> DriveList;
    int32_t DriveCount = 0;
    int32_t SelectedIndex = -1;
    IWbemLocator* WbemLocator = nullptr;
    IWbemServices* WbemServices = nullptr;
    IEnumWbemClassObject* WbemEnumerator = nullptr;
    IWbemClassObject* WbemObject = nullptr;
    MEMORYSTATUSEX MemoryStatus = {};
    HANDLE DiskHandle = nullptr;
    HANDLE ProbeHandle = nullptr;
    HANDLE ImageHandle = nullptr;
    // A restore's image as it reads ImageHandle: its format, length and decoder.
    ImageSource Source;
    BYTE* TransferBuffer = nullptr;
    uint32_t ChunkSize = 0;
    int64_t BytesDone = 0;
    int64_t TotalBytes = 0;
    DISK_GEOMETRY_EX GeometryScratch = {};
    DWORD BytesRead = 0;
    DWORD BytesWritten = 0;
    BOOL LastIoResult = FALSE;
    // The progress bar counts in units of 2^ProgressShift bytes (1 below 4 GiB).
    uint32_t ProgressShift = 1;
    // The running step's own status text, which the figures follow, and their samples.
    // Written by SetStatusText, read by ShowProgress: one thread at a time.
    std::wstring StatusStep;
    JobFigures Figures;
    // How often at most a running step tells the bar its position, in milliseconds (0: every chunk).
    uint32_t BarIntervalMs = kBarIntervalMs;
    // How many bytes a create writes between two flushes of its image file on the way (0: only at the end).
    int64_t WriteBehindBytes = kWriteBehindBytes;
    // What the running restore writes: set by its size check, read by its transfer and verify pass.
    // A create of the partitions only: what it reads of the drive and the tables it writes instead.
    RestorePlan Plan;
    // The image file was made sparse when opened: chunks of zeros are skipped.
    bool ImageSparse = false;
    // The file a create writes: a temporary file beside the chosen name until the
    // finished image is moved there (what the verify pass reads back); empty otherwise.
    std::wstring ImagePath;
    // The running job's hash of the image's bytes, fed by the transfer loop with every
    // chunk it reads; null when the job doesn't hash.
    ImageHash* Hash = nullptr;
    // Volumes of the target disk held locked and dismounted during a restore.
    std::vector<HANDLE> VolumeHandles;
    // A create: every volume of the source was locked while it was read. When not,
    // a difference the verify finds is the drive changing, not the image.
    bool SourceVolumesLocked = true;
    CRITICAL_SECTION Lock;
    bool CancelRequested = false; // guarded by Lock
    // The last cancel question was answered No; a new request forgets it. Guarded by Lock.
    bool CancelDeclined = false;
    // A rescue's passes: one read of a failing drive can take a minute, so Cancel asks its
    // question at the press, on the thread that pressed, and the passes stop after the read
    // in flight once it is answered Yes. All guarded by Lock.
    bool CancelAtPress = false;     // the passes run: a press asks at once
    bool CancelQuestionOpen = false; // that question is on the screen
    bool CancelConfirmed = false;   // ... and was answered Yes
    DWORD ReadSinceMs = 0;          // when the rescue's read in flight began (GetTickCount); 0: none
    int ReadPass = 0;               // the pass of that read
    // "Verify after writing": the operator's choice, read and changed on the user-interface thread only.
    bool VerifyAfterWriting = true;
    // Whether the running job verifies: taken from the choice by StartImageJob before the worker starts.
    bool JobVerifies = false;
    // "Image only the partitions": the choice, and the running job's copy of it, as for the verify.
    bool PartitionsOnly = false;
    bool JobPartitionsOnly = false;
    // A create of the partitions only that images the whole drive: why.
    WholeDrive ImagedWhole = WholeDrive::No;
    // "Checksum file with every image": the operator's choice (user-interface thread), and the
    // running create's, taken like JobVerifies. Off: no hash, and no checksum file beside the image.
    bool ChecksumWithImage = true;
    bool JobChecksums = true;
    // A create that read around unreadable sectors; set when its rescue starts, cleared at each job's start.
    bool ImageRescued = false;
    bool RescueCancelled = false;
    bool ChecksumCancelled = false; // the rescued image's checksum was stopped by Cancel
    bool RescueDriveLost = false; // the drive went away during the rescue (RescueCancelled too)
    int64_t BytesUnread = 0; // bytes of the image the rescue could not read (zeros there)
    // What the verify of a rescued image compares: the areas its rescue read on the first try.
    std::vector<ByteRange> VerifyAreas;
};

// Set by start-up right after construction; never changed afterwards.
extern AppState* g_App;

// Allocates and constructs the record (strings empty, no selection, handles null, Lock ready).
AppState* CreateAppState();
// Tears the record down (buffer, WMI objects, COM, Lock, drive list) and frees it.
// Runs on the thread that initialised COM, after any job has ended.
void DestroyAppState(AppState* state);

// True when a handle field holds an open handle (neither null nor INVALID_HANDLE_VALUE).
inline bool IsOpenHandle(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Closes a thread, event or semaphore handle that may never have been made (null), and forgets it.
inline void CloseIfOpen(HANDLE& handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
    handle = nullptr;
}
