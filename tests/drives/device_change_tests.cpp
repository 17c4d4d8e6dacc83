// Disks and volumes coming and going while the program's own main dialog runs:
// the notices the system sends it, drives listed by a WMI service double.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <objbase.h>
#include <wbemidl.h>

#include <algorithm>
#include <memory>

#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "resource.h"
#include "tests/drives/wmi_double.h"
#include "tests/support/sim_storage.h"
#include "tests/support/win_test_support.h"
#include "ui/device_watch.h"
#include "ui/startup.h"

namespace {

// Four cylinders of 2 x 18 sectors.
const int64_t kSize = 4 * 2 * 18 * 512;
const wchar_t kSizeLine[] = L"73 728 Bytes";

std::wstring RowPath(DWORD number)
{
    return L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(number);
}

class DeviceChanges : public ::testing::Test {
  protected:
    void SetUp() override
    {
        stack_.reset(new sim::Stack);
        ASSERT_TRUE(stack_->Installed());
        locator_.services = &services_;
        locatorClass_.reset(new wd::LocatorClass(&locator_));
        ASSERT_HRESULT_SUCCEEDED(locatorClass_->registered());
        AddDisk(2);
        AddDisk(3);
        g_Instance = GetModuleHandleW(nullptr);
        BackgroundBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
        g_App = CreateAppState();
        dialog_ = g_MainWindow = CreateMainWindow();
        ASSERT_NE(dialog_, nullptr);
        ASSERT_EQ(Combo(), (std::vector<std::wstring>{L"PHYSICALDRIVE2", L"PHYSICALDRIVE3"}));
        ASSERT_EQ(services_.queries.size(), 1u);
    }
    void TearDown() override
    {
        EXPECT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 30000));
        DestroyWindow(dialog_);
        g_MainWindow = nullptr;
        DestroyAppState(g_App);
        g_App = nullptr;
        DeleteObject(BackgroundBrush);
        locatorClass_.reset();
        EXPECT_EQ(stack_->OpenHandles(), 0);
        stack_.reset();
        for (const std::wstring& file : files_)
            DeleteFileW(file.c_str());
    }

    sim::Disk Medium(DWORD number, const char* serial)
    {
        sim::Disk disk;
        disk.number = number;
        disk.size = kSize;
        disk.heads = 2;
        disk.sectorsPerTrack = 18;
        disk.serial = serial;
        disk.backingFile = ts::TempPath(L"medium" + std::to_wstring(files_.size()) + L".bin");
        files_.push_back(disk.backingFile);
        EXPECT_TRUE(ts::WriteWholeFile(disk.backingFile, ts::Pattern(static_cast<size_t>(kSize), number)));
        return disk;
    }
    // A disk arrives: the stack answers for it, the WMI double lists it.
    void AddDisk(DWORD number)
    {
        stack_->AddDisk(Medium(number, ("SER" + std::to_string(number)).c_str()));
        rows_.push_back(std::make_unique<wd::Row>());
        wd::Row* row = rows_.back().get();
        row->Set(L"DeviceID", wd::Text(RowPath(number).c_str()));
        row->Set(L"Index", wd::I4(static_cast<int32_t>(number)));
        row->Set(L"Caption", wd::Text(L"Simulated Disk"));
        row->Set(L"InterfaceType", wd::Text(L"USB"));
        services_.rows.push_back(row);
    }
    void RemoveDisk(DWORD number)
    {
        stack_->RemoveDisk(number);
        auto& rows = services_.rows;
        const std::wstring path = RowPath(number);
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&](wd::Row* row) { return row->properties[L"DeviceID"].bstrVal == path; }),
                   rows.end());
    }
    // What the system sends: a volume of the disk and the disk's interface.
    void SendNotice(WPARAM event)
    {
        DEV_BROADCAST_VOLUME volume = {};
        volume.dbcv_size = sizeof(volume);
        volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        volume.dbcv_unitmask = 1 << 5;
        SendMessageW(dialog_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume));
        DEV_BROADCAST_DEVICEINTERFACE_W disk = {};
        disk.dbcc_size = sizeof(disk);
        disk.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        disk.dbcc_classguid = GUID_DEVINTERFACE_DISK;
        SendMessageW(dialog_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&disk));
    }
    void Choose(int position)
    {
        SendDlgItemMessageW(dialog_, IDC_DRIVE_COMBO, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_DRIVE_COMBO, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_DRIVE_COMBO)));
        ASSERT_EQ(Details().size(), 4u);
    }
    // The number of queries once `expected` have been made (or a few seconds have passed)
    // and the coalescing timer has had time to run out again: a refresh too many shows.
    size_t QueriesAfterQuiet(size_t expected)
    {
        ts::PumpUntil([&] { return services_.queries.size() >= expected; }, 5000);
        ts::PumpUntil([] { return false; }, 3 * kDeviceRefreshDelayMs);
        return services_.queries.size();
    }
    std::vector<std::wstring> Combo() const { return ts::ComboItems(GetDlgItem(dialog_, IDC_DRIVE_COMBO)); }
    int Selection() const { return ts::ComboSelection(GetDlgItem(dialog_, IDC_DRIVE_COMBO)); }
    std::vector<std::wstring> Details() const { return ts::ListItems(GetDlgItem(dialog_, IDC_DETAILS)); }
    std::wstring Status() const { return ts::StatusText(GetDlgItem(dialog_, IDC_STATUS)); }

    std::unique_ptr<sim::Stack> stack_;
    HWND dialog_ = nullptr;
    wd::Services services_;
    wd::Locator locator_;
    std::unique_ptr<wd::LocatorClass> locatorClass_;
    std::vector<std::unique_ptr<wd::Row>> rows_;
    std::vector<std::wstring> files_;
};

