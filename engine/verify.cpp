#include "engine/verify.h"

#include <algorithm>
#include <string>

#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/first_difference.h"
#include "engine/transfer.h"
#include "report/byte_count.h"
#include "report/error_box.h"

namespace {

// What tells the verify of a restore from that of a create.
struct VerifyTexts {
    const wchar_t* status;
    const wchar_t* differs; // follows "Verify error at byte N :\n"
    const wchar_t* endPrefix;
};

const VerifyTexts kRestoreTexts = {L"Verifying physical drive", L"the physical drive doesn't hold what was written!",
                                   L"Bytes written: "};
const VerifyTexts kCreateTexts = {L"Verifying image file", L"the image file doesn't hold what was written!",
                                  L"Bytes read: "};
const wchar_t kReadDiskError[] = L"Read disk error";
const wchar_t kReadFileError[] = L"Read file error";

// Used when the image file's volume can't tell its sector size: no volume in use has larger ones.
const DWORD kAssumedFileSector = 4096;

// One side of the comparison.
struct Side {
    HANDLE handle;
    BYTE* buffer;
    DWORD sector; // reads are whole sectors of this size
    const wchar_t* readError;
};

// Reads one side on a thread of its own: both media work at once, while the job
// thread compares what they read before, and the pass runs at the pace of the slower
// medium. Without the thread (it couldn't be started) its reads run on the job thread.
struct ReadAhead {
    HANDLE thread = nullptr;
    HANDLE start = nullptr; // auto-reset: a read is asked for
    HANDLE done = nullptr;  // auto-reset: it has been made
    // The read asked for and its outcome; handed over by the two events.
    HANDLE file = nullptr;
    BYTE* buffer = nullptr;
    DWORD length = 0;
    DWORD got = 0;
    BOOL ok = FALSE;
    bool pending = false;
    bool stop = false;
};

DWORD WINAPI ReadAheadProc(void* param)
{
    ReadAhead& reader = *static_cast<ReadAhead*>(param);
    while (WaitForSingleObject(reader.start, INFINITE) == WAIT_OBJECT_0 && !reader.stop) {
        reader.ok = ReadFile(reader.file, reader.buffer, reader.length, &reader.got, nullptr);
        if (!SetEvent(reader.done))
            break;
    }
    return 0;
}

void CloseIfOpen(HANDLE& handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
    handle = nullptr;
}

void StartReadAhead(ReadAhead& reader)
{
    reader.start = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    reader.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (reader.start != nullptr && reader.done != nullptr)
        reader.thread = CreateThread(nullptr, 0, ReadAheadProc, &reader, 0, nullptr);
}

void StopReadAhead(ReadAhead& reader)
{
    if (reader.thread != nullptr) {
        // A read still under way ends first: the buffers are released after this.
        reader.stop = true;
        SetEvent(reader.start);
        WaitForSingleObject(reader.thread, INFINITE);
    }
    CloseIfOpen(reader.thread);
    CloseIfOpen(reader.start);
    CloseIfOpen(reader.done);
}

void BeginRead(ReadAhead& reader, HANDLE file, BYTE* buffer, DWORD length)
{
    reader.file = file;
    reader.buffer = buffer;
    reader.length = length;
    reader.got = 0;
    reader.pending = reader.thread != nullptr && SetEvent(reader.start);
    if (!reader.pending)
        reader.ok = ReadFile(file, buffer, length, &reader.got, nullptr);
}

// The bytes the asked read moved; false when it failed or the thread is gone.
bool EndRead(ReadAhead& reader, DWORD* got)
{
    if (reader.pending) {
        reader.pending = false;
        const HANDLE waits[] = {reader.done, reader.thread};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            reader.ok = FALSE;
            // A thread that ended can take no more reads.
            CloseIfOpen(reader.thread);
        }
    }
    *got = reader.got;
    return reader.ok != FALSE;
}

DWORD RoundUp(DWORD bytes, DWORD sector)
{
    return (bytes + sector - 1) / sector * sector;
}

