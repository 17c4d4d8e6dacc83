#include "tests/engine/engine_fixture.h"

#include <commctrl.h>

#include <memory>

#include "drives/medium_identity.h"
#include "report/error_box.h"
#include "resource.h"

static EngineTest* g_current = nullptr;
static WNDPROC g_barProc = nullptr;

Bytes ReadBytes(const std::wstring& path, size_t size)
{
    Bytes data(size);
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    for (size_t done = 0; done < size; done += got)
        if (!ReadFile(file, data.data() + done, static_cast<DWORD>(size - done), &got, nullptr) || got == 0) {
            ADD_FAILURE() << "can't read " << ts::Narrow(path);
            break;
        }
    CloseHandle(file);
    return data;
}

Bytes Contents(const std::wstring& path)
{
    Bytes data;
    EXPECT_TRUE(ts::ReadWholeFile(path, &data)) << ts::Narrow(path);
    return data;
}

int64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void EngineTest::SetUp()
{
    state_ = CreateAppState();
    g_App = state_;
    dialog_ = ts::CreateHostDialog(true);
    ASSERT_NE(dialog_, nullptr);
    state_->MainWindow = dialog_;
    // Every chunk's position reaches the bar, so that a test can act after any chunk.
    state_->BarIntervalMs = 0;
    g_current = this;
    g_barProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(Control(IDC_PROGRESS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BarProc)));
    SetForegroundWindow(dialog_);
}

void EngineTest::TearDown()
{
    // Never free the record under a job.
    EXPECT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 30000));
    g_current = nullptr;
    DestroyWindow(dialog_);
    g_App = nullptr;
    DestroyAppState(state_);
    for (const std::wstring& path : scratch_) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

LRESULT CALLBACK EngineTest::BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_SETPOS && g_current != nullptr) {
        g_current->positions_.push_back(static_cast<int>(wParam));
        if (g_current->onPosition_)
            g_current->onPosition_(static_cast<int>(wParam));
    }
    return CallWindowProcW(g_barProc, bar, message, wParam, lParam);
}

std::wstring EngineTest::Scratch(const std::wstring& name)
{
    const std::wstring path = name.find(L':') != std::wstring::npos ? name : ts::TempPath(name);
    for (const std::wstring& file : {path, path + L".sha256"}) {
        scratch_.push_back(file);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.c_str());
    }
    return path;
}

bool EngineTest::WriteImage(const std::wstring& path, const Bytes& data)
{
    DeleteFileW((path + L".sha256").c_str());
    return ts::WriteWholeFile(path, data);
}

void EngineTest::SelectDrive(const std::wstring& path, const DISK_GEOMETRY_EX& geometry)
{
    DriveRecord drive;
    drive.Index = 1;
    drive.DeviceID = path;
    drive.DiskGeometry = geometry;
    // As the enumeration records it: what the device answers of its serial and layout
    // (a file-backed drive answers neither).
    const HANDLE device =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        drive.Identity = ReadMediumIdentity(device);
        CloseHandle(device);
    }
    state_->DriveList.assign(1, drive);
    state_->DriveCount = 1;
    state_->SelectedIndex = 0;
}

Bytes EngineTest::MakeDrive(const DISK_GEOMETRY_EX& geometry, unsigned seed, int64_t fileSize)
{
    drive_ = Scratch(L"drive.bin");
    const Bytes data = ts::Pattern(static_cast<size_t>(fileSize >= 0 ? fileSize : geometry.DiskSize.QuadPart), seed);
    EXPECT_TRUE(ts::WriteWholeFile(drive_, data));
    SelectDrive(drive_, geometry);
    return data;
}

void EngineTest::SetFileName(const std::wstring& name)
{
    SetDlgItemTextW(dialog_, IDC_FILE_NAME, name.c_str());
}

void EngineTest::RunJob(JobKind kind)
{
    positions_.clear();
    ASSERT_TRUE(StartImageJob(kind));
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 60000)) << "the job did not end";
}

std::wstring EngineTest::Status() const
{
    return ts::StatusText(Control(IDC_STATUS));
}

void EngineTest::ExpectControls(bool idle) const
{
    EXPECT_EQ(IsWindowEnabled(Control(IDC_CANCEL)) != FALSE, !idle);
    for (int id :
         {IDC_DRIVE_COMBO, IDC_REFRESH, IDC_SELECT, IDC_ALLOW_EDIT, IDC_CREATE, IDC_RESTORE, IDC_FILE_NAME, IDC_ABOUT})
        EXPECT_EQ(IsWindowEnabled(Control(id)) != FALSE, idle) << "control " << id;
}

std::vector<std::string> EngineTest::Seen(ts::BoxWatcher& watcher)
{
    const std::wstring digestLine = L"\n\nSHA-256: ";
    std::vector<std::string> lines;
    const std::wstring note = ComposeErrorText(L"");
    for (const ts::ObservedBox& box : watcher.Boxes()) {
        EXPECT_EQ(box.owner, dialog_) << "box not owned by the dialog";
        std::wstring text = box.text;
        if (box.caption == L"Error!" && text.size() >= note.size() &&
            text.compare(text.size() - note.size(), note.size(), note) == 0)
            text.resize(text.size() - note.size());
        const size_t digest = text.find(digestLine);
        if (digest != std::wstring::npos && text.size() == digest + digestLine.size() + 64) {
            digests_.push_back(ts::Narrow(text.substr(digest + digestLine.size())));
            text.resize(digest);
        }
        std::string line = ts::Narrow(box.caption + L"|" + text) + "|" + ts::BoxIconName(box.icon) + "|";
        for (int id : box.buttons)
            line += id == IDOK ? "OK" : id == IDYES ? "Yes" : id == IDNO ? "No" : "?";
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::wstring> EngineTest::Leftovers() const
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    const std::wstring folder = ts::TempPath(L"");
    for (const std::wstring& pattern :
         {ts::TempPath(L"*.partial"), folder.substr(0, folder.rfind(L'\\') + 1) + L"kvn*.tmp"}) {
        const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do
            names.push_back(found.cFileName);
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return names;
}

void EngineTest::AfterTransfer(std::function<void()> fault)
{
    auto done = std::make_shared<bool>(false);
    onPosition_ = [this, fault, done](int position) {
        if (*done || position != ts::ReadProgress(Control(IDC_PROGRESS)).high)
            return;
        *done = true;
        fault();
    };
}

void EngineTest::WriteThrough(HANDLE file, int64_t offset, const Bytes& data)
{
    LARGE_INTEGER zero = {}, kept = {}, target = {};
    target.QuadPart = offset;
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(file, zero, &kept, FILE_CURRENT));
    EXPECT_TRUE(SetFilePointerEx(file, target, nullptr, FILE_BEGIN) &&
                WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                written == data.size());
    EXPECT_TRUE(SetFilePointerEx(file, kept, nullptr, FILE_BEGIN));
}
