#include "engine/rescue.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/image_jobs.h"
#include "engine/image_replace.h"
#include "engine/rescue_map.h"
#include "engine/sparse_image.h"
#include "engine/transfer.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "resource.h"
#include "ui/taskbar_button.h"

namespace {

// The split pass reads failed chunks again in blocks of this size (whole sectors).
const uint32_t kSplitBlock = 64 * 1024;
// The scrape pass tries each sector this many times before it counts as bad.
const int kScrapeTries = 2;
// The map is written again at least this often while the rescue runs.
const DWORD kMapIntervalMs = 30000;
const int kPasses = 3;
// Larger map files are no map of ours: a map grows by one line per area.
const DWORD kLargestMap = 64 << 20;

const wchar_t kWriteFileError[] = L"Write file error";
const wchar_t kWriteMapError[] = L"Can't write the rescue map file,\nplease check the filename or file properties!";

// A rescue under way: the record, its map and where its reads go.
struct Rescue {
    AppState& app;
    RescueMap& map;
    std::wstring mapPath;
    DWORD mapSavedMs;
    bool saveFailed; // told once: the map is not tried again
};

std::wstring TrimmedCount(int64_t bytes)
{
    std::wstring text = FormatByteCount(static_cast<uint64_t>(bytes));
    if (!text.empty() && text.back() == L' ')
        text.pop_back();
    return text;
}

// Reads `size` bytes of the drive at `offset` into the buffer; true only when all of them came.
bool ReadDrive(AppState& app, int64_t offset, DWORD size)
{
    DWORD got = 0;
    return SeekTo(app.DiskHandle, offset) && ReadFile(app.DiskHandle, app.TransferBuffer, size, &got, nullptr) &&
           got == size;
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

enum class PassEnd { Done, Cancelled, Failed };

// Reads every area of status `from` in pieces of up to `piece` bytes, each tried up to
// `tries` times: a piece that reads becomes read, one that doesn't becomes `failed`.
PassEnd RunPass(Rescue& rescue, int pass, char from, uint32_t piece, int tries, char failed)
{
    AppState& app = rescue.app;
    RescueMap& map = rescue.map;
    map.currentStatus = from;
    map.currentPass = pass;
    const int64_t total = BytesWithStatus(map, from);
    if (total == 0)
        return PassEnd::Done;
    CountBytes(app, total);
    SetStatusText(std::wstring(L"Rescuing physical drive \u00B7 pass ") + static_cast<wchar_t>(L'0' + pass) +
                  L" of " + static_cast<wchar_t>(L'0' + kPasses));
    int64_t done = 0;
    RescueArea area;
    for (int64_t at = 0; NextArea(map, from, at, &area); at = area.pos + area.size) {
        area.size = std::min<int64_t>(area.size, piece);
        const DWORD size = static_cast<DWORD>(area.size);
        map.currentPos = area.pos;
        bool read = false;
        for (int attempt = 0; attempt < tries && !read; ++attempt)
            read = ReadDrive(app, area.pos, size);
        if (read && !WriteImage(app, area.pos, size)) {
            ShowErrorBox(app, kWriteFileError);
            return PassEnd::Failed;
        }
        MarkArea(map, area.pos, area.size, read ? kAreaRead : failed);
        done += area.size;
        ShowProgress(app, done);
        if (TakeCancelRequest(app) &&
            ConfirmCancel(app, L"Cancel the rescue?\n(what was read is kept, the map tells what wasn't)"))
            return PassEnd::Cancelled;
        if (GetTickCount() - rescue.mapSavedMs >= kMapIntervalMs && !SaveMap(rescue))
            return PassEnd::Failed;
    }
    return PassEnd::Done;
}

// The three passes, then the image's full size and the last map.
bool RunRescue(AppState& app, RescueMap& map, uint32_t chunk)
{
    const DriveRecord& drive = app.DriveList[static_cast<size_t>(app.SelectedIndex)];
    // Every pass moves on by at least a byte, whatever the drive answered.
    const DWORD sector = std::max<DWORD>(drive.DiskGeometry.Geometry.BytesPerSector, 1);
    Rescue rescue = {app, map, RescueMapPath(ImageFileName), 0, false};
    app.ImageRescued = true;
    const uint32_t block = std::max<uint32_t>(sector, kSplitBlock - kSplitBlock % sector);
    PassEnd end = SaveMap(rescue) ? PassEnd::Done : PassEnd::Failed;
    if (end == PassEnd::Done)
        end = RunPass(rescue, 1, kAreaNotTried, chunk, 1, kAreaNotSplit);
    if (end == PassEnd::Done)
        end = RunPass(rescue, 2, kAreaNotSplit, block, 1, kAreaNotScraped);
    if (end == PassEnd::Done)
        end = RunPass(rescue, 3, kAreaNotScraped, sector, kScrapeTries, kAreaBad);
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
    app.RescueCancelled = end == PassEnd::Cancelled;
    app.VerifyAreas.clear();
    for (const RescueArea& area : map.areas)
        if (area.status == kAreaRead)
            app.VerifyAreas.push_back({area.pos, area.size});
    SendDlgItemMessageW(app.MainWindow, IDC_PROGRESS, PBM_SETPOS,
                        static_cast<WPARAM>(ProgressPosition(app, map.size)), 0);
    return end == PassEnd::Done;
}

} // namespace

std::wstring RescueMapPath(const wchar_t* imageName)
{
    return std::wstring(imageName) + L".map";
}

bool ReadUnfinishedRescue(const wchar_t* imageName, int64_t size, DWORD sector, RescueMap* map)
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
    if (!read || !ParseRescueMap(text, &found) || found.size != size || !RescueUnfinished(found) || sector == 0)
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
    app.BytesUnread = 0;
    app.VerifyAreas.clear();
}

