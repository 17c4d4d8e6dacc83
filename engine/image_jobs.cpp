#include "engine/image_jobs.h"

#include <winioctl.h>

#include <string>

#include "drives/disk_volumes.h"
#include "drives/medium_identity.h"
#include "drives/restore_target.h"
#include "engine/app_state.h"
#include "image/checksum_file.h"
#include "engine/chunk_sizing.h"
#include "image/image_file.h"
#include "engine/image_fit.h"
#include "image/image_hash.h"
#include "image/image_replace.h"
#include "image/image_sink.h"
#include "image/virtual_disk.h"
#include "engine/partitions_image.h"
#include "engine/rescue.h"
#include "engine/rescue_map.h"
#include "image/sparse_image.h"
#include "engine/transfer.h"
#include "engine/verify.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "report/image_extent.h"
#include "resource.h"
#include "ui/machine_guard.h"
#include "ui/taskbar_button.h"

wchar_t ImageFileName[MAX_PATH];

namespace {

// The running job's thread. Written and closed on the user-interface thread only.
HANDLE JobThread = nullptr;
// The kind of the running or last job: which button gets the focus back.
JobKind RunningKind = JobKind::Create;

const wchar_t kJobCaption[] = L"Korvane:";
const wchar_t kCantOpenDisk[] = L"Can't open selected physical disk,\nplease check the list of drives!";

// The texts that tell one kind of job from the other.
struct JobTexts {
    const wchar_t* cantOpenFile;
    const wchar_t* succeeded;
    const wchar_t* failed;
    const wchar_t* unverified; // transferred, but the verify was cancelled
};

const JobTexts kCreateTexts = {L"Can't open selected file for write,\nplease check the filename or file properties!",
                               L"The disk image was successfully created!", L"The disk image wasn't created!",
                               L"The disk image was created,\nbut not verified!"};
const JobTexts kRestoreTexts = {L"Can't open selected file,\nplease check the filename!",
                                L"The disk image was successfully written!", L"The disk image wasn't written!",
                                L"The disk image was written,\nbut not verified!"};

void ShowJobBox(const wchar_t* text, UINT icon)
{
    // Every outcome but success is told with a warning: the button turns red until it is closed.
    if (icon == MB_ICONWARNING)
        PostTaskbarState(g_App->MainWindow, TaskbarState::Error);
    MessageBoxW(g_App->MainWindow, text, kJobCaption, icon | MB_OK);
}

// The dialog's own way of moving the focus, so that its default button follows.
void FocusControl(int id)
{
    const HWND window = g_App->MainWindow;
    SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, id)), TRUE);
}

// A transfer that succeeded counts as done only once its verify, when asked for, found both sides equal.
// A rescue that ended or was cancelled kept its image: it tells what couldn't be read.
// `digestLine` follows the text of an image that was made.
void ShowOutcome(const JobTexts& texts, bool transferred, VerifyResult verified, const std::wstring& digestLine)
{
    const bool kept = transferred || g_App->RescueCancelled;
    if (g_App->ImageRescued && kept && verified != VerifyResult::Failed) {
        SetStatusText(RescueStatusText(*g_App));
        std::wstring text = RescueOutcomeText(*g_App, ImageFileName);
        if (verified == VerifyResult::Cancelled)
            text += L"\nThe image wasn't verified!";
        // A rescue that ended has its checksum file too.
        if (transferred)
            text += digestLine;
        ShowJobBox(text.c_str(), MB_ICONWARNING);
    } else if (!transferred || verified == VerifyResult::Failed)
        ShowJobBox(texts.failed, MB_ICONWARNING);
    else if (verified == VerifyResult::Cancelled)
        ShowJobBox((texts.unverified + digestLine).c_str(), MB_ICONWARNING);
    else
        ShowJobBox((texts.succeeded + digestLine).c_str(), MB_ICONINFORMATION);
}

int StartingButton(JobKind kind)
{
    return kind == JobKind::Create ? IDC_CREATE : IDC_RESTORE;
}

