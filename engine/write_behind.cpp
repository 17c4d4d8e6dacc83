#include "engine/write_behind.h"

namespace {

DWORD WINAPI WriteBehindProc(void* param)
{
    WriteBehind& behind = *static_cast<WriteBehind*>(param);
    while (WaitForSingleObject(behind.wake, INFINITE) == WAIT_OBJECT_0 && behind.stop == 0) {
        if (!FlushFileBuffers(behind.file)) {
            behind.error = GetLastError() != NO_ERROR ? GetLastError() : ERROR_WRITE_FAULT;
            break;
        }
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
    behind.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (behind.wake != nullptr)
        behind.thread = CreateThread(nullptr, 0, WriteBehindProc, &behind, 0, nullptr);
}

void TellWritten(WriteBehind& behind, int64_t written)
{
    if (behind.thread == nullptr || written < behind.next)
        return;
    behind.next = written + behind.stretch;
    // A wake that is lost leaves its stretch to the next flush.
    SetEvent(behind.wake);
}

bool StopWriteBehind(WriteBehind& behind)
{
    if (behind.thread != nullptr) {
        // A flush under way ends first: the file is closed after this.
        InterlockedExchange(&behind.stop, 1);
        SetEvent(behind.wake);
        WaitForSingleObject(behind.thread, INFINITE);
        CloseHandle(behind.thread);
        behind.thread = nullptr;
    }
    if (behind.wake != nullptr)
        CloseHandle(behind.wake);
    behind.wake = nullptr;
    if (behind.error == NO_ERROR)
        return true;
    SetLastError(behind.error);
    return false;
}
