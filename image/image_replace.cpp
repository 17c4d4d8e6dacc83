#include "image/image_replace.h"

#include "engine/app_state.h"
#include "image/checksum_file.h"
#include "image/image_hash.h"
#include "engine/image_jobs.h"
#include "image/sparse_image.h"
#include "report/error_box.h"

namespace {

const DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
const wchar_t kWriteFileError[] = L"Write file error";

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.size() - FileNamePart(path).size());
}

// The name a file is written under before it takes `path`: beside it, "<name>.partial",
// which tells an operator what a file left by a crash is; where that is too long,
// a new, empty file with a name nobody uses.
bool TemporaryNameFor(const std::wstring& path, std::wstring* temporary)
{
    const wchar_t kSuffix[] = L".partial";
    if (path.size() + lstrlenW(kSuffix) < MAX_PATH) {
        *temporary = path + kSuffix;
        return true;
    }
    const std::wstring folder = FolderOf(path);
    wchar_t name[MAX_PATH] = {};
    if (folder.empty() || folder.size() + 14 > MAX_PATH || GetTempFileNameW(folder.c_str(), L"kvn", 0, name) == 0)
        return false;
    *temporary = name;
    return true;
}

// Antivirus and indexers open a file that was just closed for a moment: a move or a
// delete refused for that is tried again for a few seconds.
const DWORD kBusyForMs = 3000;
const DWORD kBusyPauseMs = 100;

bool Busy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// Moves `from` over `to`; false with the last error when it still fails.
bool MoveRetrying(const std::wstring& from, const std::wstring& to)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (MoveFileExW(ExtendedPath(from).c_str(), ExtendedPath(to).c_str(), kMoveFlags))
            return true;
        const DWORD error = GetLastError();
        if (!Busy(error) || GetTickCount() - start >= kBusyForMs) {
            SetLastError(error);
            return false;
        }
        Sleep(kBusyPauseMs);
    }
}

// True when no file has the name any more.
bool DeleteRetrying(const std::wstring& path)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (DeleteFileW(ExtendedPath(path).c_str()))
            return true;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return true;
        if (!Busy(error) || GetTickCount() - start >= kBusyForMs)
            return false;
        Sleep(kBusyPauseMs);
    }
}

// The old checksum file's name while the new image takes its place.
std::wstring AsideNameOf(const std::wstring& sumFile)
{
    return sumFile + L".old";
}

} // namespace

