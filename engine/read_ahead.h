// A source read on a thread of its own, piece after piece into the parts of one buffer,
// so that the medium goes on reading while the job thread writes or compares what the
// last piece brought. A drive opened without buffering reads nothing ahead by itself:
// without this thread it would stand still for the rest of each step.
#pragma once

#include <windows.h>

#include <cstdint>

struct ImageHash;
struct ImageSource;

const int kMaxParts = 3;

struct ReadAhead {
    HANDLE thread = nullptr;
    HANDLE stop = nullptr;   // manual-reset: read no more
    HANDLE free = nullptr;   // semaphore: parts taken, to be read into again
    HANDLE filled = nullptr; // semaphore: parts read, to be taken
    // What to read; set before the thread starts.
    HANDLE file = nullptr;
    ImageSource* image = nullptr; // read through its source instead of `file`
    // The hash the job lends parts to, whose reads of them StopReadAhead waits for; null
    // when nothing is lent. With `image`, the reader lends each piece as it is read.
    ImageHash* hash = nullptr;
    BYTE* buffer = nullptr;
    DWORD sector = 0;               // a file's reads are rounded up to whole sectors of this size
    int parts = 1;                  // of the buffer, 1 to kMaxParts; piece `index` goes to part index % parts
    uint32_t start[kMaxParts] = {}; // where each part begins in the buffer
    uint32_t size[kMaxParts] = {};  // its length
    int64_t total = 0;              // bytes to read from where the source stands
    // Each part's read outcome, handed over by the semaphores.
    DWORD got[kMaxParts] = {};
    BOOL ok[kMaxParts] = {};
    DWORD error[kMaxParts] = {}; // GetLastError of a failed read
    // Who still holds each part taken: the job, and the hash while the part is lent to it.
    // The last to let go hands the part back (LetGoOfPart).
    LONG holders[kMaxParts] = {};
};

// Starts the thread; without it (it couldn't be started) each piece is read by EndRead.
void StartReadAhead(ReadAhead& reader);

// Ends the thread after the read under way, and waits for the hash to be done with every
// part lent to it; the buffer may be released after this.
void StopReadAhead(ReadAhead& reader);

// The bytes piece `index` (at `offset`) brought; false when its read failed or the thread
// is gone. After a failed read the reader reads no more.
bool EndRead(ReadAhead& reader, int64_t index, int64_t offset, DWORD* got);

// The job is done with piece `index`: its part goes back to the reader unless the hash
// still reads it.
bool FreePart(ReadAhead& reader, int64_t index);

inline DWORD RoundUp(DWORD bytes, DWORD sector)
{
    return (bytes + sector - 1) / sector * sector;
}