const std::vector<std::wstring> kDisk3Details = {L"Simulated Disk", kSizeLine, L"Fixed hard disk media", L"USB"};

} // namespace

TEST_F(DeviceChanges, WhileIdleOneRefreshPerBurstKeepingOnlyTheSameMedium)
{
    ts::BoxWatcher watcher;
    Choose(1);

    // One disk goes and another arrives, with their volumes: one refresh for the whole
    // burst; the chosen medium is still there, now at another position.
    RemoveDisk(2);
    AddDisk(4);
    for (int i = 0; i < 3; ++i) {
        SendNotice(DBT_DEVICEREMOVECOMPLETE);
        SendNotice(DBT_DEVICEARRIVAL);
    }
    EXPECT_EQ(services_.queries.size(), 1u) << "refreshed before the burst was over";
    EXPECT_EQ(QueriesAfterQuiet(2u), 2u);
    EXPECT_EQ(Combo(), (std::vector<std::wstring>{L"PHYSICALDRIVE3", L"PHYSICALDRIVE4"}));
    EXPECT_EQ(Selection(), 0);
    EXPECT_EQ(g_App->SelectedIndex, 0);
    EXPECT_EQ(Details(), kDisk3Details);
    EXPECT_EQ(Status(), L"Physical drive selected");

    // Notices that tell of no disk change nothing.
    DEV_BROADCAST_VOLUME share = {sizeof(share), DBT_DEVTYP_VOLUME, 0, 1 << 7, DBTF_NET};
    SendMessageW(dialog_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&share));
    SendMessageW(dialog_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    SendMessageW(dialog_, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&share));
    EXPECT_EQ(QueriesAfterQuiet(2u), 2u);

    // Another medium of the same size and model, with another serial, behind the chosen
    // disk's number: the selection and its details go, though the path is listed again.
    stack_->SwapMedium(3, Medium(3, "SER3-SWAPPED"));
    SendNotice(DBT_DEVICEREMOVECOMPLETE);
    SendNotice(DBT_DEVICEARRIVAL);
    EXPECT_EQ(QueriesAfterQuiet(3u), 3u);
    EXPECT_EQ(Combo(), (std::vector<std::wstring>{L"PHYSICALDRIVE3", L"PHYSICALDRIVE4"}));
    EXPECT_EQ(Selection(), -1);
    EXPECT_EQ(g_App->SelectedIndex, -1);
    EXPECT_TRUE(Details().empty());
    EXPECT_EQ(Status(), L"Please select a physical drive!");

    // The chosen disk goes altogether.
    Choose(1);
    RemoveDisk(4);
    SendNotice(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(QueriesAfterQuiet(4u), 4u);
    EXPECT_EQ(Combo(), std::vector<std::wstring>{L"PHYSICALDRIVE3"});
    EXPECT_EQ(Selection(), -1);
    EXPECT_TRUE(Details().empty());
    EXPECT_EQ(Status(), L"Please select a physical drive!");

    // The machine slept: Windows counts a medium change on the drive though none was made.
    // The list is read again on resume, and the drive stays chosen with its new count, so
    // that the next job finds the medium it was given.
    Choose(0);
    stack_->AdvanceChangeCount(3);
    SendMessageW(dialog_, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    SendMessageW(dialog_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    EXPECT_EQ(QueriesAfterQuiet(5u), 5u);
    EXPECT_EQ(Selection(), 0);
    ASSERT_EQ(g_App->SelectedIndex, 0);
    EXPECT_EQ(g_App->DriveList[0].Identity.ChangeCount, 2u);
    EXPECT_TRUE(watcher.Boxes().empty());
}

TEST_F(DeviceChanges, NoticesDuringARestoreWaitForItsEndAndTheRewrittenMediumStaysChosen)
{
    // The restore writes a new partition layout onto disk 3.
    sim::Disk disk = Medium(3, "SER3");
    disk.layout = sim::Layout::FromContent;
    stack_->SwapMedium(3, disk);
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_REFRESH, BN_CLICKED), 0);
    Choose(1);
    std::vector<unsigned char> image = ts::Pattern(static_cast<size_t>(kSize), 9);
    image[440] = 0x11, image[510] = 0x55, image[511] = 0xAA;
    const std::wstring imagePath = ts::TempPath(L"layout.hdd");
    files_.push_back(imagePath);
    ASSERT_TRUE(ts::WriteWholeFile(imagePath, image));
    SetDlgItemTextW(dialog_, IDC_FILE_NAME, imagePath.c_str());

    // At the first write the other disk goes, and the job's own volume work brings
    // notices too; at the second the job waits well past the timer's delay.
    const size_t queriesBefore = services_.queries.size();
    size_t queriesDuringJob = 0;
    stack_->AddHook({"WriteFile", 0, sim::DiskPath(3), 1, [&](const sim::CallRecord&) {
                         RemoveDisk(2);
                         SendNotice(DBT_DEVICEREMOVECOMPLETE);
                         SendNotice(DBT_DEVICEARRIVAL);
                     }});
    stack_->AddHook({"WriteFile", 0, sim::DiskPath(3), 2, [&](const sim::CallRecord&) {
                         Sleep(4 * kDeviceRefreshDelayMs);
                         queriesDuringJob = services_.queries.size();
                     }});
    ts::BoxWatcher watcher;
    watcher.Answer(IDYES);
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_RESTORE, BN_CLICKED), 0);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 30000));
    std::vector<unsigned char> written;
    ASSERT_TRUE(ts::ReadWholeFile(disk.backingFile, &written));
    EXPECT_TRUE(written == image);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    EXPECT_EQ(watcher.Boxes()[1].text, L"The disk image was successfully written!");

    EXPECT_EQ(queriesDuringJob, queriesBefore) << "the list was refreshed while the job ran";
    EXPECT_EQ(QueriesAfterQuiet(queriesBefore + 1), queriesBefore + 1);
    EXPECT_EQ(Combo(), std::vector<std::wstring>{L"PHYSICALDRIVE3"});
    EXPECT_EQ(Selection(), 0);
    EXPECT_EQ(Details(), kDisk3Details);
    // The job's last figures stay: the refresh changed nothing the operator had chosen.
    EXPECT_EQ(Status().rfind(L"Bytes written: 73 728", 0), 0u) << ts::Narrow(Status());
}