DWORD FileVolumeSector(const wchar_t* path)
{
    wchar_t root[2 * MAX_PATH] = {};
    DWORD sectorsPerCluster = 0, sector = 0, freeClusters = 0, clusters = 0;
    if (GetVolumePathNameW(path, root, 2 * MAX_PATH) &&
        GetDiskFreeSpaceW(root, &sectorsPerCluster, &sector, &freeClusters, &clusters) && sector != 0)
        return sector;
    return kAssumedFileSector;
}

bool SeekToStart(HANDLE file)
{
    LARGE_INTEGER zero = {};
    return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) != FALSE;
}

// Closes the handle the transfer wrote through (flushed by then) and opens the
// written side again for reading, unbuffered: no cache may answer for the medium.
bool ReopenWrittenSide(AppState& app, bool restore)
{
    const wchar_t* path =
        restore ? app.DriveList[static_cast<size_t>(app.SelectedIndex)].DeviceID.c_str() : ImageFileName;
    if (restore)
        CloseDisk();
    else
        CloseImageFile();
    // Exclusive, as the job held it: the pass compares what nobody else changes meanwhile.
    HANDLE reopened = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (!IsOpenHandle(reopened))
        reopened = nullptr;
    (restore ? app.DiskHandle : app.ImageHandle) = reopened;
    return reopened != nullptr;
}

// The two sides of the comparison and their readers: the written side first.
struct Sides {
    const Side* side[2];
    ReadAhead reader[2];
};

// Asks both sides for their next `length` bytes into half `half` of their buffers,
// each read rounded up to its side's sectors (the end of a file may then come short).
void BeginPiece(Sides& sides, uint32_t piece, int half, DWORD length)
{
    for (int s = 0; s < 2; ++s) {
        const Side& side = *sides.side[s];
        BeginRead(sides.reader[s], side.handle, side.buffer + half * piece, RoundUp(length, side.sector));
    }
}

// Waits for both reads; false after the error box of the side that failed (the written one first).
bool EndPiece(AppState& app, Sides& sides, DWORD length)
{
    const wchar_t* error = nullptr;
    for (int s = 1; s >= 0; --s) {
        DWORD got = 0;
        if (!EndRead(sides.reader[s], &got) || got < length)
            error = sides.side[s]->readError;
    }
    if (error != nullptr)
        ShowErrorBox(app, error);
    return error == nullptr;
}

// The data has arrived already: stopping now only leaves it unproven, so No is the default.
bool ConfirmVerifyCancel(AppState& app)
{
    return TakeCancelRequest(app) && ConfirmCancel(app, L"Cancel verify?", MB_DEFBUTTON2);
}

// Pieces of half a chunk go through the two halves of each buffer: one is compared
// while both media already read the next. The bar moves and Cancel is polled once per chunk.
VerifyResult Compare(AppState& app, Sides& sides, uint32_t chunk, const VerifyTexts& texts, int64_t* verified)
{
    const uint32_t half = chunk / 2;
    const bool twoPieces = half != 0 && half % sides.side[0]->sector == 0 && half % sides.side[1]->sector == 0;
    const uint32_t piece = twoPieces ? half : chunk;
    const int64_t total = app.TotalBytes;
    const auto lengthAt = [&](int64_t offset) { return static_cast<DWORD>(std::min<int64_t>(piece, total - offset)); };
    int in = 0; // the half that holds the piece being compared
    if (total > 0)
        BeginPiece(sides, piece, in, lengthAt(0));
    for (int64_t pieces = 1; *verified < total; ++pieces) {
        const DWORD length = lengthAt(*verified);
        if (!EndPiece(app, sides, length))
            return VerifyResult::Failed;
        const int64_t next = *verified + length;
        if (twoPieces && next < total)
            BeginPiece(sides, piece, in ^ 1, lengthAt(next));
        const size_t first =
            FirstDifference(sides.side[0]->buffer + in * piece, sides.side[1]->buffer + in * piece, length);
        if (first != length) {
            *verified += static_cast<int64_t>(first);
            ShowErrorBox(app, L"Verify error at byte " + FormatByteCount(static_cast<uint64_t>(*verified)) + L":\n" +
                                  texts.differs);
            return VerifyResult::Failed;
        }
        *verified = next;
        if (twoPieces)
            in ^= 1;
        else if (next < total)
            BeginPiece(sides, piece, in, lengthAt(next));
        if (pieces % (chunk / piece) == 0 || next == total) {
            ShowProgress(app, next);
            if (ConfirmVerifyCancel(app))
                return VerifyResult::Cancelled;
        }
    }
    return VerifyResult::Equal;
}

