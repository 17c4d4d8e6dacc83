#include "engine/image_replace.h"

#include "engine/app_state.h"
#include "engine/checksum_file.h"
#include "engine/image_hash.h"
#include "engine/image_jobs.h"
#include "engine/sparse_image.h"
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

} // namespace

bool WriteNewFile(const std::wstring& path, const std::string& content)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    if (answer != IDYES || !DeleteFileW(path))
        return false;
    // Its checksum file would describe an image that is gone.
    DeleteFileW(ChecksumFileOf(path).c_str());
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
    const std::wstring sumFile = ChecksumFileOf(chosen);
    std::wstring sumTemporary;
    if (!TemporaryNameFor(sumFile, &sumTemporary)) {
        ShowErrorBox(app, kWriteFileError);
        return false;
    }
    if (!WriteNewFile(sumTemporary, ChecksumLine(digest, FileNamePart(chosen))) ||
        (app.ImagePath != chosen && !MoveFileExW(app.ImagePath.c_str(), chosen, kMoveFlags))) {
        DeleteFileW(sumTemporary.c_str());
        ShowErrorBox(app, kWriteFileError);
        return false;
    }
    app.ImagePath = chosen;
    if (!MoveFileExW(sumTemporary.c_str(), sumFile.c_str(), kMoveFlags)) {
        // The old image's checksum must not stay beside the new image.
        DeleteFileW(sumFile.c_str());
        DeleteFileW(sumTemporary.c_str());
        ShowErrorBox(app, kWriteFileError);
        return false;
    }
    return true;
}

void DiscardTemporaryImage(AppState& app, const wchar_t* chosen)
{
    CloseImageFile();
    if (!app.ImagePath.empty() && app.ImagePath != chosen)
        DeleteFileW(app.ImagePath.c_str());
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
    const bool moved = MoveFileExW(app.ImagePath.c_str(), ImageFileName, kMoveFlags) != FALSE;
    if (moved) {
        app.ImagePath = ImageFileName;
        DeleteFileW(ChecksumFileOf(ImageFileName).c_str());
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
    if (complete && app.ImageRescued) {
        // Filled out of order: the hash of the bytes read is no hash of the file.
        CloseImageFile();
        complete = HashFile(app, app.ImagePath.empty() ? chosen : app.ImagePath.c_str(), digest,
                            &app.ChecksumCancelled);
        if (app.ChecksumCancelled) {
            // The rescued bytes stay; a checksum file of an older image must not stay beside them.
            DeleteFileW(ChecksumFileOf(chosen).c_str());
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
