#include "engine/read_ahead.h"

#include <algorithm>

#include "engine/app_state.h"
#include "image/image_source.h"

namespace {

// Reads piece `index` (at `offset`) into its part, a file's rounded up to whole sectors
// (the end of a file may then come short).
bool ReadPiece(ReadAhead& reader, int64_t index, int64_t offset)
{
    const int half = static_cast<int>(index % reader.halves);
    const DWORD length = static_cast<DWORD>(std::min<int64_t>(reader.size[half], reader.total - offset));
    reader.got[half] = 0;
    BYTE* const into = reader.buffer + reader.start[half];
    if (reader.image != nullptr) {
        uint32_t got = 0;
        reader.ok[half] = ReadImageSource(*reader.image, into, length, &got);
        reader.got[half] = got;
    } else {
        reader.ok[half] = ReadFile(reader.file, into, RoundUp(length, reader.sector), &reader.got[half], nullptr);
    }
    reader.error[half] = reader.ok[half] ? NO_ERROR : GetLastError();
    return reader.ok[half] != FALSE;
}

DWORD WINAPI ReadAheadProc(void* param)
{
    ReadAhead& reader = *static_cast<ReadAhead*>(param);
    const HANDLE waits[] = {reader.stop, reader.free};
    for (int64_t index = 0, offset = 0; offset < reader.total; offset += reader.size[index % reader.halves], ++index) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        const bool ok = ReadPiece(reader, index, offset);
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
    reader.free = CreateSemaphoreW(nullptr, reader.halves, reader.halves, nullptr);
    reader.filled = CreateSemaphoreW(nullptr, 0, reader.halves, nullptr);
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
    CloseIfOpen(reader.thread);
    CloseIfOpen(reader.stop);
    CloseIfOpen(reader.free);
    CloseIfOpen(reader.filled);
}

bool EndRead(ReadAhead& reader, int64_t index, int64_t offset, DWORD* got)
{
    const int half = static_cast<int>(index % reader.halves);
    if (reader.thread == nullptr) {
        ReadPiece(reader, index, offset);
    } else {
        // The lower index wins: a last read is taken before the thread's end.
        const HANDLE waits[] = {reader.filled, reader.thread};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // A thread that ended can take no more reads.
            CloseIfOpen(reader.thread);
            reader.error[half] = ERROR_GEN_FAILURE;
            return false;
        }
    }
    *got = reader.got[half];
    return reader.ok[half] != FALSE;
}

bool FreeHalf(ReadAhead& reader)
{
    return reader.thread == nullptr || ReleaseSemaphore(reader.free, 1, nullptr);
}
