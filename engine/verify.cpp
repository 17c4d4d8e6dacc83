#include "engine/verify.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/first_difference.h"
#include "engine/image_fit.h"
#include "engine/read_ahead.h"
#include "engine/transfer.h"
#include "image/image_sink.h"
#include "image/image_source.h"
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
// A create that read volumes it could not lock: the drive may have changed under the copy.
const VerifyTexts kUnlockedCreateTexts = {L"Verifying image file", L"the physical drive changed while it was read!",
                                          L"Bytes read: "};
const wchar_t kReadDiskError[] = L"Read disk error";
const wchar_t kReadFileError[] = L"Read file error";

// The written side's reopen waits out another opener for about two seconds.
const int kReopenTries = 9;
const DWORD kReopenPauseMs = 250;

// Used when the image file's volume can't tell its sector size: no volume in use has larger ones.
const DWORD kAssumedFileSector = 4096;

// One side of the comparison.
struct Side {
    HANDLE handle;
    BYTE* buffer;
    DWORD sector; // reads are whole sectors of this size
    const wchar_t* readError;
    ImageSource* image = nullptr; // a compressed image, read through its decoder from its start
};

// The smallest size that is whole sectors of both sides.
uint64_t SectorOfBoth(DWORD driveSector, DWORD fileSector)
{
    uint64_t a = driveSector, b = fileSector;
    while (b != 0) {
        const uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    return static_cast<uint64_t>(driveSector) / a * fileSector;
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

// Closes the handle the transfer wrote through (flushed by then) and opens the
// written side again for reading, unbuffered: no cache may answer for the medium.
bool ReopenWrittenSide(AppState& app, bool restore, bool decoded)
{
    // A create reads back the file it wrote, which may still have its temporary name.
    const wchar_t* path = restore ? app.DriveList[static_cast<size_t>(app.SelectedIndex)].DeviceID.c_str()
                          : app.ImagePath.empty() ? ImageFileName
                                                  : app.ImagePath.c_str();
    if (restore)
        CloseDisk();
    else
        CloseImageFile();
    // Readers may share (the system and scanners open a drive that was just closed for a
    // look); writers stay out, so the pass compares what nobody changes meanwhile. A
    // sharing violation is such a look still under way: give it a moment.
    HANDLE reopened = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kReopenTries; ++attempt) {
        if (attempt > 0)
            Sleep(kReopenPauseMs);
        reopened = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               decoded ? 0 : FILE_FLAG_NO_BUFFERING, nullptr);
        if (IsOpenHandle(reopened) || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
    }
    if (!IsOpenHandle(reopened))
        reopened = nullptr;
    (restore ? app.DiskHandle : app.ImageHandle) = reopened;
    return reopened != nullptr;
}

// The two sides of the comparison and their readers: the written side first.
struct Sides {
    const Side* side[2];
    ReadAhead reader[2];
    const RestorePlan* plan; // the sectors written instead of the source's
};

// Waits for both sides' piece `index` at `offset`; false after the error box of the side
// that failed (the written one first).
bool EndPiece(AppState& app, Sides& sides, int64_t index, int64_t offset, DWORD length)
{
    const wchar_t* error = nullptr;
    for (int s = 1; s >= 0; --s) {
        DWORD got = 0;
        if (!EndRead(sides.reader[s], index, offset, &got) || got < length)
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

// Tells the first byte where the two sides differ.
VerifyResult VerifyError(AppState& app, const VerifyTexts& texts, int64_t at)
{
    ShowErrorBox(app, L"Verify error at byte " + FormatByteCount(static_cast<uint64_t>(at)) + L":\n" + texts.differs);
    return VerifyResult::Failed;
}

// Each chunk goes as two pieces through the two parts of each buffer: one is compared
// while both media already read the next. The bar moves and Cancel is polled once per chunk.
// `*verified` counts the bytes compared in all spans.
VerifyResult ComparePieces(AppState& app, Sides& sides, const VerifyTexts& texts, const ByteRange& span,
                           int64_t* verified)
{
    const ReadAhead& parts = sides.reader[0];
    const int halves = parts.parts;
    int64_t done = 0; // in this span
    for (int64_t index = 0; done < span.length; ++index) {
        const int half = static_cast<int>(index % halves);
        const DWORD length = static_cast<DWORD>(std::min<int64_t>(parts.size[half], span.length - done));
        if (!EndPiece(app, sides, index, done, length))
            return VerifyResult::Failed;
        ApplyPatches(*sides.plan, span.offset + done, sides.side[1]->buffer + parts.start[half], length);
        const size_t first = FirstDifference(sides.side[0]->buffer + parts.start[half],
                                             sides.side[1]->buffer + parts.start[half], length);
        if (first != length) {
            *verified += static_cast<int64_t>(first);
            return VerifyError(app, texts, span.offset + done + static_cast<int64_t>(first));
        }
        done += length;
        *verified += length;
        for (int s = 0; s < 2; ++s)
            if (!FreePart(sides.reader[s], index)) {
                ShowErrorBox(app, sides.side[s]->readError);
                return VerifyResult::Failed;
            }
        if (half == halves - 1 || done == span.length) {
            ShowProgress(app, *verified);
            if (ConfirmVerifyCancel(app))
                return VerifyResult::Cancelled;
        }
    }
    return VerifyResult::Equal;
}

// The sectors written past the image's bytes (a restore's moved GPT, a create's backup
// GPT), read back from the written side in whole sectors of it and compared with the plan.
VerifyResult ComparePastImageEnd(AppState& app, const Side& written, uint32_t chunk, const VerifyTexts& texts,
                                 int64_t* verified)
{
    const int64_t writeEnd = app.Plan.writeEnd;
    for (const PatchedBytes& patch : app.Plan.patches) {
        const int64_t patchEnd = patch.offset + static_cast<int64_t>(patch.bytes.size());
        for (int64_t at = std::max(patch.offset, writeEnd); at < patchEnd;) {
            const int64_t from = at - at % written.sector;
            const DWORD lead = static_cast<DWORD>(at - from);
            const DWORD length = static_cast<DWORD>(std::min<int64_t>(chunk - lead, patchEnd - at));
            // The end of the image file may come short of the whole sector.
            DWORD got = 0;
            const bool read =
                written.image != nullptr
                    ? ReadImageSourceAt(*written.image, static_cast<uint64_t>(at), written.buffer + lead, length)
                    : SeekTo(written.handle, from) &&
                          ReadFile(written.handle, written.buffer, RoundUp(lead + length, written.sector), &got,
                                   nullptr) &&
                          got >= lead + length;
            if (!read) {
                ShowErrorBox(app, written.readError);
                return VerifyResult::Failed;
            }
            const BYTE* meant = patch.bytes.data() + (at - patch.offset);
            const size_t first = FirstDifference(written.buffer + lead, meant, length);
            if (first != length) {
                *verified += static_cast<int64_t>(first);
                return VerifyError(app, texts, at + static_cast<int64_t>(first));
            }
            *verified += length;
            at += length;
            ShowProgress(app, *verified);
        }
    }
    return VerifyResult::Equal;
}

// Starts both readers at the span's start, compares, and stops them before the buffers go.
VerifyResult Compare(AppState& app, Sides& sides, uint32_t chunk, const VerifyTexts& texts, const ByteRange& span,
                     int64_t* verified)
{
    for (int s = 0; s < 2; ++s)
        if (sides.side[s]->image != nullptr ? span.offset != 0 || !BeginImageRead(*sides.side[s]->image, nullptr)
                                            : !SeekTo(sides.side[s]->handle, span.offset)) {
            ShowErrorBox(app, sides.side[s]->readError);
            return VerifyResult::Failed;
        }
    // The first part is half the chunk or a little less: the chunk of a drive is often an odd
    // number of sectors (a cylinder of 255 x 63), and every read starts on whole sectors of both sides.
    const uint64_t both = SectorOfBoth(sides.side[0]->sector, sides.side[1]->sector);
    const uint32_t firstPart = static_cast<uint32_t>(chunk / 2 - chunk / 2 % both);
    for (int s = 0; s < 2; ++s) {
        ReadAhead& reader = sides.reader[s];
        reader = ReadAhead();
        reader.file = sides.side[s]->handle;
        reader.image = sides.side[s]->image;
        reader.buffer = sides.side[s]->buffer;
        reader.sector = sides.side[s]->sector;
        reader.parts = firstPart != 0 ? 2 : 1;
        reader.start[1] = firstPart;
        reader.size[0] = firstPart != 0 ? firstPart : chunk;
        reader.size[1] = chunk - firstPart;
        reader.total = span.length;
        StartReadAhead(reader);
    }
    const VerifyResult result = ComparePieces(app, sides, texts, span, verified);
    StopReadAhead(sides.reader[0]);
    StopReadAhead(sides.reader[1]);
    for (int s = 0; s < 2; ++s)
        if (sides.side[s]->image != nullptr)
            EndImageRead(*sides.side[s]->image, false);
    return result;
}

// What the pass compares: what was copied (the whole drive, or as far as a plan reads it),
// or the areas it was given (what a rescue read on the first try), each cut down to
// whole sectors of both sides.
std::vector<ByteRange> SpansToCompare(const AppState& app, uint64_t both)
{
    // A rescue that read nothing on the first try has nothing to compare.
    if (!app.ImageRescued)
        return std::vector<ByteRange>(1, ByteRange{0, PlannedImageBytes(app.Plan, app.TotalBytes)});
    std::vector<ByteRange> spans;
    const int64_t step = static_cast<int64_t>(both);
    for (const ByteRange& area : app.VerifyAreas) {
        const int64_t begin = (area.offset + step - 1) / step * step;
        const int64_t end = (area.offset + area.length) / step * step;
        if (begin < end)
            spans.push_back({begin, end - begin});
    }
    return spans;
}

// Prepares both sides and runs the comparison; false results have told their cause.
VerifyResult RunVerify(AppState& app, bool restore, const VerifyTexts& texts, int64_t* verified)
{
    const DWORD driveSector =
        app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.Geometry.BytesPerSector;
    const DWORD fileSector = FileVolumeSector(ImageFileName);
    // A created image in another format than raw is read back through its decoder, from
    // the handle the pass opens (buffered: a virtual disk's blocks lie on 512-byte bounds).
    const bool decoded = !restore && ImageSinkFormatOf(ImageFileName) != ImageSinkFormat::Raw;
    if (!ReopenWrittenSide(app, restore, decoded)) {
        ShowErrorBox(app, restore ? kReadDiskError : kReadFileError);
        return VerifyResult::Failed;
    }
    std::wstring refusal;
    if (decoded) {
        app.Source.file = app.ImageHandle;
        if (!ReadImageRecords(app.Source, &refusal) || !app.Source.lengthKnown) {
            ShowErrorBox(app, kReadFileError);
            return VerifyResult::Failed;
        }
    }
    Side drive = {app.DiskHandle, nullptr, driveSector, kReadDiskError};
    Side file = {app.ImageHandle, nullptr, fileSector, kReadFileError,
                 (restore || decoded) && app.Source.format != ImageFormat::Raw ? &app.Source : nullptr};
    Side& written = restore ? drive : file;
    Side& source = restore ? file : drive;
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
        Sides sides = {{&written, &source}, {}, &app.Plan};
        result = VerifyResult::Equal;
        // What was copied, the plan's tables in place of the source's, then the sectors written past it.
        for (const ByteRange& span : SpansToCompare(app, SectorOfBoth(driveSector, fileSector)))
            if (result == VerifyResult::Equal)
                result = Compare(app, sides, chunk, texts, span, verified);
        if (result == VerifyResult::Equal)
            result = ComparePastImageEnd(app, written, chunk, texts, verified);
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
    const uint64_t both = SectorOfBoth(driveSector, fileSector);
    if (both > (1u << 30))
        return 0;
    const uint64_t whole = chunk - chunk % both;
    return static_cast<uint32_t>(whole != 0 ? whole : both);
}

VerifyResult VerifyTransfer(JobKind kind)
{
    AppState& app = *g_App;
    const bool restore = kind == JobKind::Restore;
    const VerifyTexts& texts =
        restore ? kRestoreTexts : (app.SourceVolumesLocked ? kCreateTexts : kUnlockedCreateTexts);
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
