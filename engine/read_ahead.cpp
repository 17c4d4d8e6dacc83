#include "engine/read_ahead.h"

#include <algorithm>

#include "engine/app_state.h"
#include "image/image_hash.h"
#include "image/image_source.h"

namespace {

// Reads piece `index` (at `offset`) into its part, a file's rounded up to whole sectors
// (the end of a file may then come short). An image's piece is `lent` to the hash when the
// thread reads it: the part then comes back through the thread's semaphore.
bool ReadPiece(ReadAhead& reader, int64_t index, int64_t offset, bool lent)
{
    const int part = static_cast<int>(index % reader.parts);
    const DWORD length = static_cast<DWORD>(std::min<int64_t>(reader.size[part], reader.total - offset));
    reader.got[part] = 0;
    reader.holders[part] = 1; // the job, once it takes the piece
    BYTE* const into = reader.buffer + reader.start[part];
    if (reader.image != nullptr) {
        uint32_t got = 0;
        reader.ok[part] =
            ReadImageSource(*reader.image, into, length, &got, lent ? &reader.holders[part] : nullptr, reader.free);
        reader.got[part] = got;
    } else {
        reader.ok[part] = ReadFile(reader.file, into, RoundUp(length, reader.sector), &reader.got[part], nullptr);
    }
    reader.error[part] = reader.ok[part] ? NO_ERROR : GetLastError();
    return reader.ok[part] != FALSE;
}

DWORD WINAPI ReadAheadProc(void* param)
{
    ReadAhead& reader = *static_cast<ReadAhead*>(param);
    const HANDLE waits[] = {reader.stop, reader.free};
    for (int64_t index = 0, offset = 0; offset < reader.total; offset += reader.size[index % reader.parts], ++index) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        const bool ok = ReadPiece(reader, index, offset, reader.hash != nullptr);
        // After a failed read the source has nothing more to give.
        if (!ReleaseSemaphore(reader.filled, 1, nullptr) || !ok)
            break;
    }
    return 0;
}

} // namespace

void StartReadAhead(ReadAhead& reader)
{
    reader.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reader.free = CreateSemaphoreW(nullptr, reader.parts, reader.parts, nullptr);
    reader.filled = CreateSemaphoreW(nullptr, 0, reader.parts, nullptr);
    if (reader.stop != nullptr && reader.free != nullptr && reader.filled != nullptr)
        reader.thread = CreateThread(nullptr, 0, ReadAheadProc, &reader, 0, nullptr);
}

void StopReadAhead(ReadAhead& reader)
{
    if (reader.thread != nullptr) {
        // A read still under way ends first: the buffer is released after this.
        SetEvent(reader.stop);
        WaitForSingleObject(reader.thread, INFINITE);
    }
    // The hash hands lent parts back through `free`: it must not be closed before.
    AwaitImageHash(reader.hash);
    CloseIfOpen(reader.thread);
    CloseIfOpen(reader.stop);
    CloseIfOpen(reader.free);
    CloseIfOpen(reader.filled);
}

bool EndRead(ReadAhead& reader, int64_t index, int64_t offset, DWORD* got)
{
    const int part = static_cast<int>(index % reader.parts);
    if (reader.thread == nullptr) {
        ReadPiece(reader, index, offset, false);
    } else {
        // The lower index wins: a last read is taken before the thread's end.
        const HANDLE waits[] = {reader.filled, reader.thread};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // A thread that ended can take no more reads.
            CloseIfOpen(reader.thread);
            reader.error[part] = ERROR_GEN_FAILURE;
            return false;
        }
    }
    *got = reader.got[part];
    return reader.ok[part] != FALSE;
}

bool FreePart(ReadAhead& reader, int64_t index)
{
    return reader.thread == nullptr || LetGoOfPart(&reader.holders[index % reader.parts], reader.free);
}