std::wstring ExtendedPath(const std::wstring& path)
{
    if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

bool ImageSetReplaceable(const wchar_t* path)
{
    const std::wstring image = path, sumFile = ChecksumFileOf(image);
    std::wstring sumTemporary = sumFile + L".partial";
    const std::wstring set[] = {image, sumFile, sumTemporary, AsideNameOf(sumFile), image + L".map",
                                image + L".map.tmp"};
    for (const std::wstring& file : set)
        if (!ExistingImageReplaceable(ExtendedPath(file).c_str()))
            return false;
    return true;
}

bool WriteNewFile(const std::wstring& path, const std::string& content)
{
    const HANDLE file =
        CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                    written == content.size() && FlushFileBuffers(file);
    return CloseHandle(file) && ok;
}

std::wstring ChecksumFileOf(const std::wstring& image)
{
    return image + L".sha256";
}

bool ExistingImageReplaceable(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return false;
    // Replacing deletes the old file: a handle that forbids that must be known before anything is read.
    const HANDLE file = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool MakeRoomForImage(AppState& app, const wchar_t* path, int64_t imageSize)
{
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        return true;
    // Sparse files aside: the new image may need every byte of the drive.
    ULARGE_INTEGER available = {}, total = {}, free = {};
    if (!GetDiskFreeSpaceExW(FolderOf(path).c_str(), &available, &total, &free) ||
        available.QuadPart >= static_cast<uint64_t>(imageSize))
        return true;
    const int answer = MessageBoxW(app.MainWindow,
                                   L"There is no room for the new image beside the old one:\nthe old image is "
                                   L"deleted first.\n\nREPLACE ?",
                                   L"Write image file", MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2);
    if (answer != IDYES || !DeleteRetrying(path))
        return false;
    // Its checksum file would describe an image that is gone.
    DeleteRetrying(ChecksumFileOf(path));
    return true;
}

bool CreateTemporaryImage(AppState& app, const wchar_t* chosen)
{
    std::wstring temporary;
    if (!TemporaryNameFor(chosen, &temporary))
        return false;
    app.ImagePath = temporary;
    // Exclusive: nobody else writes the image or moves it while the job does.
    app.ImageHandle = CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (!IsOpenHandle(app.ImageHandle))
        return false;
    app.ImageSparse = MakeImageSparse(app.ImageHandle, temporary.c_str());
    return true;
}

bool PutImageInPlace(AppState& app, const wchar_t* chosen, const BYTE digest[kSha256Size])
{
    CloseImageFile();
    const std::wstring sumFile = ChecksumFileOf(chosen), aside = AsideNameOf(sumFile);
    const bool moving = app.ImagePath != chosen;
    std::wstring sumTemporary;
    bool ready = !app.JobChecksums || (TemporaryNameFor(sumFile, &sumTemporary) &&
                                       WriteNewFile(sumTemporary, ChecksumLine(digest, FileNamePart(chosen))));
    // The old checksum file steps aside while the image takes its place, and comes back
    // when it can't: a failure leaves the old image with its own checksum file.
    const bool hadSum = GetFileAttributesW(ExtendedPath(sumFile).c_str()) != INVALID_FILE_ATTRIBUTES;
    ready = ready && (!hadSum || MoveRetrying(sumFile, aside));
    const bool placed = ready && (!moving || MoveRetrying(app.ImagePath, chosen));
    if (!placed) {
        if (ready && hadSum)
            MoveRetrying(aside, sumFile);
        if (!sumTemporary.empty())
            DeleteRetrying(sumTemporary);
        // A complete image is never thrown away because a name was taken: it stays under its own.
        if (moving) {
            ShowErrorBox(app, L"Can't give the new image its name!\nIt is kept as\n" + app.ImagePath);
            app.ImagePath.clear();
        } else {
            ShowErrorBox(app, kWriteFileError);
        }
        return false;
    }
    app.ImagePath = chosen;
    if (hadSum)
        DeleteRetrying(aside);
    if (app.JobChecksums && !MoveRetrying(sumTemporary, sumFile)) {
        // The new image without a checksum file: a restore of it writes without comparing.
        DeleteRetrying(sumTemporary);
        ShowErrorBox(app, L"Can't write the checksum file\n" + FileNamePart(sumFile) + L"\nbeside the new image!");
    }
    return true;
}

void DiscardTemporaryImage(AppState& app, const wchar_t* chosen)
{
    CloseImageFile();
    if (!app.ImagePath.empty() && app.ImagePath != chosen)
        DeleteRetrying(app.ImagePath);
    app.ImagePath.clear();
}

bool KeepImageUnderChosenName()
{
    AppState& app = *g_App;
    if (app.ImagePath.empty() || app.ImagePath == ImageFileName)
        return IsOpenHandle(app.ImageHandle);
    // The file is open exclusively: it is closed for the move and opened again where the copy was.
    LARGE_INTEGER zero = {}, position = {};
    if (!IsOpenHandle(app.ImageHandle) || !SetFilePointerEx(app.ImageHandle, zero, &position, FILE_CURRENT)) {
        ShowErrorBox(app, kWriteFileError);
        return false;
    }
    const bool sparse = app.ImageSparse;
    CloseImageFile();
    const bool moved = MoveRetrying(app.ImagePath, ImageFileName);
    if (moved) {
        app.ImagePath = ImageFileName;
        DeleteRetrying(ChecksumFileOf(ImageFileName));
    }
    app.ImageHandle = CreateFileW(app.ImagePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (!IsOpenHandle(app.ImageHandle))
        app.ImageHandle = nullptr;
    else
        app.ImageSparse = sparse;
    const bool kept = moved && app.ImageHandle != nullptr &&
                      SetFilePointerEx(app.ImageHandle, position, nullptr, FILE_BEGIN) != FALSE;
    if (!kept)
        ShowErrorBox(app, kWriteFileError);
    return kept;
}

bool FinishCreate(AppState& app, const wchar_t* chosen, bool complete, BYTE digest[kSha256Size])
{
    if (complete && app.ImageRescued && app.JobChecksums) {
        // Filled out of order: the hash of the bytes read is no hash of the file.
        CloseImageFile();
        complete = HashFile(app, app.ImagePath.empty() ? chosen : app.ImagePath.c_str(), digest,
                            &app.ChecksumCancelled);
        if (app.ChecksumCancelled) {
            // The rescued bytes stay; a checksum file of an older image must not stay beside them.
            DeleteRetrying(ChecksumFileOf(chosen));
            app.ImagePath.clear();
            return true;
        }
        if (!complete)
            ShowErrorBox(app, L"Read file error");
    }
    if (complete && PutImageInPlace(app, chosen, digest)) {
        app.ImagePath.clear();
        return true;
    }
    DiscardTemporaryImage(app, chosen);
    return false;
}
