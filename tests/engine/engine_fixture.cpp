#include "tests/engine/engine_fixture.h"

#include <commctrl.h>

#include "report/error_box.h"
#include "resource.h"

static EngineTest* g_current = nullptr;

DISK_GEOMETRY_EX MakeGeometry(DWORD heads, DWORD sectors, DWORD bytesPerSector, int64_t diskSize)
{
    DISK_GEOMETRY_EX geometry = {};
    const int64_t cylinder = static_cast<int64_t>(heads) * sectors * bytesPerSector;
    geometry.Geometry.Cylinders.QuadPart = cylinder ? diskSize / cylinder : 0;
    geometry.Geometry.MediaType = FixedMedia;
    geometry.Geometry.TracksPerCylinder = heads;
    geometry.Geometry.SectorsPerTrack = sectors;
    geometry.Geometry.BytesPerSector = bytesPerSector;
    geometry.DiskSize.QuadPart = diskSize;
    return geometry;
}

bool ReadBytes(const std::wstring& path, size_t size, std::vector<unsigned char>* data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    data->assign(size, 0);
    DWORD got = 0;
    size_t done = 0;
    bool ok = true;
    while (ok && done < size) {
        ok = ReadFile(file, data->data() + done, static_cast<DWORD>(size - done), &got, nullptr) && got > 0;
        done += got;
    }
    CloseHandle(file);
    return ok;
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
    g_current = this;
    barProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(Control(IDC_PROGRESS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BarProc)));
    SetForegroundWindow(dialog_);
}

void EngineTest::TearDown()
{
    // Never leave a job behind with the record it uses.
    EXPECT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 30000));
    g_current = nullptr;
    if (dialog_ != nullptr)
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
    EngineTest* test = g_current;
    if (message == PBM_SETPOS && test != nullptr) {
        test->positions_.push_back(static_cast<int>(wParam));
        if (test->onPosition_)
            test->onPosition_(static_cast<int>(wParam));
    }
    return CallWindowProcW(test->barProc_, bar, message, wParam, lParam);
}

std::wstring EngineTest::Scratch(const std::wstring& name)
{
    const std::wstring path = ts::TempPath(name);
    scratch_.push_back(path);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return path;
}

void EngineTest::SelectDrive(const std::wstring& path, const DISK_GEOMETRY_EX& geometry)
{
    DriveRecord drive;
    drive.Index = 1;
    drive.DeviceID = path;
    drive.Caption = L"Test drive";
    drive.InterfaceType = L"IDE";
    drive.DiskGeometry = geometry;
    state_->DriveList.assign(1, drive);
    state_->DriveCount = 1;
    state_->SelectedIndex = 0;
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

static const int kJobLocked[] = {IDC_DRIVE_COMBO, IDC_REFRESH, IDC_SELECT,    IDC_ALLOW_EDIT,
                                 IDC_CREATE,      IDC_RESTORE, IDC_FILE_NAME, IDC_ABOUT};

void EngineTest::ExpectIdle() const
{
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_CANCEL)));
    for (int id : kJobLocked)
        EXPECT_TRUE(IsWindowEnabled(Control(id))) << "control " << id;
}

void EngineTest::ExpectJobControls() const
{
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_CANCEL)));
    for (int id : kJobLocked)
        EXPECT_FALSE(IsWindowEnabled(Control(id))) << "control " << id;
}

void ExpectBox(const ts::ObservedBox& box, const std::wstring& caption, const std::wstring& text, ts::BoxIcon icon,
               std::vector<int> buttons)
{
    EXPECT_EQ(ts::Narrow(box.caption), ts::Narrow(caption));
    EXPECT_EQ(ts::Narrow(box.text), ts::Narrow(text));
    EXPECT_EQ(ts::BoxIconName(box.icon), ts::BoxIconName(icon));
    EXPECT_EQ(box.buttons, buttons);
    EXPECT_EQ(box.owner, g_App->MainWindow);
}

void ExpectJobBox(const ts::ObservedBox& box, const std::wstring& text, ts::BoxIcon icon)
{
    ExpectBox(box, L"Korvane:", text, icon, {IDOK});
}

void ExpectErrorBox(const ts::ObservedBox& box, const std::wstring& text)
{
    ExpectBox(box, L"Error!", ComposeErrorText(text), ts::BoxIcon::Error, {IDOK});
}