bool RescueAfterReadError(AppState& app, uint32_t chunk, bool* rescued)
{
    PostTaskbarState(app.MainWindow, TaskbarState::Paused);
    const std::wstring question = L"Can't read the physical disk at byte " + FormatByteCount(app.BytesDone) +
                                  L"!\nRead around the unreadable parts and go on?\n"
                                  L"(the image holds zeros where nothing could be read)";
    const bool yes = MessageBoxW(app.MainWindow, question.c_str(), L"Read image from disk",
                                 MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
    PostTaskbarState(app.MainWindow, TaskbarState::Running);
    if (!yes)
        return false;
    // The image and its map stay under the chosen name from now on.
    *rescued = false;
    if (!KeepImageUnderChosenName())
        return true;
    // A rescue reads the whole drive, also when only its partitions were to be imaged: the
    // image and its map must have the drive's size to be continued. The tables the plan
    // changed in what was read are read again as the drive holds them.
    const int64_t driveSize = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry.DiskSize.QuadPart;
    RescueMap map = NewRescueMap(driveSize);
    MarkArea(map, 0, app.BytesDone, kAreaRead);
    MarkArea(map, app.BytesDone, app.ChunkSize, kAreaNotSplit);
    for (const PatchedBytes& patch : app.Plan.patches)
        if (patch.offset < app.BytesDone)
            MarkArea(map, patch.offset, static_cast<int64_t>(patch.bytes.size()), kAreaNotTried);
    app.Plan = RestorePlan();
    *rescued = RunRescue(app, map, chunk);
    return true;
}

bool ContinueRescue(AppState& app, RescueMap& map, uint32_t chunk)
{
    // Bad sectors get one more scrape.
    ChangeStatus(map, kAreaBad, kAreaNotScraped);
    return RunRescue(app, map, chunk);
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
    return std::wstring(L"The disk image was created,\nbut ") +
           (app.RescueCancelled ? L"the rescue was cancelled and " + bytes + L" weren't read!"
                                : bytes + L" couldn't be read!") +
           L"\n(they hold zeros: see " + name + L")";
}
