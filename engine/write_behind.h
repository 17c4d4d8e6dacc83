// A create's image file goes through the system's cache. Left to the flush at the end,
// what the cache holds is written only when the copy is over, and the job waits there,
// its bar full, for as long as the disk takes to write it. A thread of its own flushes
// the file each time another stretch has been written, while the job goes on reading
// and writing: the flush at the end waits for the last stretch only. The job runs at
// most two stretches ahead of the flush under way, so that its bar follows what has
// arrived and a cancel waits for one flush at most.
#pragma once

#include <windows.h>

#include <cstdint>

// The bytes between two flushes: a few tenths of a second of a fast disk.
const int64_t kWriteBehindBytes = 64LL << 20;

struct WriteBehind {
    HANDLE file = nullptr;
    HANDLE thread = nullptr;
    HANDLE asked = nullptr; // semaphore: stretches written and not yet flushed, or the end
    HANDLE room = nullptr;  // semaphore: stretches the job may still write ahead
    volatile LONG stop = 0;
    DWORD error = NO_ERROR; // a failed flush's error; read after the thread ended
    int64_t stretch = 0;
    int64_t next = 0; // the bytes written that end the next stretch (the job's thread only)
};

// Starts the thread for `file`, flushing it after every `stretch` bytes written. Without it
// (0, or it couldn't be started) the flush at the end writes everything, as before.
void StartWriteBehind(WriteBehind& behind, HANDLE file, int64_t stretch);

// The bytes the job has written so far. At the end of a stretch it asks for a flush,
// waiting first while two stretches already wait for theirs. False, with nothing asked,
// when a flush failed: the job stops there, and StopWriteBehind gives the error.
bool TellWritten(WriteBehind& behind, int64_t written);

// Ends the thread after the flush under way. False, with the error set, when one of its
// flushes failed: the bytes it wrote back may not have arrived, and a later flush of the
// same file need not say so again.
bool StopWriteBehind(WriteBehind& behind);
