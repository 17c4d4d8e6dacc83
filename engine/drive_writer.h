// A restore's writes of the drive, on a thread of their own. A drive opened without
// buffering takes one request after the other and stands still while nobody asks: written
// by the job thread, it would wait between two writes for whatever that thread does in
// between (the bar's message to the window, the next piece from the reader, the wake-ups
// that pass it on). The job hands each piece over while the drive still writes the one
// before, so that the thread goes from one write straight to the next, and tells the one
// before once it is written.
#pragma once

#include <windows.h>

#include <cstdint>

// Pieces handed over at once: one written, the next waiting its turn.
const int kWritesAhead = 2;

struct DriveWrite {
    const BYTE* data = nullptr;
    DWORD size = 0;
    BOOL ok = FALSE;
    DWORD written = 0;
    DWORD error = NO_ERROR; // GetLastError of a failed write
    bool queued = false;    // the thread has it, and tells when it is done
};

struct DriveWriter {
    HANDLE thread = nullptr;
    HANDLE asked = nullptr; // semaphore: pieces handed over, or the end
    HANDLE done = nullptr;  // semaphore: pieces written (or given up)
    HANDLE file = nullptr;
    volatile LONG stop = 0;
    DriveWrite writes[kWritesAhead];
    int64_t handed = 0;       // pieces handed over (the job's thread only)
    int64_t awaited = 0;      // pieces whose outcome the job has taken (the job's thread only)
    DWORD failure = NO_ERROR; // the first failed write's error: nothing is written after it
};

// Starts the thread writing `file` from where it stands; without it (it couldn't be
// started) each piece is written by HandWrite itself.
void StartDriveWriter(DriveWriter& writer, HANDLE file);

// Hands `size` bytes of `data` over, to be written after the pieces before; the bytes stay
// untouched until the piece is awaited. At most kWritesAhead pieces are handed over and
// not yet awaited.
void HandWrite(DriveWriter& writer, const BYTE* data, DWORD size);

inline bool WritesPending(const DriveWriter& writer)
{
    return writer.awaited != writer.handed;
}

// Waits for the oldest piece handed over and not yet awaited, and gives its length. False,
// with the last error set, when its write failed or came short, or one before it failed.
bool AwaitWrite(DriveWriter& writer, DWORD* size);

// Ends the thread once every piece handed over is written; their outcome is then lost.
void StopDriveWriter(DriveWriter& writer);
