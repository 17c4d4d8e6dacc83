#include "engine/write_behind.h"

#include "engine/app_state.h"

namespace {

const LONG kStretchesAhead = 2;

DWORD WINAPI WriteBehindProc(void* param)
{
    WriteBehind& behind = *static_cast<WriteBehind*>(param);
    while (WaitForSingleObject(behind.asked, INFINITE) == WAIT_OBJECT_0 && behind.stop == 0) {
        // One flush answers every stretch written by now.
        LONG answered = 1;
        while (WaitForSingleObject(behind.asked, 0) == WAIT_OBJECT_0)
            ++answered;
        if (!FlushFileBuffers(behind.file)) {
            behind.error = GetLastError() != NO_ERROR ? GetLastError() : ERROR_WRITE_FAULT;
            break;
        }
        // At the end the job waits for no room: what was answered may include the stop.
        if (behind.stop != 0 || !ReleaseSemaphore(behind.room, answered, nullptr))
            break;
    }
    return 0;
}

} // namespace

void StartWriteBehind(WriteBehind& behind, HANDLE file, int64_t stretch)
{
    if (stretch <= 0)
        return;
    behind.file = file;
    behind.stretch = behind.next = stretch;
    behind.asked = CreateSemaphoreW(nullptr, 0, kStretchesAhead + 1, nullptr);
    behind.room = CreateSemaphoreW(nullptr, kStretchesAhead, kStretchesAhead, nullptr);
    if (behind.asked != nullptr && behind.room != nullptr)
        behind.thread = CreateThread(nullptr, 0, WriteBehindProc, &behind, 0, nullptr);
}

bool TellWritten(WriteBehind& behind, int64_t written)
{
    if (behind.thread == nullptr || written < behind.next)
        return true;
    behind.next = written + behind.stretch;
    // The lower index wins: a thread that ended is seen before any room it left.
    const HANDLE waits[] = {behind.thread, behind.room};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    // A flush that can't be asked for gives its room back: the flush at the end writes the stretch.
    if (woken == WAIT_OBJECT_0 + 1 && !ReleaseSemaphore(behind.asked, 1, nullptr))
        ReleaseSemaphore(behind.room, 1, nullptr);
    // The thread ends early only when a flush failed (its error is read after its end).
    return woken != WAIT_OBJECT_0 || behind.error == NO_ERROR;
}

bool StopWriteBehind(WriteBehind& behind)
{
    if (behind.thread != nullptr) {
        // A flush under way ends first: the file is closed after this.
        InterlockedExchange(&behind.stop, 1);
        ReleaseSemaphore(behind.asked, 1, nullptr);
        WaitForSingleObject(behind.thread, INFINITE);
    }
    CloseIfOpen(behind.thread);
    CloseIfOpen(behind.asked);
    CloseIfOpen(behind.room);
    if (behind.error == NO_ERROR)
        return true;
    SetLastError(behind.error);
    return false;
}
