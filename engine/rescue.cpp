#include "engine/rescue.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/image_jobs.h"
#include "image/image_replace.h"
#include "engine/rescue_map.h"
#include "image/sparse_image.h"
#include "engine/transfer.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "resource.h"
#include "ui/taskbar_button.h"

namespace {

// A question about reading on, default No, the taskbar button paused while it is open.
bool AskReadQuestion(AppState& app, const std::wstring& question)
{
    PostTaskbarState(app.MainWindow, TaskbarState::Paused);
    const bool yes = MessageBoxW(app.MainWindow, question.c_str(), L"Read image from disk",
                                 MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
    PostTaskbarState(app.MainWindow, TaskbarState::Running);
    return yes;
}

// The split pass reads failed chunks again in blocks of this size (whole sectors).
const uint32_t kSplitBlock = 64 * 1024;
// The map is written again at least this often while the rescue runs.
const DWORD kMapIntervalMs = 30000;
// Copy, split, scrape (each physical sector once), retry (what is still bad, once more).
const int kPasses = 4;
// Failed reads with no success between them, counted in stretches (see FailedRun):
// this many ask whether to go on. A drive that has stopped reading fails every area;
// one that has bad areas reads between them. Doubled after each Yes.
const int kFailedStretchesToAsk = 16;
// The Query asked of a drive for its physical sector: STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR,
// which the headers declare for Vista on only.
const int kAccessAlignmentProperty = 6;
struct AccessAlignment {
    DWORD version, size, bytesPerCacheLine, bytesOffsetForCacheAlignment;
    DWORD bytesPerLogicalSector, bytesPerPhysicalSector, bytesOffsetForSectorAlignment;
};
// Larger map files are no map of ours: a map grows by one line per area.
const DWORD kLargestMap = 64 << 20;

const wchar_t kWriteFileError[] = L"Write file error";
const wchar_t kCancelQuestion[] = L"Cancel the rescue?\n(what was read is kept, the map tells what wasn't)";
// A read that has not answered for this long is told on the status line.
const DWORD kReadWaitToTellMs = 1000;
const UINT_PTR kReadWaitTimer = 0x4B52;
const wchar_t kWriteMapError[] = L"Can't write the rescue map file,\nplease check the filename or file properties!";

// Failed reads since the last one that read: a failed read that doesn't continue the
// last one starts a stretch, and so does each chunk's length of one.
struct FailedRun {
    int64_t end = -1;
    int64_t stretchStart = 0;
    int stretches = 0;
    int reads = 0;
    int askAt = kFailedStretchesToAsk;
};

// A rescue under way: the record, its map and where its reads go.
struct Rescue {
    AppState& app;
    RescueMap& map;
    std::wstring mapPath;
    DWORD mapSavedMs;
    bool saveFailed; // told once: the map is not tried again
    DWORD physical;  // the scrape's piece: the drive's physical sector
    DWORD physicalOffset; // where the first whole physical sector starts
    uint32_t chunk;
    FailedRun failed;
};

enum class Got { Read, Unreadable, DriveLost };

// The errors of a drive that is gone (unplugged, off the bus, its medium out): nothing
// after them is unreadable, it just wasn't read. Every other error counts as bad sectors.
bool DriveGone(DWORD error)
{
    const DWORD kNoSuchDevice = 433; // ERROR_NO_SUCH_DEVICE, declared for newer systems only
    switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case kNoSuchDevice:
    case ERROR_NOT_READY:
    case ERROR_MEDIA_CHANGED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

// The drive's physical sector where it tells it (Vista on: a 512e disk answers 4096 under
// 512-byte sectors); the logical one where it doesn't, or answers what can't be used.
void QueryPhysicalSector(HANDLE disk, DWORD logical, DWORD* physical, DWORD* offset)
{
    *physical = logical;
    *offset = 0;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = static_cast<STORAGE_PROPERTY_ID>(kAccessAlignmentProperty);
    query.QueryType = PropertyStandardQuery;
    AccessAlignment answer = {};
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &answer, sizeof(answer),
                         &returned, nullptr) ||
        returned < sizeof(answer))
        return;
    const DWORD bytes = answer.bytesPerPhysicalSector;
    const DWORD start = answer.bytesOffsetForSectorAlignment;
    if (bytes > logical && bytes % logical == 0 && bytes <= kSplitBlock && start % logical == 0 && start < bytes) {
        *physical = bytes;
        *offset = start;
    }
}

std::wstring TrimmedCount(int64_t bytes)
{
    std::wstring text = FormatByteCount(static_cast<uint64_t>(bytes));
    if (!text.empty() && text.back() == L' ')
        text.pop_back();
    return text;
}

// Reads `size` bytes of the drive at `offset` into the buffer: read only when all of them came.
Got ReadDrive(AppState& app, int64_t offset, DWORD size)
{
    // The window tells when this read keeps it waiting; 0 means none, so 0 is never a start.
    EnterCriticalSection(&app.Lock);
    app.ReadSinceMs = GetTickCount() | 1;
    LeaveCriticalSection(&app.Lock);
    DWORD got = 0;
    const bool read = SeekTo(app.DiskHandle, offset) && ReadFile(app.DiskHandle, app.TransferBuffer, size, &got, nullptr);
    const DWORD error = GetLastError();
    EnterCriticalSection(&app.Lock);
    app.ReadSinceMs = 0;
    LeaveCriticalSection(&app.Lock);
    if (read)
        return got == size ? Got::Read : Got::Unreadable;
    return DriveGone(error) ? Got::DriveLost : Got::Unreadable;
}

// Whether Cancel was pressed and its question answered Yes (see AskCancelAtPress).
bool CancelConfirmed(AppState& app)
{
    EnterCriticalSection(&app.Lock);
    const bool confirmed = app.CancelConfirmed;
    LeaveCriticalSection(&app.Lock);
    return confirmed;
}

// Cancel asks at the press while the passes run; `on` at their start, off at their end.
void AskCancelAtPress(AppState& app, bool on)
{
    EnterCriticalSection(&app.Lock);
    app.CancelAtPress = on;
    app.CancelRequested = false;
    LeaveCriticalSection(&app.Lock);
}

// Puts what was read at its place in the image; zeros are skipped in a sparse image.
bool WriteImage(AppState& app, int64_t offset, DWORD size)
{
    if (app.ImageSparse && IsAllZero(app.TransferBuffer, size))
        return true;
    DWORD written = 0;
    return SeekTo(app.ImageHandle, offset) &&
           WriteFile(app.ImageHandle, app.TransferBuffer, size, &written, nullptr) && written == size;
}

// Writes the map to a name of its own and moves it over the old one: at every
// moment one whole map lies beside the image.
bool WriteMapFile(const std::wstring& path, const std::string& text)
{
    const std::wstring temporary = path + L".tmp";
    if (WriteNewFile(temporary, text) &&
        MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(temporary.c_str());
    return false;
}

// The image's data reaches the disk before a map that calls it read.
bool SaveMap(Rescue& rescue)
{
    if (!FlushFileBuffers(rescue.app.ImageHandle)) {
        ShowErrorBox(rescue.app, kWriteFileError);
        rescue.saveFailed = true;
        return false;
    }
    if (!WriteMapFile(rescue.mapPath, FormatRescueMap(rescue.map))) {
        ShowErrorBox(rescue.app, kWriteMapError);
        rescue.saveFailed = true;
        return false;
    }
    rescue.mapSavedMs = GetTickCount();
    return true;
}

// The bar and the figures count the bytes of one pass.
void CountBytes(AppState& app, int64_t total)
{
    app.TotalBytes = total;
    app.ProgressShift = ProgressShiftFor(total);
    SendDlgItemMessageW(app.MainWindow, IDC_PROGRESS, PBM_SETRANGE32, 0,
                        static_cast<LPARAM>(ProgressPosition(app, total)));
    SendDlgItemMessageW(app.MainWindow, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}

// What the verify compares: the areas read on the first try, joined where they meet.
// The areas around bad sectors are not read again to compare them.
void AddVerifyArea(AppState& app, int64_t pos, int64_t size)
{
    std::vector<ByteRange>& areas = app.VerifyAreas;
    if (!areas.empty() && areas.back().offset + areas.back().length == pos)
        areas.back().length += size;
    else
        areas.push_back({pos, size});
}

enum class PassEnd { Done, Cancelled, Failed, DriveLost };

// "Rescuing physical drive · pass 2 of 4": the step of a pass on the status line.
std::wstring PassStepText(int pass)
{
    return std::wstring(L"Rescuing physical drive \u00B7 pass ") + static_cast<wchar_t>(L'0' + pass) + L" of " +
           static_cast<wchar_t>(L'0' + kPasses);
}

// Counts a failed read of [pos, pos + size) into the run; after many, asks whether to go on.
// True to go on.
bool GoOnAfterFailure(Rescue& rescue, int64_t pos, int64_t size)
{
    FailedRun& run = rescue.failed;
    if (pos != run.end || pos + size - run.stretchStart > rescue.chunk) {
        ++run.stretches;
        run.stretchStart = pos;
    }
    run.end = pos + size;
    ++run.reads;
    if (run.stretches < run.askAt)
        return true;
    AppState& app = rescue.app;
    const bool yes = AskReadQuestion(app, L"The physical disk failed its last " + TrimmedCount(run.reads) +
                                              L" reads, all over the disk!\nGo on reading around the unreadable parts?\n"
                                              L"(No stops the rescue: the image and its map keep what was read)");
    run.askAt *= 2;
    return yes;
}

// Where the piece at `pos` ends: `piece` bytes on, or with `aligned` at the next boundary of
// pieces that start at `offset`.
int64_t PieceEnd(int64_t pos, uint32_t piece, bool aligned, DWORD offset)
{
    if (!aligned)
        return pos + piece;
    const int64_t from = pos - offset;
    return from < 0 ? offset : offset + (from / piece + 1) * piece;
}

// One piece of a pass: read, written, marked read or `failed`, counted into `*done`. False
// when the pass ends here (`*end` tells why); `*got` what the drive answered.
bool ReadPiece(Rescue& rescue, int pass, int64_t pos, int64_t size, char failed, int64_t* done, Got* got,
               PassEnd* end)
{
    AppState& app = rescue.app;
    RescueMap& map = rescue.map;
    map.currentPos = pos;
    *got = ReadDrive(app, pos, static_cast<DWORD>(size));
    // The drive is gone: what is left stays as it is in the map, for a run when it is back.
    if (*got == Got::DriveLost) {
        *end = PassEnd::DriveLost;
        return false;
    }
    if (*got == Got::Read && !WriteImage(app, pos, static_cast<DWORD>(size))) {
        ShowErrorBox(app, kWriteFileError);
        *end = PassEnd::Failed;
        return false;
    }
    MarkArea(map, pos, size, *got == Got::Read ? kAreaRead : failed);
    if (*got == Got::Read) {
        rescue.failed = FailedRun{-1, 0, 0, 0, rescue.failed.askAt};
        if (pass == 1)
            AddVerifyArea(app, pos, size);
    }
    *done += size;
    ShowProgress(app, *done);
    *end = PassEnd::Cancelled;
    // The retry pass reads only sectors known bad: failures in a row are what it expects.
    if (CancelConfirmed(app) || (*got != Got::Read && pass < kPasses && !GoOnAfterFailure(rescue, pos, size)))
        return false;
    *end = PassEnd::Failed;
    return GetTickCount() - rescue.mapSavedMs < kMapIntervalMs || SaveMap(rescue);
}

// Reads every area of status `from` in pieces of up to `piece` bytes, each once: a piece
// that reads becomes read, one that doesn't becomes `failed`. Pieces read by the first
// pass are what the verify compares. With `trim`, an area is read from its start until a
// piece fails, then from its end back until one fails: what lies between those two goes
// to the next pass unread, so a bad spot costs one failed read from each side.
PassEnd RunPass(Rescue& rescue, int pass, char from, uint32_t piece, bool aligned, char failed, bool trim = false)
{
    AppState& app = rescue.app;
    RescueMap& map = rescue.map;
    map.currentStatus = from;
    map.currentPass = pass;
    const int64_t total = BytesWithStatus(map, from);
    if (total == 0)
        return PassEnd::Done;
    CountBytes(app, total);
    EnterCriticalSection(&app.Lock);
    app.ReadPass = pass;
    LeaveCriticalSection(&app.Lock);
    SetStatusText(PassStepText(pass));
    int64_t done = 0;
    PassEnd end = PassEnd::Done;
    Got got = Got::Read;
    RescueArea area;
    for (int64_t at = 0; NextArea(map, from, at, &area);) {
        const int64_t areaEnd = area.pos + area.size;
        at = std::min(areaEnd, PieceEnd(area.pos, piece, aligned, rescue.physicalOffset));
        if (!ReadPiece(rescue, pass, area.pos, at - area.pos, failed, &done, &got, &end))
            return end;
        if (!trim || got == Got::Read || at == areaEnd)
            continue;
        // From the area's far end back, until a piece fails.
        int64_t back = areaEnd;
        do {
            const int64_t start = std::max(at, back - static_cast<int64_t>(piece));
            if (!ReadPiece(rescue, pass, start, back - start, failed, &done, &got, &end))
                return end;
            back = start;
        } while (back > at && got == Got::Read);
        // Between the two failed pieces: left to the next pass, unread.
        if (back > at) {
            MarkArea(map, at, back - at, failed);
            done += back - at;
            ShowProgress(app, done);
        }
        at = areaEnd;
    }
    return PassEnd::Done;
}

// The four passes, then the image's full size and the last map.
bool RunRescue(AppState& app, RescueMap& map, uint32_t chunk)
{
    const DriveRecord& drive = app.DriveList[static_cast<size_t>(app.SelectedIndex)];
    // Every pass moves on by at least a byte, whatever the drive answered.
    const DWORD sector = std::max<DWORD>(drive.DiskGeometry.Geometry.BytesPerSector, 1);
    Rescue rescue = {app, map, RescueMapPath(ImageFileName), 0, false, sector, 0, chunk, FailedRun()};
    QueryPhysicalSector(app.DiskHandle, sector, &rescue.physical, &rescue.physicalOffset);
    app.ImageRescued = true;
    const uint32_t block = std::max<uint32_t>(rescue.physical, kSplitBlock - kSplitBlock % rescue.physical);
    PassEnd end = SaveMap(rescue) ? PassEnd::Done : PassEnd::Failed;
    AskCancelAtPress(app, true);
    if (end == PassEnd::Done)
        end = RunPass(rescue, 1, kAreaNotTried, chunk, false, kAreaNotSplit);
    if (end == PassEnd::Done)
        end = RunPass(rescue, 2, kAreaNotSplit, block, false, kAreaNotScraped, true);
    if (end == PassEnd::Done)
        end = RunPass(rescue, 3, kAreaNotScraped, rescue.physical, true, kAreaBad);
    if (end == PassEnd::Done)
        end = RunPass(rescue, 4, kAreaBad, rescue.physical, true, kAreaBad);
    AskCancelAtPress(app, false);
    // The image has the drive's size whatever was read: its end may be unreadable or zeros.
    LARGE_INTEGER size = {};
    size.QuadPart = map.size;
    if (end != PassEnd::Failed && (!SetFilePointerEx(app.ImageHandle, size, nullptr, FILE_BEGIN) ||
                                   !SetEndOfFile(app.ImageHandle))) {
        ShowErrorBox(app, kWriteFileError);
        end = PassEnd::Failed;
    }
    if (end == PassEnd::Done) {
        map.currentStatus = kAreaRead;
        map.currentPos = map.size;
    }
    // Whatever ended the rescue, the map tells what the image holds.
    if (!rescue.saveFailed && !SaveMap(rescue))
        end = PassEnd::Failed;
    CountBytes(app, map.size);
    app.BytesDone = BytesWithStatus(map, kAreaRead);
    app.BytesUnread = map.size - app.BytesDone;
    // A lost drive ends the rescue as a cancel does: the image and its map stay to be continued.
    app.RescueDriveLost = end == PassEnd::DriveLost;
    app.RescueCancelled = end == PassEnd::Cancelled || app.RescueDriveLost;
    // Its handle answers nothing any more, not even whether its medium changed.
    if (app.RescueDriveLost)
        CloseDisk();
    SendDlgItemMessageW(app.MainWindow, IDC_PROGRESS, PBM_SETPOS,
                        static_cast<WPARAM>(ProgressPosition(app, map.size)), 0);
    return end == PassEnd::Done;
}

} // namespace

std::wstring RescueMapPath(const wchar_t* imageName)
{
    // The map and its .tmp go past MAX_PATH where the image's name nearly reaches it.
    return ExtendedPath(std::wstring(imageName) + L".map");
}

bool ReadUnfinishedRescue(const wchar_t* imageName, int64_t size, int64_t imageSize, DWORD sector, RescueMap* map)
{
    const HANDLE file = CreateFileW(RescueMapPath(imageName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsOpenHandle(file))
        return false;
    std::string text;
    LARGE_INTEGER length = {};
    DWORD got = 0;
    bool read = GetFileSizeEx(file, &length) && length.QuadPart <= kLargestMap;
    if (read) {
        text.resize(static_cast<size_t>(length.QuadPart));
        read = text.empty() || (ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr) &&
                                got == text.size());
    }
    CloseHandle(file);
    RescueMap found;
    if (!read || !ParseRescueMap(text, &found) || found.size != size || imageSize > size || sector == 0)
        return false;
    // An image cut short (a run stopped before it wrote its end) holds nothing past its end.
    RescueArea area;
    while (NextArea(found, kAreaRead, imageSize, &area))
        MarkArea(found, area.pos, area.size, kAreaNotTried);
    if (!RescueUnfinished(found))
        return false;
    // Reads start and end on whole sectors: a map of another sector size is not this drive's.
    for (const RescueArea& area : found.areas)
        if (area.pos % sector != 0 || area.size % sector != 0)
            return false;
    *map = found;
    return true;
}

void ForgetRescueMap(const wchar_t* imageName)
{
    DeleteFileW(RescueMapPath(imageName).c_str());
}

void ResetRescue(AppState& app)
{
    app.ImageRescued = false;
    app.RescueCancelled = false;
    app.ChecksumCancelled = false;
    app.RescueDriveLost = false;
    app.BytesUnread = 0;
    app.VerifyAreas.clear();
}

bool RescueAfterReadError(AppState& app, uint32_t chunk, bool* rescued)
{
    // A drive that is gone has nothing to read around.
    if (!app.LastIoResult && DriveGone(GetLastError()))
        return false;
    const bool yes = AskReadQuestion(app, L"Can't read the physical disk at byte " + FormatByteCount(app.BytesDone) +
                                              L"!\nRead around the unreadable parts and go on?\n"
                                              L"(the image holds zeros where nothing could be read)");
    if (!yes)
        return false;
    // The image and its map stay under the chosen name from now on.
    *rescued = false;
    const bool kept = KeepImageUnderChosenName();
    // The old image's map went with it: the rescue writes its own at once.
    if (app.ImagePath == ImageFileName)
        ForgetRescueMap(ImageFileName);
    if (!kept)
        return true;
    // A rescue reads the whole drive, also when only its partitions were to be imaged: the
    // image and its map must have the drive's size to be continued. The tables the plan
    // changed in what was read are read again as the drive holds them.
    const int64_t driveSize = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.DiskSize.QuadPart;
    RescueMap map = NewRescueMap(driveSize);
    MarkArea(map, 0, app.BytesDone, kAreaRead);
    app.VerifyAreas.clear();
    if (app.BytesDone > 0)
        AddVerifyArea(app, 0, app.BytesDone);
    MarkArea(map, app.BytesDone, app.ChunkSize, kAreaNotSplit);
    for (const PatchedBytes& patch : app.Plan.patches)
        if (patch.offset < app.BytesDone)
            MarkArea(map, patch.offset, static_cast<int64_t>(patch.bytes.size()), kAreaNotTried);
    app.Plan = RestorePlan();
    *rescued = RunRescue(app, map, chunk);
    return true;
}

void TellNoRescue(AppState& app)
{
    if (!app.LastIoResult && DriveGone(GetLastError())) {
        ShowErrorBox(app, L"Read disk error");
        return;
    }
    ShowErrorBox(app, L"Can't read the physical disk at byte " + FormatByteCount(app.BytesDone) +
                          L"!\nA .gz, .zst, .vhd or .vhdx image can't be read around the unreadable parts:\n"
                          L"choose a raw image file (.hdd, .img) to rescue the disk.");
}

bool ContinueRescue(AppState& app, RescueMap& map, uint32_t chunk)
{
    // Bad sectors get one more read in the retry pass.
    return RunRescue(app, map, chunk);
}

void AskCancelAtPress(AppState& app)
{
    if (ConfirmCancel(app, kCancelQuestion)) {
        EnterCriticalSection(&app.Lock);
        app.CancelConfirmed = true;
        LeaveCriticalSection(&app.Lock);
    }
    EnterCriticalSection(&app.Lock);
    app.CancelQuestionOpen = false;
    LeaveCriticalSection(&app.Lock);
}

namespace {

// Every quarter of a second while a job runs: a rescue's read that keeps the drive
// busy for more than a second is told on the status line, with how long it has taken.
void CALLBACK TellReadWait(HWND, UINT, UINT_PTR, DWORD)
{
    AppState& app = *g_App;
    EnterCriticalSection(&app.Lock);
    const DWORD since = app.ReadSinceMs;
    const int pass = app.ReadPass;
    LeaveCriticalSection(&app.Lock);
    // The start has its lowest bit set; one that the timer's message outran is no wait.
    const DWORD waited = (GetTickCount() | 1) - since;
    if (since == 0 || waited < kReadWaitToTellMs || waited > 0x80000000u)
        return;
    const std::wstring text = PassStepText(pass) + L" \u00B7 waiting " + TrimmedCount(waited / 1000) +
                              L" s for the disk to answer a read";
    SendDlgItemMessageW(app.MainWindow, IDC_STATUS, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

} // namespace

void WatchReadWait(AppState& app, bool on)
{
    if (on)
        SetTimer(app.MainWindow, kReadWaitTimer, 250, TellReadWait);
    else
        KillTimer(app.MainWindow, kReadWaitTimer);
}

std::wstring RescueStatusText(const AppState& app)
{
    return L"Bytes read: " + TrimmedCount(app.BytesDone) + L", unreadable: " +
           FormatByteCount(static_cast<uint64_t>(app.BytesUnread));
}

std::wstring RescueOutcomeText(const AppState& app, const wchar_t* imageName)
{
    std::wstring name = RescueMapPath(imageName);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const std::wstring bytes = TrimmedCount(app.BytesUnread) + L" Bytes";
    if (app.RescueDriveLost)
        return L"The physical disk was disconnected during the rescue!\n" + bytes +
               L" weren't read: the image and " + name + L" keep what was,\ncontinue the rescue when the disk is back.";
    return std::wstring(L"The disk image was created,\nbut ") +
           (app.RescueCancelled ? L"the rescue was cancelled and " + bytes + L" weren't read!"
                                : bytes + L" couldn't be read!") +
           L"\n(they hold zeros: see " + name + L")";
}
