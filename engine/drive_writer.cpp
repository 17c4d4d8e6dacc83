#include "engine/drive_writer.h"

#include "engine/app_state.h"

namespace {

void WritePiece(DriveWriter& writer, DriveWrite& piece)
{
    piece.written = 0;
    if (writer.failure != NO_ERROR) {
        // The drive's pointer stands anywhere after a failed write: what follows isn't written.
        piece.ok = FALSE;
        piece.error = writer.failure;
        return;
    }
    piece.ok = WriteFile(writer.file, piece.data, piece.size, &piece.written, nullptr);
    piece.error = piece.ok ? NO_ERROR : GetLastError();
    if (!piece.ok || piece.written != piece.size)
        writer.failure = piece.ok ? ERROR_WRITE_FAULT : piece.error;
}

DWORD WINAPI DriveWriterProc(void* param)
{
    DriveWriter& writer = *static_cast<DriveWriter*>(param);
    for (int64_t index = 0; WaitForSingleObject(writer.asked, INFINITE) == WAIT_OBJECT_0 && writer.stop == 0; ++index) {
        WritePiece(writer, writer.writes[index % kWritesAhead]);
        if (!ReleaseSemaphore(writer.done, 1, nullptr))
            break;
    }
    return 0;
}

} // namespace

void StartDriveWriter(DriveWriter& writer, HANDLE file)
{
    writer.file = file;
    writer.asked = CreateSemaphoreW(nullptr, 0, kWritesAhead + 1, nullptr);
    writer.done = CreateSemaphoreW(nullptr, 0, kWritesAhead, nullptr);
    if (writer.asked != nullptr && writer.done != nullptr)
        writer.thread = CreateThread(nullptr, 0, DriveWriterProc, &writer, 0, nullptr);
}

void HandWrite(DriveWriter& writer, const BYTE* data, DWORD size)
{
    DriveWrite& piece = writer.writes[writer.handed % kWritesAhead];
    piece.data = data;
    piece.size = size;
    ++writer.handed;
    piece.queued = false;
    if (writer.thread == nullptr) {
        WritePiece(writer, piece);
        return;
    }
    piece.queued = ReleaseSemaphore(writer.asked, 1, nullptr) != FALSE;
    if (!piece.queued) {
        // A thread that can't be asked may still write a piece before: this one is given up, and
        // the thread takes none after it.
        piece.ok = FALSE;
        piece.written = 0;
        piece.error = GetLastError();
        InterlockedExchange(&writer.stop, 1);
    }
}

bool AwaitWrite(DriveWriter& writer, DWORD* size)
{
    *size = 0;
    if (!WritesPending(writer))
        return true;
    DriveWrite& piece = writer.writes[writer.awaited % kWritesAhead];
    ++writer.awaited;
    if (piece.queued) {
        // The lower index wins: a write done is taken before the thread's end.
        const HANDLE waits[] = {writer.done, writer.thread};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            piece.ok = FALSE;
            piece.error = ERROR_GEN_FAILURE;
        }
    }
    *size = piece.size;
    if (piece.ok && piece.written == piece.size)
        return true;
    SetLastError(piece.ok ? ERROR_WRITE_FAULT : piece.error);
    return false;
}

void StopDriveWriter(DriveWriter& writer)
{
    DWORD size = 0;
    while (WritesPending(writer))
        AwaitWrite(writer, &size);
    if (writer.thread != nullptr) {
        InterlockedExchange(&writer.stop, 1);
        ReleaseSemaphore(writer.asked, 1, nullptr);
        WaitForSingleObject(writer.thread, INFINITE);
    }
    CloseIfOpen(writer.thread);
    CloseIfOpen(writer.asked);
    CloseIfOpen(writer.done);
}