// Reads one sector-sized block at `offset`; false when the read itself fails.
bool ReadBlockAt(HANDLE disk, int64_t offset, BYTE* buffer, DWORD size, DWORD* got)
{
    *got = 0;
    return SeekTo(disk, offset) && ReadFile(disk, buffer, size, got, nullptr);
}

// Without a size query, the medium shows its length by where its data ends:
// the last recorded sector reads in full and nothing follows it.
bool DataEndsAtRecordedSize(HANDLE disk, const DISK_GEOMETRY_EX& recorded)
{
    const DWORD sector = recorded.Geometry.BytesPerSector;
    const int64_t size = recorded.DiskSize.QuadPart;
    if (sector == 0 || size < 0 || size % sector != 0)
        return false;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, sector, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr)
        return false;
    DWORD got = 0;
    bool ends = size == 0 || (ReadBlockAt(disk, size - sector, buffer, sector, &got) && got == sector);
    ends = ends && ReadBlockAt(disk, size, buffer, sector, &got) && got == 0;
    VirtualFree(buffer, 0, MEM_RELEASE);
    return ends;
}

// The medium may have been swapped or resized since the list was made: another
// medium answering to the path must never be read or written, and an image
// shorter than the medium must never count as complete. Compares the serial
// number and layout identity first (no data is read for that), then asks the
// drive for its geometry, else its length, else where its data ends.
bool DiskMatchesRecord(HANDLE disk, const DriveRecord& drive)
{
    if (!SameMediumIdentity(drive.Identity, ReadMediumIdentity(disk)))
        return false;
    const DISK_GEOMETRY_EX& recorded = drive.DiskGeometry;
    DISK_GEOMETRY_EX now = {};
    DWORD returned = 0;
    if (DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &now, sizeof(now), &returned, nullptr))
        return now.DiskSize.QuadPart == recorded.DiskSize.QuadPart &&
               now.Geometry.BytesPerSector == recorded.Geometry.BytesPerSector;
    GET_LENGTH_INFORMATION length = {};
    if (DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length), &returned, nullptr))
        return length.Length.QuadPart == recorded.DiskSize.QuadPart;
    return DataEndsAtRecordedSize(disk, recorded);
}

// The edit's text into ImageFileName as a full path; false when it would not fit
// whole: a shortened path names another file. Made full because the job moves the
// current folder before it takes volumes: the name must keep naming the same file.
bool ReadImageFileName()
{
    wchar_t text[MAX_PATH + 1] = {};
    const UINT length = GetDlgItemTextW(g_App->MainWindow, IDC_FILE_NAME, text, MAX_PATH + 1);
    if (length >= MAX_PATH)
        return false;
    wchar_t full[MAX_PATH] = {};
    const DWORD fullLength = GetFullPathNameW(text, MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH)
        return false;
    lstrcpynW(ImageFileName, full, MAX_PATH);
    return true;
}