// Prepares both sides and runs the comparison; false results have told their cause.
VerifyResult RunVerify(AppState& app, bool restore, const VerifyTexts& texts, int64_t* verified)
{
    const DWORD driveSector =
        app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.Geometry.BytesPerSector;
    const DWORD fileSector = FileVolumeSector(ImageFileName);
    if (!ReopenWrittenSide(app, restore)) {
        ShowErrorBox(app, restore ? kReadDiskError : kReadFileError);
        return VerifyResult::Failed;
    }
    Side drive = {app.DiskHandle, nullptr, driveSector, kReadDiskError};
    Side file = {app.ImageHandle, nullptr, fileSector, kReadFileError};
    Side& written = restore ? drive : file;
    Side& source = restore ? file : drive;
    if (!SeekToStart(source.handle)) {
        ShowErrorBox(app, source.readError);
        return VerifyResult::Failed;
    }
    app.MemoryStatus.dwLength = sizeof(app.MemoryStatus);
    if (!GlobalMemoryStatusEx(&app.MemoryStatus)) {
        ShowErrorBox(app, L"Memory calc error");
        return VerifyResult::Failed;
    }
    const uint32_t chunk =
        VerifyChunkSize(ChunkSizeFor(app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry,
                                     app.MemoryStatus.ullAvailVirtual),
                        driveSector, fileSector);
    // Page-aligned; the second half of each starts on whole sectors of both sides too.
    drive.buffer = chunk == 0
                       ? nullptr
                       : static_cast<BYTE*>(VirtualAlloc(nullptr, chunk, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    file.buffer = drive.buffer == nullptr
                      ? nullptr
                      : static_cast<BYTE*>(VirtualAlloc(nullptr, chunk, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    VerifyResult result = VerifyResult::Failed;
    if (file.buffer != nullptr) {
        Sides sides = {{&written, &source}, {}};
        StartReadAhead(sides.reader[0]);
        StartReadAhead(sides.reader[1]);
        result = Compare(app, sides, chunk, texts, verified);
        StopReadAhead(sides.reader[0]);
        StopReadAhead(sides.reader[1]);
    } else {
        ShowErrorBox(app, L"Virtual memory error");
    }
    if (drive.buffer != nullptr)
        VirtualFree(drive.buffer, 0, MEM_RELEASE);
    if (file.buffer != nullptr)
        VirtualFree(file.buffer, 0, MEM_RELEASE);
    return result;
}

} // namespace

uint32_t VerifyChunkSize(uint32_t chunk, DWORD driveSector, DWORD fileSector)
{
    if (driveSector == 0 || fileSector == 0)
        return 0;
    uint64_t a = driveSector, b = fileSector;
    while (b != 0) {
        const uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    const uint64_t both = static_cast<uint64_t>(driveSector) / a * fileSector;
    if (both > (1u << 30))
        return 0;
    const uint64_t whole = chunk - chunk % both;
    return static_cast<uint32_t>(whole != 0 ? whole : both);
}

VerifyResult VerifyTransfer(JobKind kind)
{
    AppState& app = *g_App;
    const bool restore = kind == JobKind::Restore;
    const VerifyTexts& texts = restore ? kRestoreTexts : kCreateTexts;
    SetStatusText(texts.status);
    ShowProgress(app, 0);
    int64_t verified = 0;
    const VerifyResult result = RunVerify(app, restore, texts, &verified);
    if (result == VerifyResult::Equal)
        SetStatusText(texts.endPrefix + FormatByteCount(static_cast<uint64_t>(app.TotalBytes)));
    else
        SetStatusText(L"Bytes verified: " + FormatByteCount(static_cast<uint64_t>(verified)));
    return result;
}
