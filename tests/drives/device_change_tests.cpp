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
#include "tests/support/win_test_support.h"
#include "ui/device_watch.h"
#include "ui/startup.h"

namespace {

// Three spellings of the drive that answers under Wine: three device paths to the list.
const wchar_t kFirst[] = L"\\\\.\\PHYSICALDRIVE0";
const wchar_t kSecond[] = L"\\\\.\\PhysicalDrive0";
const wchar_t kArriving[] = L"\\\\.\\physicaldrive0";

class DeviceChanges : public ::testing::Test {
  protected:
    void SetUp() override
    {
        locator_.services = &services_;
        locatorClass_.reset(new wd::LocatorClass(&locator_));
        ASSERT_HRESULT_SUCCEEDED(locatorClass_->registered());
        AddRow(kFirst, 1);
        AddRow(kSecond, 2);
        g_Instance = GetModuleHandleW(nullptr);
        BackgroundBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
        g_App = CreateAppState();
        dialog_ = g_MainWindow = CreateMainWindow();
        ASSERT_NE(dialog_, nullptr);
        ASSERT_EQ(Combo().size(), 2u);
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
    }

    void AddRow(const wchar_t* deviceId, int32_t index)
    {
        rows_.push_back(std::make_unique<wd::Row>());
        wd::Row* row = rows_.back().get();
        row->Set(L"DeviceID", wd::Text(deviceId));
        row->Set(L"Index", wd::I4(index));
        row->Set(L"Caption", wd::Text(deviceId));
        row->Set(L"InterfaceType", wd::Text(L"USB"));
        services_.rows.push_back(row);
    }
    void RemoveRow(const wchar_t* deviceId)
    {
        auto& rows = services_.rows;
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&](wd::Row* row) {
                                      return std::wstring(row->properties[L"DeviceID"].bstrVal) == deviceId;
                                  }),
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
    // Lets the coalescing timer run out (and a second one, had there been one).
    size_t QueriesAfterQuiet()
    {
        ts::PumpUntil([] { return false; }, 3 * kDeviceRefreshDelayMs);
        return services_.queries.size();
    }
    std::vector<std::wstring> Combo() const { return ts::ComboItems(GetDlgItem(dialog_, IDC_DRIVE_COMBO)); }
    int Selection() const { return ts::ComboSelection(GetDlgItem(dialog_, IDC_DRIVE_COMBO)); }
    std::vector<std::wstring> Details() const { return ts::ListItems(GetDlgItem(dialog_, IDC_DETAILS)); }
    std::wstring Status() const { return ts::StatusText(GetDlgItem(dialog_, IDC_STATUS)); }

    HWND dialog_ = nullptr;
    wd::Services services_;
    wd::Locator locator_;
    std::unique_ptr<wd::LocatorClass> locatorClass_;
    std::vector<std::unique_ptr<wd::Row>> rows_;
};

} // namespace

TEST_F(DeviceChanges, IdleBurstRefreshesOnceKeepingTheSameMediumAndClearingAGoneOne)
{
    ts::BoxWatcher watcher;
    Choose(1);
    ASSERT_EQ(g_App->DriveList[1].DeviceID, kSecond);

    // A disk arrives with its volumes: one refresh for the whole burst; the chosen
    // medium is still there, now at another position.
    AddRow(kArriving, 0);
    for (int i = 0; i < 4; ++i)
        SendNotice(DBT_DEVICEARRIVAL);
    EXPECT_EQ(services_.queries.size(), 1u) << "refreshed before the burst was over";
    EXPECT_EQ(QueriesAfterQuiet(), 2u);
    EXPECT_EQ(Combo(), (std::vector<std::wstring>{L"physicaldrive0", L"PHYSICALDRIVE0", L"PhysicalDrive0"}));
    EXPECT_EQ(Selection(), 2);
    EXPECT_EQ(g_App->SelectedIndex, 2);
    EXPECT_EQ(Details(), (std::vector<std::wstring>{kSecond, L"82 252 800 000 Bytes", L"Fixed hard disk media", L"USB"}));
    EXPECT_EQ(Status(), L"Physical drive selected");

    // Notices that tell of no disk change nothing.
    DEV_BROADCAST_VOLUME share = {sizeof(share), DBT_DEVTYP_VOLUME, 0, 1 << 7, DBTF_NET};
    SendMessageW(dialog_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&share));
    SendMessageW(dialog_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    SendMessageW(dialog_, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&share));
    EXPECT_EQ(QueriesAfterQuiet(), 2u);

    // The chosen disk goes: the selection and its details go with it.
    RemoveRow(kSecond);
    SendNotice(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(QueriesAfterQuiet(), 3u);
    EXPECT_EQ(Combo(), (std::vector<std::wstring>{L"physicaldrive0", L"PHYSICALDRIVE0"}));
    EXPECT_EQ(Selection(), -1);
    EXPECT_EQ(g_App->SelectedIndex, -1);
    EXPECT_TRUE(Details().empty());
    EXPECT_EQ(Status(), L"Please select a physical drive!");
    EXPECT_TRUE(watcher.Boxes().empty());
}

TEST_F(DeviceChanges, NoticesDuringAJobWaitForItsEnd)
{
    const std::wstring image = ts::TempPath(L"existing.hdd");
    ASSERT_TRUE(ts::WriteWholeFile(image, ts::Pattern(512, 3)));
    Choose(0);
    SetDlgItemTextW(dialog_, IDC_FILE_NAME, image.c_str());
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0);

    // The job waits at its question; meanwhile the other disk goes.
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_CREATE, BN_CLICKED), 0);
    ts::ObservedBox question;
    ASSERT_TRUE(watcher.WaitForOpenBox(&question));
    EXPECT_EQ(question.caption, L"Write image file");
    RemoveRow(kSecond);
    SendNotice(DBT_DEVICEREMOVECOMPLETE);
    SendNotice(DBT_DEVICEARRIVAL);
    EXPECT_EQ(QueriesAfterQuiet(), 1u);
    EXPECT_EQ(Combo().size(), 2u);
    EXPECT_EQ(Details().size(), 4u);
    EXPECT_TRUE(IsJobRunning());

    // No: the job ends with its boxes, then the list is refreshed once, the chosen medium kept.
    watcher.SetDefaultAnswer(IDOK);
    ts::BoxWatcher::Press(question.window, IDNO);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 20000));
    EXPECT_EQ(QueriesAfterQuiet(), 2u);
    EXPECT_EQ(Combo(), std::vector<std::wstring>{L"PHYSICALDRIVE0"});
    EXPECT_EQ(Selection(), 0);
    EXPECT_EQ(Details().size(), 4u);
    EXPECT_EQ(Status(), L"Physical drive selected");
    std::vector<unsigned char> after;
    ASSERT_TRUE(ts::ReadWholeFile(image, &after));
    EXPECT_TRUE(after == ts::Pattern(512, 3));
    DeleteFileW(image.c_str());
}