bool OpenImageForRead()
{
    // Read access only: an image on read-only media or with the read-only attribute restores too.
    g_App->ImageHandle =
        CreateFileW(ImageFileName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsOpenHandle(g_App->ImageHandle);
}

// Asks before an existing file is replaced; false on No, and for a name with
// wildcards, which would find other files.
bool ConfirmReplace()
{
    if (HasWildcards(ImageFileName))
        return false;
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileW(ImageFileName, &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    FindClose(search);
    const int answer = MessageBoxW(g_App->MainWindow, L"The selected file exists,\nREPLACE ?", L"Write image file",
                                   MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON2);
    return answer == IDYES;
}

// A new, empty file: no old byte can show through a skipped range. A link put in the
// file's place meanwhile is opened itself, never followed: IsPlainFile refuses it.
// The old image's rescue map stays until the new image takes its place.
bool CreateImageFile()
{
    return CreateTemporaryImage(*g_App, ImageFileName) && IsPlainFile(g_App->ImageHandle);
}

// An unfinished rescue of this drive's size beside an image of that size or shorter: continue it? Yes is the default.
bool ConfirmContinueRescue(RescueMap* map)
{
    // Only an image written at any offset can hold a rescue.
    if (!ImageSinkWritesAnywhere(ImageSinkFormatOf(ImageFileName)))
        return false;
    const DISK_GEOMETRY_EX& geometry = g_App->DriveList[static_cast<size_t>(g_App->SelectedIndex)].DiskGeometry;
    WIN32_FIND_DATAW image = {};
    const HANDLE search = FindFirstFileW(ImageFileName, &image);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    const int64_t imageSize = (static_cast<int64_t>(image.nFileSizeHigh) << 32) | image.nFileSizeLow;
    if ((image.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !ReadUnfinishedRescue(ImageFileName, geometry.DiskSize.QuadPart, imageSize, geometry.Geometry.BytesPerSector,
                              map))
        return false;
    return MessageBoxW(g_App->MainWindow,
                       L"The image file holds an unfinished rescue of a disk of this size.\nCONTINUE it ?",
                       L"Write image file", MB_ICONQUESTION | MB_YESNO) == IDYES;
}

// The image of a continued rescue as it is: neither emptied nor shortened, and never a link.
bool OpenImageToContinue()
{
    g_App->ImageHandle = CreateFileW(ImageFileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (!IsOpenHandle(g_App->ImageHandle) || !IsPlainFile(g_App->ImageHandle))
        return false;
    g_App->ImagePath = ImageFileName;
    g_App->ImageSparse = MakeImageSparse(g_App->ImageHandle, ImageFileName);
    return true;
}

// A create from the drive's first byte.
bool CreateFresh()
{
    return CreateImage(nullptr);
}

void ClearCancelRequest()
{
    EnterCriticalSection(&g_App->Lock);
    g_App->CancelRequested = false;
    g_App->CancelConfirmed = false;
    LeaveCriticalSection(&g_App->Lock);
}

const wchar_t kSizesDiffer[] = L"Sizes of selected file and selected disk aren't equal!";

// The image's bytes for the fit check, read through the job's handle. Of an image larger
// than the drive all that lies past the drive's end may be read before the question: those
// reads move the bar, and a cancel confirmed after one of them ends the check.
struct FitReading {
    ImageSource* image;
    uint64_t imageSize;
    uint64_t driveSize;
    bool started; // the bar counts the bytes past the drive's end
    bool cancelled;
    wchar_t status[256]; // the status line before: back when the check goes on to its verdict
};

bool ReadImageAt(void* context, uint64_t offset, uint8_t* buffer, uint32_t size)
{
    FitReading& reading = *static_cast<FitReading*>(context);
    if (!ReadImageSourceAt(*reading.image, offset, buffer, size))
        return false;
    if (offset + size <= reading.driveSize)
        return true;
    if (!reading.started) {
        if (GetDlgItemTextW(g_App->MainWindow, IDC_STATUS, reading.status, 256) == 0)
            reading.status[0] = L'\0';
        SetStatusText(L"Checking image file past the physical disk's end");
        SetJobLength(*g_App, static_cast<int64_t>(reading.imageSize - reading.driveSize));
        reading.started = true;
    }
    ShowProgress(*g_App, static_cast<int64_t>(offset + size - reading.driveSize));
    reading.cancelled = TakeCancelRequest(*g_App) && ConfirmCancel(*g_App, L"Cancel write image?");
    return !reading.cancelled;
}

// The drive's last sector as it is now into `buffer`; false when it can't be read.
bool ReadLastSector(const DISK_GEOMETRY_EX& geometry, BYTE* buffer)
{
    const DWORD sector = geometry.Geometry.BytesPerSector;
    DWORD got = 0;
    return buffer != nullptr && geometry.DiskSize.QuadPart >= sector &&
           ReadBlockAt(g_App->DiskHandle, geometry.DiskSize.QuadPart - sector, buffer, sector, &got) && got == sector;
}

// "512", "4096": a sector size in plain digits (the C runtime's formatting would be a new import).
std::wstring SectorSizeText(DWORD size)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + size % 10));
        size /= 10;
    } while (size != 0);
    return digits;
}

