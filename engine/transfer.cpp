#include "engine/transfer.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/drive_writer.h"
#include "engine/image_fit.h"
#include "engine/read_ahead.h"
#include "engine/write_behind.h"
#include "image/image_hash.h"
#include "image/image_source.h"
#include "engine/rescue.h"
#include "engine/image_jobs.h"
#include "image/image_sink.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "report/job_figures.h"
#include "resource.h"
#include "ui/taskbar_button.h"

namespace {

// What tells one direction of the copy from the other.
struct Direction {
    bool restore; // image file to drive; otherwise drive to image file
    const wchar_t* startText;
    const wchar_t* readError;
    const wchar_t* writeError;
    const wchar_t* cancelQuestion;
    const wchar_t* endPrefix;
};

const Direction kCreate = {false,
                           L"Creating image from physical drive",
                           L"Read disk error",
                           L"Write file error",
                           L"Cancel read image?",
                           L"Bytes read: "};
const Direction kRestore = {true,
                            L"Restoring image on physical drive",
                            L"Read file error",
                            L"Write disk error",
                            L"Cancel write image?",
                            L"Bytes written: "};

} // namespace

bool SeekTo(HANDLE file, int64_t offset)
{
    LARGE_INTEGER at = {};
    at.QuadPart = offset;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

bool TakeCancelRequest(AppState& app)
{
    EnterCriticalSection(&app.Lock);
    const bool requested = app.CancelRequested;
    app.CancelRequested = false;
    LeaveCriticalSection(&app.Lock);
    return requested;
}

namespace {

// Prepares the run; false after the error box when it can't start. Holds the buffer on success:
// `wanted` chunks (one read while another is written), or fewer when memory is short.
bool PrepareTransfer(AppState& app, int wanted, int* parts)
{
    if (!IsOpenHandle(app.DiskHandle) || !IsOpenHandle(app.ImageHandle)) {
        ShowErrorBox(app, L"Invalid handle value");
        return false;
    }
    if (!ComputeChunkSize(app)) {
        ShowErrorBox(app, L"Memory calc error");
        return false;
    }
    if (SetFilePointer(app.DiskHandle, 0, nullptr, FILE_BEGIN) != 0) {
        ShowErrorBox(app, L"Diskpointer error");
        return false;
    }
    // The parts begin at 32-bit offsets of the buffer.
    if (wanted > 2 && app.ChunkSize > UINT32_MAX / wanted)
        wanted = 2;
    for (*parts = wanted; *parts != 0; --*parts) {
        app.TransferBuffer = static_cast<BYTE*>(VirtualAlloc(nullptr, static_cast<SIZE_T>(app.ChunkSize) * *parts,
                                                             MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (app.TransferBuffer != nullptr)
            break;
    }
    if (app.TransferBuffer == nullptr) {
        ShowErrorBox(app, L"Virtual memory error");
        return false;
    }
    // Pinned once for the whole run: pinning and unpinning around every
    // drive operation costs more than a tenth of the throughput. Best effort.
    VirtualLock(app.TransferBuffer, static_cast<SIZE_T>(app.ChunkSize) * *parts);
    return true;
}

// Writes `size` bytes of `data` (sector-aligned) at `offset` of the drive or image file.
bool WriteAt(AppState& app, HANDLE destination, int64_t offset, const BYTE* data, DWORD size)
{
    app.LastIoResult = SeekTo(destination, offset) && WriteFile(destination, data, size, &app.BytesWritten, nullptr);
    return app.LastIoResult && app.BytesWritten == size;
}

// The plan's sectors past the image's bytes, through the transfer buffer (the drive takes
// aligned memory only): a restore's GPT moved to the drive's end or an old backup header
// cleared; a create's backup GPT at the image's end, which the checksum covers.
bool WritePastImageEnd(AppState& app, HANDLE destination, uint32_t bufferSize, ImageSink* sink)
{
    const int64_t writeEnd = app.Plan.writeEnd;
    for (const PatchedBytes& patch : app.Plan.patches) {
        const int64_t patchEnd = patch.offset + static_cast<int64_t>(patch.bytes.size());
        for (int64_t at = std::max(patch.offset, writeEnd); at < patchEnd;) {
            const DWORD size = static_cast<DWORD>(std::min<int64_t>(bufferSize, patchEnd - at));
            memcpy(app.TransferBuffer, patch.bytes.data() + (at - patch.offset), size);
            if (sink != nullptr ? !WriteImageSink(*sink, at, app.TransferBuffer, size)
                                : !WriteAt(app, destination, at, app.TransferBuffer, size))
                return false;
            at += size;
            app.BytesDone += size;
            ShowProgress(app, app.BytesDone);
        }
    }
    return true;
}

// A restore holds the image's first chunk back and writes it last, after the sectors
// past the image's end: a restore cut off on the way leaves the drive's old partition
// table, never a new one pointing into half-written data. BytesDone counts bytes in
// the order they are written.
bool Transfer(const Direction& direction, RescueMap* continued)
{
    AppState& app = *g_App;
    // A create writes its image file through the sink, in the format the name picks, hashed as it is written.
    const bool sinking = !direction.restore && continued == nullptr;
    const ImageSinkFormat format = ImageSinkFormatOf(ImageFileName);
    // A raw image's chunks are lent to the hash, not copied: a part is read into again only
    // once both the job and the hash are done with it. A create lends a chunk once written, so
    // its reader gets a third part; a restore lends it as read, and the hash is done with it
    // long before the drive.
    const bool lendable = app.Hash != nullptr && (sinking ? format == ImageSinkFormat::Raw
                                                          : direction.restore && app.Source.format == ImageFormat::Raw);
    int parts = 0;
    if (!PrepareTransfer(app, lendable && sinking ? 3 : 2, &parts))
        return false;

    const HANDLE source = direction.restore ? app.ImageHandle : app.DiskHandle;
    const HANDLE destination = direction.restore ? app.DiskHandle : app.ImageHandle;
    const uint32_t bufferSize = app.ChunkSize;
    // The bytes read from the source, and the bytes the job writes (a create of the partitions only reads less).
    const int64_t readEnd = PlannedImageBytes(app.Plan, app.TotalBytes);
    if (readEnd + PlannedPastEnd(app.Plan) != app.TotalBytes)
        SetJobLength(app, readEnd + PlannedPastEnd(app.Plan));
    BYTE* held = nullptr; // the first chunk of a restore, written last
    if (direction.restore && readEnd > 0) {
        held = static_cast<BYTE*>(VirtualAlloc(nullptr, bufferSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (held == nullptr) {
            ShowErrorBox(app, L"Virtual memory error");
            VirtualFree(app.TransferBuffer, 0, MEM_RELEASE);
            app.TransferBuffer = nullptr;
            return false;
        }
    }
    app.BytesDone = 0;
    // A restore reads the image through its source, which hashes the file's own bytes.
    app.Source.file = app.ImageHandle;
    bool result = !direction.restore || BeginImageRead(app.Source, app.Hash);
    if (!result)
        ShowErrorBox(app, direction.readError);
    DWORD heldSize = 0;
    ImageSink sink;
    const DWORD driveSector = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.Geometry.BytesPerSector;
    if (result && sinking &&
        !BeginImageSink(sink, format, destination, app.ImageSparse, app.Hash, readEnd + PlannedPastEnd(app.Plan),
                        driveSector)) {
        ShowErrorBox(app, direction.writeError);
        result = false;
    }
    // A restore checked against a checksum file says so while it runs.
    SetStatusText(std::wstring(direction.startText) +
                  (direction.restore && app.Hash != nullptr ? L" \u00B7 checksum" : L""));
    // A continued rescue reads only what its map left; a rescue writes where its reads land.
    bool rescued = continued != nullptr;
    if (rescued && result)
        result = ContinueRescue(app, *continued, bufferSize);

    // The source is read a chunk ahead of the writes: the drive (or the image file) goes on
    // reading while the last chunk is written, as it would not by itself.
    ReadAhead reader;
    reader.file = source;
    reader.image = direction.restore ? &app.Source : nullptr;
    reader.buffer = app.TransferBuffer;
    reader.sector = driveSector;
    reader.parts = parts;
    for (int part = 0; part < parts; ++part) {
        reader.start[part] = bufferSize * static_cast<uint32_t>(part);
        reader.size[part] = bufferSize;
    }
    reader.total = readEnd;
    if (lendable && (direction.restore || parts == 3))
        reader.hash = app.Hash;
    if (result && !rescued)
        StartReadAhead(reader);
    const bool lending = reader.hash != nullptr && reader.thread != nullptr;
    sink.giveBack = reader.free;
    // A create's image file is written back on the way, not all at the end.
    WriteBehind behind;
    if (result && !rescued && sinking)
        StartWriteBehind(behind, destination, app.WriteBehindBytes);
    // A restore's drive is written on a thread of its own, one piece after the other.
    DriveWriter writer;
    int64_t handed = -1; // the last piece handed to it
    if (result && direction.restore)
        StartDriveWriter(writer, destination);
    for (int64_t position = 0, index = 0; result && !rescued && position < readEnd; ++index) {
        if (position + static_cast<int64_t>(app.ChunkSize) > readEnd)
            app.ChunkSize = static_cast<uint32_t>(readEnd - position);
        BYTE* buffer = app.TransferBuffer + reader.start[index % parts];
        app.LastIoResult = EndRead(reader, index, position, &app.BytesRead);
        if (!app.LastIoResult || app.BytesRead != app.ChunkSize) {
            // The reader has stopped; a rescue reads on its own, through the first chunk.
            StopReadAhead(reader);
            SetLastError(reader.error[index % parts]);
            // A compressed image is written once from front to back: a rescue has nothing to write zeros into.
            const bool rescuable = !direction.restore && ImageSinkWritesAnywhere(sink.format);
            if (rescuable && RescueAfterReadError(app, bufferSize, &result)) {
                rescued = true;
                break;
            }
            if (direction.restore)
                ShowImageSourceError(app, position + app.BytesRead);
            else if (!rescuable)
                TellNoRescue(app);
            else
                ShowErrorBox(app, direction.readError);
            result = false;
            break;
        }
        // A create's image holds the plan's tables; its sink hashes the file as written, a
        // restore's source the file as read.
        if (position == 0 && held != nullptr) {
            std::memcpy(held, buffer, app.BytesRead);
            buffer = held;
        }
        // A restore's piece lent to the hash is patched only once the hash has read it.
        if (lending && direction.restore && buffer != held && PatchesWithin(app.Plan, position, app.BytesRead))
            AwaitImageHash(app.Hash);
        ApplyPatches(app.Plan, position, buffer, app.BytesRead);
        // The piece whose part goes back now, and the bytes it adds to those done.
        int64_t done = index;
        DWORD doneSize = buffer == held ? 0 : app.ChunkSize;
        if (buffer == held) {
            heldSize = app.BytesRead;
            app.LastIoResult = SeekTo(destination, heldSize);
            app.BytesWritten = app.LastIoResult ? app.BytesRead : 0;
        } else if (direction.restore) {
            // Handed over while the drive still writes the piece before, which is then awaited
            // and told while the drive writes this one.
            HandWrite(writer, buffer, app.BytesRead);
            done = handed;
            handed = index;
            doneSize = 0;
            app.LastIoResult = done < 0 || AwaitWrite(writer, &doneSize);
            app.BytesWritten = app.LastIoResult ? app.BytesRead : 0;
        } else {
            if (lending)
                sink.lent = &reader.holders[index % parts];
            app.LastIoResult = WriteImageSink(sink, position, buffer, app.BytesRead);
            app.BytesWritten = app.LastIoResult ? app.BytesRead : 0;
        }
        if (!app.LastIoResult || app.BytesWritten != app.BytesRead) {
            ShowErrorBox(app, direction.writeError);
            result = false;
            break;
        }
        if (done >= 0 && !FreePart(reader, done)) {
            ShowErrorBox(app, direction.readError);
            result = false;
            break;
        }
        position += app.ChunkSize;
        // A flush on the way failed: the job stops, and the error is told below.
        if (!TellWritten(behind, position))
            break;
        if (doneSize != 0) {
            app.BytesDone += doneSize;
            ShowProgress(app, app.BytesDone);
        }
        // The question is asked with the lock released: Cancel must never wait on the operator.
        if (TakeCancelRequest(app) && ConfirmCancel(app, direction.cancelQuestion)) {
            result = false;
            break;
        }
    }
    // The drive's last pieces are written before anything else is, and count however the loop ended.
    while (WritesPending(writer)) {
        DWORD size = 0;
        if (AwaitWrite(writer, &size)) {
            app.BytesDone += size;
            ShowProgress(app, app.BytesDone);
        } else if (result) {
            ShowErrorBox(app, direction.writeError);
            result = false;
        }
    }
    StopDriveWriter(writer);
    // What follows writes through the first chunk: the reader and the hash are done with the buffer.
    StopReadAhead(reader);
    if (!StopWriteBehind(behind) && result) {
        ShowErrorBox(app, direction.writeError);
        result = false;
    }
    if (result && !direction.restore && !rescued &&
        !(WritePastImageEnd(app, destination, bufferSize, &sink) && EndImageSink(sink))) {
        ShowErrorBox(app, direction.writeError);
        result = false;
    }
    // A create that stopped short: its file is thrown away.
    if (sinking)
        AbandonImageSink(sink);
    // A stream's last checks (its end, its CRC) hold before the first chunk goes: a damaged
    // file leaves the drive's old partition table. The checksum covers the whole file.
    if (result && direction.restore && !EndImageRead(app.Source, true)) {
        ShowImageSourceError(app, readEnd);
        result = false;
    }
    if (direction.restore)
        EndImageRead(app.Source, false);
    if (result && direction.restore) {
        result = WritePastImageEnd(app, destination, bufferSize, nullptr) &&
                 (held == nullptr || WriteAt(app, destination, 0, held, heldSize));
        if (result) {
            app.BytesDone += heldSize;
            ShowProgress(app, app.BytesDone);
        } else {
            ShowErrorBox(app, direction.writeError);
        }
    }
    // Data still in the system's cache has not arrived: only a flushed copy counts as done.
    if (result && !FlushFileBuffers(destination)) {
        ShowErrorBox(app, direction.writeError);
        result = false;
    }

    if (held != nullptr)
        VirtualFree(held, 0, MEM_RELEASE);
    VirtualUnlock(app.TransferBuffer, static_cast<SIZE_T>(bufferSize) * parts);
    if (VirtualFree(app.TransferBuffer, 0, MEM_RELEASE))
        app.TransferBuffer = nullptr;
    SetStatusText(app.ImageRescued ? RescueStatusText(app)
                                   : direction.endPrefix + FormatByteCount(static_cast<uint64_t>(app.BytesDone)));
    return result;
}

} // namespace

bool ConfirmCancel(AppState& app, const wchar_t* question, UINT defaultButton)
{
    PostTaskbarState(app.MainWindow, TaskbarState::Paused);
    const bool confirmed =
        MessageBoxW(app.MainWindow, question, L"Warning", MB_ICONQUESTION | MB_YESNO | defaultButton) == IDYES;
    PostTaskbarState(app.MainWindow, TaskbarState::Running);
    if (!confirmed) {
        EnterCriticalSection(&app.Lock);
        app.CancelDeclined = true;
        LeaveCriticalSection(&app.Lock);
    }
    return confirmed;
}

void ShowProgress(AppState& app, int64_t bytesDone)
{
    // The bar takes each position on the window's thread and paints it before the send
    // returns: told a few times a second it keeps up with the eye, and the copy doesn't
    // wait on the window for every chunk.
    const DWORD now = GetTickCount();
    if (TakeBarTurn(app.Figures, now, bytesDone, app.TotalBytes, app.BarIntervalMs))
        SendDlgItemMessageW(app.MainWindow, IDC_PROGRESS, PBM_SETPOS,
                            static_cast<WPARAM>(ProgressPosition(app, bytesDone)), 0);
    const int permille = TakePermilleChange(app.Figures, bytesDone, app.TotalBytes);
    if (permille >= 0)
        PostTaskbarProgress(app.MainWindow, permille);
    if (!TakeFiguresSample(app.Figures, now, bytesDone))
        return;
    const std::wstring text =
        app.StatusStep + FormatFigures(bytesDone, app.TotalBytes, WindowBytesPerSecond(app.Figures));
    SendDlgItemMessageW(app.MainWindow, IDC_STATUS, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool CreateImage(RescueMap* continued)
{
    return Transfer(kCreate, continued);
}

bool RestoreImage()
{
    return Transfer(kRestore, nullptr);
}