// Asks before an image of another size is written (default No); true on Yes.
bool ConfirmOtherSize(const ImageFit& fit, uint64_t imageSize, uint64_t driveSize)
{
    std::wstring text = L"The image file is ";
    if (fit.verdict == FitVerdict::Smaller) {
        const std::wstring rest = FormatByteCount(driveSize - imageSize) + L"Bytes";
        text += rest + L" smaller than the physical disk:\nthe disk's last " + rest + L" keep what they hold now";
        if (fit.movesGpt)
            text += L",\nbut for the copy of the partition table at its end";
        else if (PlannedPastEnd(fit.plan) != 0)
            text += L",\nbut for an old copy of a partition table at its end, which is cleared";
        text += L".";
    } else {
        text += FormatByteCount(imageSize - driveSize) +
                L"Bytes larger than the physical disk,\nbut nothing of it lies past the disk's end.";
        if (fit.movesGpt)
            text += L"\nThe copy of the partition table is moved to the disk's end.";
    }
    text += L"\n\nWRITE ?";
    return MessageBoxW(g_App->MainWindow, text.c_str(), L"Write data to disk",
                       MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

// Sets the restore's plan. An image as long as the drive is written as it is; one of
// another size only when nothing of it is lost (see CheckImageFit), and after a question.
// False after telling why, or on No (`told`: no outcome box follows).
bool CheckImageFitsDisk(bool* told)
{
    AppState& app = *g_App;
    const DISK_GEOMETRY_EX& geometry = app.DriveList[static_cast<size_t>(app.SelectedIndex)].DiskGeometry;
    const uint64_t driveSize = static_cast<uint64_t>(geometry.DiskSize.QuadPart);
    const DWORD sector = geometry.Geometry.BytesPerSector;
    app.Plan = RestorePlan();
    // A compressed image larger than the drive would have to be decoded whole before the
    // question, to prove that nothing of it past the drive's end is lost: written at its size or smaller only.
    const uint64_t imageSize = app.Source.length;
    if (!app.Source.anyOffset && imageSize > driveSize) {
        ShowErrorBox(app, L"The image in the file is larger than the physical disk!\n"
                          L"A compressed image is written on a disk of its size or larger only.");
        return false;
    }
    BYTE* last = imageSize < driveSize && sector != 0 ? static_cast<BYTE*>(VirtualAlloc(
                                                            nullptr, sector, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
                                                      : nullptr;
    const bool lastRead = ReadLastSector(geometry, last);
    FitReading reading = {&app.Source, imageSize, driveSize, false, false, {}};
    ImageFit fit = CheckImageFit(ReadImageAt, &reading, imageSize, driveSize, sector, lastRead ? last : nullptr);
    if (last != nullptr)
        VirtualFree(last, 0, MEM_RELEASE);
    if (reading.cancelled) {
        SetStatusText(L"Bytes written: " + FormatByteCount(0));
        return false;
    }
    if (reading.started)
        SetStatusText(reading.status);
    if (fit.verdict != FitVerdict::ReadError && !SeekTo(app.ImageHandle, 0))
        fit.verdict = FitVerdict::ReadError;
    switch (fit.verdict) {
    case FitVerdict::Equal:
        break;
    case FitVerdict::Smaller:
    case FitVerdict::Larger:
        if (!ConfirmOtherSize(fit, imageSize, driveSize)) {
            *told = true;
            return false;
        }
        // A press while the question was open is not meant for the copy.
        ClearCancelRequest();
        break;
    case FitVerdict::OtherSectorSize:
        ShowErrorBox(app, L"The image file's partition table is made for " + SectorSizeText(fit.tableSector) +
                              L"-byte sectors,\nthe physical disk has " + SectorSizeText(sector) + L"-byte sectors!");
        return false;
    case FitVerdict::ReadError:
        ShowErrorBox(app, L"Read file error");
        return false;
    case FitVerdict::Refused:
        ShowErrorBox(app, kSizesDiffer);
        return false;
    }
    app.Plan = fit.plan;
    return true;
}

// Windows keeps the partition layout it read when the disk arrived; after a restore
// it must read the new one before the volumes are released. Only after the verify:
// the new layout's volumes mount at once and their file systems write. Sent on the
// handle open last (the pass's, else the job's); when the pass could not reopen the
// drive, on a handle opened for this alone. A drive that refuses has all its data
// nonetheless: Windows reads the layout again at its next arrival.
void AnnounceNewLayout()
{
    AppState& app = *g_App;
    HANDLE disk = app.DiskHandle;
    if (!IsOpenHandle(disk))
        disk = CreateFileW(app.DriveList[static_cast<size_t>(app.SelectedIndex)].DeviceID.c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0;
    if (IsOpenHandle(disk))
        DeviceIoControl(disk, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (IsOpenHandle(disk) && disk != app.DiskHandle)
        CloseHandle(disk);
}

bool ReleaseJob(bool proven = false);

// Tells that the file can't be opened; that box is the job's outcome.
bool CantOpenFile(const JobTexts& texts, bool* told)
{
    ReleaseJob();
    ShowJobBox(texts.cantOpenFile, MB_ICONWARNING);
    *told = true;
    return false;
}

// Create, with the drive open and the image's place checked: the replace question
// (an image that can't be replaced ends the job here), the no-room question, the
// source's volumes locked for a consistent image, then the file and the hashed copy.
bool RunCreate(const JobTexts& texts, bool* told, BYTE digest[kSha256Size])
{
    if (!CheckImageFolderNotOnDisk(*g_App, ImageFileName))
        return false;
    g_App->ImagePath.clear();
    if (IsLinkOrFolder(ImageFileName))
        return CantOpenFile(texts, told);
    RescueMap unfinished;
    const bool continuing = ConfirmContinueRescue(&unfinished);
    // Only as far as the partitions reach, when asked for and the drive's table tells.
    if (g_App->JobPartitionsOnly && !continuing)
        PlanPartitionsOnly(*g_App);
    // A virtual disk holds only so much (a VHD 2 040 GB): a larger one is refused before anything is read.
    const ImageSinkFormat format = ImageSinkFormatOf(ImageFileName);
    if ((format == ImageSinkFormat::Vhd || format == ImageSinkFormat::Vhdx) &&
        !VirtualDiskSizeFits(format == ImageSinkFormat::Vhdx, static_cast<uint64_t>(PlannedCreateBytes(*g_App)))) {
        ShowErrorBox(*g_App, L"The physical disk is larger than a .vhd image file holds (2 040 GB):\n"
                             L"choose a .vhdx image file!");
        return false;
    }
    // An image that can't be replaced ends the create here, before anything is read.
    if ((!continuing && !ConfirmReplace()) || !ImageSetReplaceable(ImageFileName) ||
        (!continuing && !MakeRoomForImage(*g_App, ImageFileName, PlannedCreateBytes(*g_App))))
        return CantOpenFile(texts, told);
    // A press while the question was open is not meant for the copy.
    ClearCancelRequest();
    LeaveCurrentFolder();
    if (!LockVolumesForReading(*g_App))
        return false;
    if (!(continuing ? OpenImageToContinue() : CreateImageFile()))
        return CantOpenFile(texts, told);
    if (continuing)
        return CreateImage(&unfinished);
    return g_App->JobChecksums ? RunHashed(*g_App, CreateFresh, digest) : CreateFresh();
}

// Restore: its own checks first (image opened, its size fits); only then are the
// target's volumes taken, and nothing is written unless all of them are.
// `written`: every byte reached the drive, whatever the checksum then says.
bool RunRestore(const JobTexts& texts, bool* told, bool* written)
{
    if (!OpenImageForRead() || !IsPlainFile(g_App->ImageHandle))
        return CantOpenFile(texts, told);
    if (!CheckImageFileNotOnDisk(*g_App, g_App->ImageHandle) || !CheckTargetWritable(*g_App) ||
        !CheckTargetStandsAlone(*g_App))
        return false;
    bool cancelled = false;
    if (!OpenImageSource(*g_App, &cancelled) || !CheckImageFitsDisk(told))
        return false;
    BYTE expected[kSha256Size] = {};
    std::wstring sumFile;
    const ChecksumLookup lookup = LookUpImageChecksum(ImageFileName, expected, &sumFile);
    if (lookup == ChecksumLookup::Unreadable && !ConfirmWithoutChecksum(*g_App, sumFile))
        return false;
    LeaveCurrentFolder();
    if (!TakeVolumesOffline(*g_App))
        return false;
    BYTE actual[kSha256Size] = {};
    if (lookup != ChecksumLookup::Found)
        return *written = RestoreImage();
    *written = RunHashed(*g_App, RestoreImage, actual);
    return *written && ImageMatchesChecksum(*g_App, expected, actual);
}

// A restore writes a new layout, and with it a new layout identity: the
// record takes the medium's identity again while the job still holds it, so
// that the next job on the same selection finds the medium it wrote. The
// dialog leaves the drive list alone while a job runs. False, with the record
// left as it was, when the drive counts a medium change since it was listed:
// the job may have read or written another card in the same reader.
bool MediumUnchanged()
{
    AppState& app = *g_App;
    if (!IsOpenHandle(app.DiskHandle))
        return true;
    const MediumIdentity& recorded = app.DriveList[static_cast<size_t>(app.SelectedIndex)].Identity;
    DWORD changes = 0;
    const bool answered = ReadMediumChangeCount(app.DiskHandle, &changes);
    return answered == recorded.ChangeCountAnswered && (!answered || changes == recorded.ChangeCount);
}

// `proven`: a verify pass found the image on the drive as it is now, whatever its count says.
bool RetakeMediumIdentity(bool proven)
{
    AppState& app = *g_App;
    if (!proven && !MediumUnchanged())
        return false;
    if (IsOpenHandle(app.DiskHandle))
        app.DriveList[static_cast<size_t>(app.SelectedIndex)].Identity = ReadMediumIdentity(app.DiskHandle);
    return true;
}

// Everything is given back before a box waits for the operator: the file, the
// drive, and only then the drive's volumes. Once given back, nothing is left to do.
// False when the drive counted a medium change during the job (see RetakeMediumIdentity).
bool ReleaseJob(bool proven)
{
    CloseImageFile();
    const bool sameMedium = RetakeMediumIdentity(proven);
    CloseDisk();
    ReleaseVolumes(*g_App);
    return sameMedium;
}

// With the drive open: reads the name, checks where the file lies, runs the job and tells the outcome.
void RunOnOpenDisk(JobKind kind)
{
    const bool create = kind == JobKind::Create;
    const JobTexts& texts = create ? kCreateTexts : kRestoreTexts;
    // A press that came after the last job looked is not meant for this one.
    ClearCancelRequest();

    // The edit is disabled during a job and another thread can't focus it: selection only.
    SendDlgItemMessageW(g_App->MainWindow, IDC_FILE_NAME, EM_SETSEL, 0, -1);
    if (!ReadImageFileName() || !IsImageFileName(ImageFileName)) {
        ShowJobBox(texts.cantOpenFile, MB_ICONWARNING);
        return;
    }
    // It has told its cause in its own box; this box tells the job's outcome.
    if (!CheckImageNotOnDisk(*g_App, ImageFileName)) {
        ShowJobBox(texts.failed, MB_ICONWARNING);
        return;
    }
    bool told = false;
    BYTE digest[kSha256Size] = {};
    bool written = false;
    const bool done = create ? RunCreate(texts, &told, digest) : RunRestore(texts, &told, &written);
    // Windows moves a removable drive's count of medium changes at every sleep and bus reset
    // too, not only for another medium: a count that moved is settled by the verify pass, run
    // then even where it wasn't chosen. Only a pass that found the image on the drive proves it.
    const bool countMoved = done && !MediumUnchanged();
    const bool verifies = done && (g_App->JobVerifies || countMoved);
    const VerifyResult verified = verifies ? VerifyTransfer(kind) : VerifyResult::Equal;
    const bool proven = verifies && verified == VerifyResult::Equal;
    // The drive holds the new layout whatever the checksum or the verify found: Windows must read it.
    if (written)
        AnnounceNewLayout();
    // A create's image takes the chosen name only now, complete, verified and read from the
    // listed medium (asked while the drive is still held); else its temporary file goes.
    bool sameMedium = proven || MediumUnchanged();
    const bool finished =
        create ? FinishCreate(*g_App, ImageFileName, done && sameMedium && verified != VerifyResult::Failed, digest)
               : done;
    // A rescue wrote its own map; any other new image makes the old one's map tell of bytes it doesn't hold.
    if (create && finished && !g_App->ImageRescued)
        ForgetRescueMap(ImageFileName);
    sameMedium = ReleaseJob(proven) && sameMedium;
    if (!sameMedium)
        ShowErrorBox(*g_App, L"The medium of the selected physical disk was changed during the job,\n"
                             L"please check the list of drives!");
    if (!told)
        ShowOutcome(texts, finished && sameMedium, verified,
                    !create ? std::wstring()
                            : ImageExtentLine(*g_App) +
                                  (g_App->ChecksumCancelled ? std::wstring(L"\nThe checksum of the image wasn't computed!")
                                   : g_App->JobChecksums    ? L"\n\nSHA-256: " + DigestHex(digest)
                                                            : std::wstring()));
}

DWORD RunJob(JobKind kind)
{
    ResetRescue(*g_App);
    // The job moves the current folder off the drive's volumes; it comes back at
    // the end, so that a relative name typed next still means the folder the
    // operator saw. One that is gone by then (a restore over it) stays left.
    wchar_t folder[MAX_PATH] = {};
    const DWORD folderLength = GetCurrentDirectoryW(MAX_PATH, folder);
    if (OpenSelectedDisk(kind))
        RunOnOpenDisk(kind);
    else
        ShowJobBox(kCantOpenDisk, MB_ICONWARNING);
    CloseDisk();
    ReleaseVolumes(*g_App);
    // A restore's plan belongs to its own drive and image: nothing later may compare against it.
    g_App->Plan = RestorePlan();
    if (folderLength > 0 && folderLength < MAX_PATH)
        SetCurrentDirectoryW(folder);
    SetControlsIdle(true);
    // The last touch of the shared record: once this is posted, the
    // dialog may end the program and free it.
    PostMessageW(g_App->MainWindow, WM_JOB_ENDED, static_cast<WPARAM>(kind), 0);
    return 0;
}

} // namespace

void SetControlsIdle(bool enable)
{
    static const int kJobLocked[] = {IDC_DRIVE_COMBO, IDC_REFRESH, IDC_SELECT,    IDC_ALLOW_EDIT,
                                     IDC_CREATE,      IDC_RESTORE, IDC_FILE_NAME, IDC_ABOUT};
    const HWND window = g_App->MainWindow;
    EnableWindow(GetDlgItem(window, IDC_CANCEL), enable ? FALSE : TRUE);
    for (int id : kJobLocked)
        EnableWindow(GetDlgItem(window, id), enable ? TRUE : FALSE);
}

void RequestCancel()
{
    AppState& app = *g_App;
    EnterCriticalSection(&app.Lock);
    // A rescue's read may keep the job from asking for a minute: the press asks itself.
    const bool ask = app.CancelAtPress && !app.CancelQuestionOpen && !app.CancelConfirmed;
    if (!app.CancelAtPress)
        app.CancelRequested = true;
    app.CancelQuestionOpen = app.CancelQuestionOpen || ask;
    app.CancelDeclined = false;
    LeaveCriticalSection(&app.Lock);
    if (ask)
        AskCancelAtPress(app);
}

bool CancelWasDeclined()
{
    EnterCriticalSection(&g_App->Lock);
    const bool declined = g_App->CancelDeclined;
    LeaveCriticalSection(&g_App->Lock);
    return declined;
}

bool StartImageJob(JobKind kind)
{
    // The controls come back a moment before the dialog hears of the end;
    // a press in that moment must not start a second job.
    if (IsJobRunning())
        return false;
    SetControlsIdle(false);
    // Disabling the focused button leaves the dialog without focus.
    FocusControl(IDC_CANCEL);
    RunningKind = kind;
    g_App->JobVerifies = g_App->VerifyAfterWriting;
    g_App->JobPartitionsOnly = g_App->PartitionsOnly;
    g_App->JobChecksums = g_App->ChecksumWithImage;
    ShowTaskbarState(g_App->MainWindow, TaskbarState::Running);
    ShowTaskbarProgress(g_App->MainWindow, 0);
    JobThread = CreateThread(nullptr, 0, kind == JobKind::Create ? RunCreateJob : RunRestoreJob, nullptr, 0, nullptr);
    if (JobThread == nullptr) {
        // The box's own loop shows the red state it posts; no job end will clear it.
        ShowJobBox(L"Can't start the job,\nplease try again!", MB_ICONWARNING);
        ShowTaskbarState(g_App->MainWindow, TaskbarState::None);
        SetControlsIdle(true);
        FocusControl(StartingButton(kind));
        return false;
    }
    GuardJob(g_App->MainWindow, true);
    WatchReadWait(*g_App, true);
    return true;
}

void OnJobEnded()
{
    if (JobThread == nullptr)
        return;
    CloseHandle(JobThread);
    JobThread = nullptr;
    GuardJob(g_App->MainWindow, false);
    WatchReadWait(*g_App, false);
    ShowTaskbarState(g_App->MainWindow, TaskbarState::None);
    FocusControl(StartingButton(RunningKind));
}

bool IsJobRunning()
{
    return JobThread != nullptr;
}

DWORD WINAPI RunCreateJob(void*)
{
    return RunJob(JobKind::Create);
}

DWORD WINAPI RunRestoreJob(void*)
{
    return RunJob(JobKind::Restore);
}

bool OpenSelectedDisk(JobKind kind)
{
    AppState& app = *g_App;
    if (app.SelectedIndex < 0 || static_cast<size_t>(app.SelectedIndex) >= app.DriveList.size())
        return false;
    const DriveRecord& drive = app.DriveList[static_cast<size_t>(app.SelectedIndex)];
    // A create never writes to the drive, so it doesn't ask to.
    const DWORD access = kind == JobKind::Create ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    app.DiskHandle =
        CreateFileW(drive.DeviceID.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (!IsOpenHandle(app.DiskHandle))
        return false;
    if (!DiskMatchesRecord(app.DiskHandle, drive)) {
        CloseDisk();
        return false;
    }
    return true;
}

bool OpenImageForWrite()
{
    return ConfirmReplace() && CreateImageFile();
}

// A closed handle's value must never be closed again: it may name another object by then.
void CloseImageFile()
{
    CloseImageSource(g_App->Source);
    if (IsOpenHandle(g_App->ImageHandle))
        CloseHandle(g_App->ImageHandle);
    g_App->ImageHandle = nullptr;
    g_App->ImageSparse = false;
}

void CloseDisk()
{
    if (IsOpenHandle(g_App->DiskHandle))
        CloseHandle(g_App->DiskHandle);
    g_App->DiskHandle = nullptr;
}
