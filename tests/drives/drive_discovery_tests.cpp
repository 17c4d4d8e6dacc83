#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <wbemidl.h>

#include <climits>
#include <cstring>
#include <memory>

#include "drives/drive_list.h"
#include "drives/wmi_enum.h"
#include "engine/app_state.h"
#include "report/error_box.h"
#include "resource.h"
#include "tests/drives/wmi_double.h"
#include "tests/support/win_test_support.h"
#include "ui/main_dialog.h"

namespace {

// Answers the geometry query under Wine with its fixed fake disk.
const wchar_t kDrive0[] = L"\\\\.\\PHYSICALDRIVE0";
const int64_t kDrive0Size = 82252800000;
// Does not open.
const wchar_t kNoDrive[] = L"\\\\.\\PhysicalDrive7";

// The test owns one apartment for the whole run; each AppState's teardown balances its own.
class ComApartment : public ::testing::Environment {
  public:
    void SetUp() override { CoInitialize(nullptr); }
};
::testing::Environment* const g_apartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override
    {
        CoInitialize(nullptr); // balanced by DestroyAppState
        state_ = CreateAppState();
        g_App = state_;
        dialog_ = ts::CreateHostDialog(true);
        ASSERT_NE(dialog_, nullptr);
        state_->MainWindow = dialog_;
        locator_.services = &services_;
    }
    void TearDown() override
    {
        DestroyWindow(dialog_);
        g_App = nullptr;
        DestroyAppState(state_);
    }

    // As InitWmi leaves it after a good connection.
    void Connect()
    {
        services_.AddRef();
        state_->WbemServices = &services_;
    }
    wd::Row* AddRow(const wchar_t* deviceId, int32_t index, const wchar_t* caption = L"Disk")
    {
        rows_.push_back(std::make_unique<wd::Row>());
        wd::Row* row = rows_.back().get();
        row->Set(L"MediaLoaded", wd::Bool(true));
        row->Set(L"DeviceID", wd::Text(deviceId));
        row->Set(L"Index", wd::I4(index));
        row->Set(L"Caption", wd::Text(caption));
        row->Set(L"InterfaceType", wd::Text(L"SCSI"));
        services_.rows.push_back(row);
        return row;
    }
    // Every row and enumerator handed out has been given back.
    void ExpectAllReleased()
    {
        for (const auto& row : rows_)
            EXPECT_EQ(row->refs, 0);
        for (const auto& enumerator : services_.enumerators)
            EXPECT_EQ(enumerator->refs, 0);
        EXPECT_EQ(state_->WbemObject, nullptr);
        EXPECT_EQ(state_->WbemEnumerator, nullptr);
        EXPECT_EQ(state_->ProbeHandle, nullptr);
    }
    std::vector<std::wstring> Combo() const { return ts::ComboItems(GetDlgItem(dialog_, IDC_DRIVE_COMBO)); }
    int ComboSelection() const { return ts::ComboSelection(GetDlgItem(dialog_, IDC_DRIVE_COMBO)); }
    std::vector<std::wstring> Details() const { return ts::ListItems(GetDlgItem(dialog_, IDC_DETAILS)); }
    std::wstring Status() const { return ts::StatusText(GetDlgItem(dialog_, IDC_STATUS)); }
    std::vector<uint32_t> Indexes() const
    {
        std::vector<uint32_t> indexes;
        for (const DriveRecord& drive : state_->DriveList)
            indexes.push_back(drive.Index);
        return indexes;
    }
    static void ExpectErrorBox(const ts::ObservedBox& box, const std::wstring& text)
    {
        EXPECT_EQ(box.caption, L"Error!");
        EXPECT_EQ(box.text, ComposeErrorText(text));
        EXPECT_EQ(box.icon, ts::BoxIcon::Error);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    }

    AppState* state_ = nullptr;
    HWND dialog_ = nullptr;
    wd::Services services_;
    wd::Locator locator_;
    wd::Token token_; // outlives the rows that hold it
    std::vector<std::unique_ptr<wd::Row>> rows_;
};

std::wstring ScratchFile()
{
    const std::wstring path = ts::TempPath(L"not-a-disk.bin");
    ts::WriteWholeFile(path, ts::Pattern(4096, 1));
    return path;
}

} // namespace

TEST(MediaDescription, TableTextsWithTheMendedFloppiesAndUnknownAboveTheTable)
{
    EXPECT_EQ(MediaDescriptionFor(0), L"Format is unknown");
    EXPECT_EQ(MediaDescriptionFor(7), L"A 5.25 floppy with 320KB");
    EXPECT_EQ(MediaDescriptionFor(8), L"A 5.25 floppy with 320KB");
    EXPECT_EQ(MediaDescriptionFor(12), L"Fixed hard disk media");
    EXPECT_EQ(MediaDescriptionFor(14), L"A 3.5 floppy with 640KB");
    EXPECT_EQ(MediaDescriptionFor(19), L"A 5.25 floppy with 1.23MB");
    EXPECT_EQ(MediaDescriptionFor(25), L"A 3.5 floppy with 32MB");
    EXPECT_EQ(MediaDescriptionFor(26), L"Format is unknown");
    EXPECT_EQ(MediaDescriptionFor(0xFFFFFFFFu), L"Format is unknown");
}

TEST(MediaDescription, UnknownTypeNeverKeepsAnEarlierDrivesText)
{
    DriveRecord scratch;
    scratch.MediaDescription = L"A 3.5 floppy with 1.44MB";
    DISK_GEOMETRY_EX geometry = {};
    geometry.Geometry.MediaType = static_cast<MEDIA_TYPE>(26);
    geometry.Geometry.BytesPerSector = 512;
    geometry.DiskSize.QuadPart = 1474560;
    geometry.Data[0] = 0x5A;
    TakeGeometry(scratch, geometry);
    EXPECT_EQ(scratch.MediaDescription, L"Format is unknown");
    EXPECT_EQ(std::memcmp(&scratch.DiskGeometry, &geometry, sizeof(geometry)), 0);
}

TEST(DevicePaths, DoubledBackslashesAreUndoneAndShortPathsShownWhole)
{
    EXPECT_EQ(DevicePathFromWmi(L"\\\\\\\\.\\\\PHYSICALDRIVE0"), L"\\\\.\\PHYSICALDRIVE0");
    EXPECT_EQ(DevicePathFromWmi(L"\\\\.\\PHYSICALDRIVE0"), L"\\\\.\\PHYSICALDRIVE0");
    EXPECT_EQ(DevicePathFromWmi(L"\\\\?\\PHYSICALDRIVE0"), L"\\\\?\\PHYSICALDRIVE0");
    EXPECT_EQ(DevicePathFromWmi(L""), L"");

    DriveRecord drive;
    drive.DeviceID = L"\\\\.\\PHYSICALDRIVE12";
    EXPECT_EQ(ComboTextFor(drive), L"PHYSICALDRIVE12");
    drive.DeviceID = L"\\\\.\\";
    EXPECT_EQ(ComboTextFor(drive), L"\\\\.\\");
    drive.DeviceID = L"C:";
    EXPECT_EQ(ComboTextFor(drive), L"C:");
}

TEST_F(Discovery, ListIsSortedByUnsignedIndexAndNothingSelected)
{
    ts::BoxWatcher watcher;
    Connect();
    // Different spellings of the one drive that answers, so the combo order shows the sort.
    AddRow(L"\\\\.\\PhysicalDrive0", 2, L"Two");
    AddRow(L"\\\\.\\physicaldrive0", INT32_MIN, L"Top bit");
    AddRow(L"\\\\\\\\.\\\\PHYSICALDRIVE0", 0, L"Zero");
    AddRow(L"\\\\.\\PHYSICALDRIVE0", 1, L"One");
    SendDlgItemMessageW(dialog_, IDC_DETAILS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"old line"));
    SetStatusText(L"old status");
    state_->SelectedIndex = 3;

    EXPECT_EQ(EnumerateDrives(), 4);

    EXPECT_EQ(Indexes(), (std::vector<uint32_t>{0, 1, 2, 0x80000000u}));
    EXPECT_EQ(state_->DriveCount, 4);
    EXPECT_EQ(Combo(),
              (std::vector<std::wstring>{L"PHYSICALDRIVE0", L"PHYSICALDRIVE0", L"PhysicalDrive0", L"physicaldrive0"}));
    EXPECT_EQ(state_->DriveList[0].DeviceID, kDrive0);
    EXPECT_EQ(state_->DriveList[0].Caption, L"Zero");
    EXPECT_EQ(state_->DriveList[3].Caption, L"Top bit");
    EXPECT_EQ(state_->DriveList[1].InterfaceType, L"SCSI");
    EXPECT_EQ(state_->DriveList[1].MediaDescription, L"Fixed hard disk media");
    EXPECT_EQ(state_->DriveList[1].DiskGeometry.DiskSize.QuadPart, kDrive0Size);
    EXPECT_EQ(ComboSelection(), -1);
    EXPECT_EQ(state_->SelectedIndex, -1);
    EXPECT_TRUE(Details().empty());
    EXPECT_EQ(Status(), L"Please select a physical drive!");
    EXPECT_TRUE(watcher.Boxes().empty());

    ASSERT_EQ(services_.queries.size(), 1u);
    EXPECT_EQ(services_.queries[0].language, L"WQL");
    EXPECT_EQ(services_.queries[0].text, L"SELECT * FROM Win32_DiskDrive");
    EXPECT_EQ(services_.queries[0].flags, 48);
    EXPECT_EQ(services_.queries[0].context, nullptr);
    const wd::Enumerator& rows = *services_.enumerators[0];
    EXPECT_EQ(rows.timeouts, std::vector<LONG>(5, static_cast<LONG>(WBEM_INFINITE)));
    EXPECT_EQ(rows.counts, std::vector<ULONG>(5, 1));
    EXPECT_EQ(rows_[0]->reads,
              (std::vector<std::wstring>{L"MediaLoaded", L"DeviceID", L"Index", L"Caption", L"InterfaceType"}));
    ExpectAllReleased();
}

TEST_F(Discovery, DrivesWithoutMediaOrFailingTheProbeAreLeftOutSilently)
{
    ts::BoxWatcher watcher;
    Connect();
    wd::Row* empty = AddRow(kDrive0, 3, L"No media");
    empty->Set(L"MediaLoaded", wd::Bool(false));
    AddRow(kNoDrive, 7, L"Does not open");
    const std::wstring file = ScratchFile();
    AddRow(file.c_str(), 8, L"No geometry");
    AddRow(kDrive0, 5, L"Good");
    // As this platform's own service delivers its rows: no media state, no caption.
    wd::Row* bare = AddRow(kDrive0, 6);
    bare->properties.erase(L"MediaLoaded");
    bare->properties.erase(L"Caption");

    EXPECT_EQ(EnumerateDrives(), 2);

    EXPECT_EQ(Indexes(), (std::vector<uint32_t>{5, 6}));
    EXPECT_EQ(state_->DriveList[1].Caption, L"");
    EXPECT_EQ(state_->DriveList[1].InterfaceType, L"SCSI");
    EXPECT_EQ(Combo().size(), 2u);
    // A drive without media is not even asked for its path.
    EXPECT_EQ(empty->reads, std::vector<std::wstring>{L"MediaLoaded"});
    EXPECT_TRUE(watcher.Boxes().empty());
    ExpectAllReleased();
    DeleteFileW(file.c_str());
}

TEST_F(Discovery, PropertiesOfAnotherTypeDropTheRowOrShowEmptyAndAreAllCleared)
{
    Connect();
    wd::Token& token = token_;
    AddRow(kDrive0, 1)->Set(L"DeviceID", wd::Null());
    AddRow(kDrive0, 2)->Set(L"DeviceID", wd::Object(&token));
    AddRow(kDrive0, 3)->Set(L"Index", wd::Text(L"3"));
    AddRow(kDrive0, 4)->Set(L"Index", wd::Object(&token));
    wd::Row* odd = AddRow(kDrive0, 5, L"Odd");
    odd->Set(L"MediaLoaded", wd::Null());
    odd->Set(L"Caption", wd::Object(&token));
    odd->Set(L"InterfaceType", wd::I4(9));
    AddRow(kDrive0, 6)->Set(L"MediaLoaded", wd::Object(&token));
    const LONG held = token.refs;

    EXPECT_EQ(EnumerateDrives(), 2);

    EXPECT_EQ(Indexes(), (std::vector<uint32_t>{5, 6}));
    EXPECT_EQ(state_->DriveList[0].Caption, L"");
    EXPECT_EQ(state_->DriveList[0].InterfaceType, L"");
    EXPECT_EQ(state_->DriveList[1].Caption, L"Disk");
    // Every copy the rows handed out has been cleared, on the dropping paths too.
    EXPECT_EQ(token.refs, held);
    ExpectAllReleased();
}

TEST_F(Discovery, OnlyDriveFailingTheProbeGivesZeroAfterTheSelectionBox)
{
    ts::BoxWatcher watcher;
    Connect();
    AddRow(kNoDrive, 0);
    SetStatusText(L"old status");
    state_->SelectedIndex = 1;

    EXPECT_EQ(EnumerateDrives(), 0);

    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectErrorBox(watcher.Boxes()[0], L"Could not open this physical drive!");
    EXPECT_EQ(watcher.Boxes()[0].owner, dialog_);
    EXPECT_TRUE(Combo().empty());
    EXPECT_TRUE(state_->DriveList.empty());
    EXPECT_EQ(state_->SelectedIndex, 1);
    EXPECT_EQ(Status(), L"Please select a physical drive!");
    ExpectAllReleased();
}

TEST_F(Discovery, RefreshRefillsWithoutDuplicates)
{
    Connect();
    AddRow(kDrive0, 1);
    AddRow(kDrive0, 0);
    ASSERT_EQ(EnumerateDrives(), 2);
    const std::vector<std::wstring> first = Combo();
    EXPECT_EQ(EnumerateDrives(), 2);
    EXPECT_EQ(Combo(), first);
    EXPECT_EQ(Combo().size(), 2u);
    EXPECT_EQ(state_->DriveList.size(), 2u);
    EXPECT_EQ(services_.enumerators.size(), 2u);
    ExpectAllReleased();
}

TEST_F(Discovery, FailedQueryOrNoConnectionEmptiesTheListAndLeavesTheRestAlone)
{
    ts::BoxWatcher watcher;
    Connect();
    AddRow(kDrive0, 0, L"Kept");
    ASSERT_EQ(EnumerateDrives(), 1);
    ASSERT_TRUE(SelectDrive(*state_, 0));
    const std::vector<std::wstring> details = Details();
    ASSERT_EQ(details.size(), 4u);

    services_.queryResult = WBEM_E_INVALID_QUERY;
    EXPECT_EQ(EnumerateDrives(), 0);
    // Without a connection, as after a failed InitWmi.
    state_->WbemServices->Release();
    state_->WbemServices = nullptr;
    EXPECT_EQ(EnumerateDrives(), 0);

    const std::vector<ts::ObservedBox> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    ExpectErrorBox(boxes[0], L"Query for WMI failed.");
    ExpectErrorBox(boxes[1], L"Query for WMI failed.");
    EXPECT_TRUE(Combo().empty());
    EXPECT_TRUE(state_->DriveList.empty());
    EXPECT_EQ(state_->DriveCount, 0);
    EXPECT_EQ(Details(), details);
    EXPECT_EQ(Status(), L"Physical drive selected");
    EXPECT_EQ(state_->SelectedIndex, 0);
    EXPECT_EQ(services_.queries.size(), 2u);
    ExpectAllReleased();
}

TEST_F(Discovery, SelectingShowsFourLinesAndRefusesPositionsOutsideTheList)
{
    ts::BoxWatcher watcher;
    const wchar_t* captions[] = {L"Floppy", L"Card", L"Disk"};
    const int32_t mediaTypes[] = {2, 11, 12};
    const int64_t sizes[] = {1474560, 7948206080, 0};
    for (int i = 0; i < 3; ++i) {
        DriveRecord drive;
        drive.Index = static_cast<uint32_t>(i);
        drive.DeviceID = L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(i);
        drive.Caption = captions[i];
        drive.InterfaceType = L"USB";
        DISK_GEOMETRY_EX geometry = {};
        geometry.Geometry.MediaType = static_cast<MEDIA_TYPE>(mediaTypes[i]);
        geometry.DiskSize.QuadPart = sizes[i];
        TakeGeometry(drive, geometry);
        state_->DriveList.push_back(drive);
        SendDlgItemMessageW(dialog_, IDC_DRIVE_COMBO, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(ComboTextFor(drive).c_str()));
    }
    state_->DriveCount = 3;

    EXPECT_TRUE(SelectDrive(*state_, 0));
    EXPECT_EQ(Details(),
              (std::vector<std::wstring>{L"Floppy", L"1 474 560 Bytes", L"A 3.5 floppy with 1.44MB", L"USB"}));
    EXPECT_EQ(ComboSelection(), 0);
    EXPECT_EQ(state_->SelectedIndex, 0);
    EXPECT_EQ(Status(), L"Physical drive selected");

    EXPECT_TRUE(SelectDrive(*state_, 2));
    EXPECT_EQ(Details(), (std::vector<std::wstring>{L"Disk", L"0 Bytes", L"Fixed hard disk media", L"USB"}));
    EXPECT_TRUE(SelectDrive(*state_, 1));
    EXPECT_EQ(Details()[1], L"7 948 206 080 Bytes");
    EXPECT_EQ(ComboSelection(), 1);

    SetStatusText(L"old status");
    for (int32_t outside : {3, -2, INT32_MIN, INT32_MAX})
        EXPECT_FALSE(SelectDrive(*state_, outside)) << outside;
    ASSERT_EQ(watcher.Boxes().size(), 4u);
    for (const ts::ObservedBox& box : watcher.Boxes())
        ExpectErrorBox(box, L"Could not open this physical drive!");
    EXPECT_TRUE(Details().empty());
    EXPECT_EQ(ComboSelection(), 1);
    EXPECT_EQ(state_->SelectedIndex, 1);

    EXPECT_TRUE(SelectDrive(*state_, 1));
    EXPECT_TRUE(SelectDrive(*state_, -1));
    EXPECT_TRUE(Details().empty());
    EXPECT_EQ(ComboSelection(), -1);
    EXPECT_EQ(state_->SelectedIndex, -1);
    SetStatusText(L"old status");
    EXPECT_TRUE(SelectDrive(*state_, -1));
    EXPECT_EQ(Status(), L"old status");
    EXPECT_EQ(watcher.Boxes().size(), 4u);

    state_->DriveList.clear();
    state_->DriveCount = 0;
    state_->SelectedIndex = 2;
    EXPECT_FALSE(SelectDrive(*state_, -1));
    EXPECT_EQ(watcher.Boxes().size(), 5u);
    EXPECT_EQ(state_->SelectedIndex, 2);
}

TEST_F(Discovery, InitWmiConnectsWithTheFixedArgumentsAndReportsEachFailingStep)
{
    wd::LocatorClass locatorClass(&locator_);
    ASSERT_HRESULT_SUCCEEDED(locatorClass.registered());
    ts::BoxWatcher watcher;

    ASSERT_TRUE(InitWmi());
    EXPECT_EQ(state_->WbemLocator, &locator_);
    EXPECT_EQ(state_->WbemServices, &services_);
    EXPECT_EQ(locator_.connection.space, L"ROOT\\CIMV2");
    EXPECT_TRUE(locator_.connection.nullCredentials);
    EXPECT_EQ(locator_.connection.flags, 0);
    EXPECT_EQ(services_.blanket.calls, 1);
    EXPECT_EQ(services_.blanket.authnService, static_cast<DWORD>(RPC_C_AUTHN_WINNT));
    EXPECT_EQ(services_.blanket.authzService, static_cast<DWORD>(RPC_C_AUTHZ_NONE));
    EXPECT_EQ(services_.blanket.principal, nullptr);
    EXPECT_EQ(services_.blanket.authnLevel, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_CALL));
    EXPECT_EQ(services_.blanket.impLevel, static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE));
    EXPECT_EQ(services_.blanket.identity, nullptr);
    EXPECT_EQ(services_.blanket.capabilities, static_cast<DWORD>(EOAC_NONE));
    AddRow(kDrive0, 0);
    EXPECT_EQ(EnumerateDrives(), 1);
    EXPECT_TRUE(watcher.Boxes().empty());

    // Later calls meet security that is already set in the process, which is no failure.
    struct Step {
        HRESULT* result;
        HRESULT failure;
        const wchar_t* text;
    } steps[] = {
        {&locatorClass.createResult, E_OUTOFMEMORY, L"Failed to create IWbemLocator object."},
        {&locator_.connectResult, static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE), L"Could not connect ROOT\\CIMV2."},
        {&services_.blanketResult, E_ACCESSDENIED, L"Could not set proxy blanket."},
    };
    for (const Step& step : steps) {
        // Start each attempt from nothing, as the dialog's one call does.
        if (state_->WbemLocator != nullptr)
            state_->WbemLocator->Release();
        if (state_->WbemServices != nullptr)
            state_->WbemServices->Release();
        state_->WbemLocator = nullptr;
        state_->WbemServices = nullptr;
        *step.result = step.failure;
        watcher.Clear();
        EXPECT_FALSE(InitWmi()) << ts::Narrow(step.text);
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        ExpectErrorBox(watcher.Boxes()[0], step.text);
        *step.result = S_OK;
    }
    EXPECT_EQ(services_.blanket.calls, 2);
    EXPECT_EQ(locator_.connection.calls, 3);

    DestroyAppState(state_);
    state_ = CreateAppState();
    g_App = state_;
    state_->MainWindow = dialog_;
    EXPECT_EQ(locator_.refs, 0);
    EXPECT_EQ(services_.refs, 0);
}

TEST_F(Discovery, InitWmiOnAMultithreadedThreadFailsAtTheComLibrary)
{
    ts::BoxWatcher watcher;
    bool connected = true;
    ASSERT_TRUE(ts::RunWhilePumping([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        connected = InitWmi();
        CoUninitialize();
    }));
    EXPECT_FALSE(connected);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    ExpectErrorBox(watcher.Boxes()[0], L"Failed to initialize COM library.");
    EXPECT_EQ(state_->WbemLocator, nullptr);
}

TEST_F(Discovery, ThePlatformsOwnWmiListsItsDrive)
{
    ts::BoxWatcher watcher;
    ASSERT_TRUE(InitWmi());
    const int32_t count = EnumerateDrives();
    ASSERT_GE(count, 1);
    EXPECT_TRUE(watcher.Boxes().empty());

    const std::vector<std::wstring> combo = Combo();
    ASSERT_EQ(combo.size(), static_cast<size_t>(count));
    int32_t position = -1;
    for (size_t i = 0; i < combo.size(); ++i) {
        if (combo[i] == L"PHYSICALDRIVE0")
            position = static_cast<int32_t>(i);
    }
    ASSERT_NE(position, -1) << "combo lists no PHYSICALDRIVE0";
    const DriveRecord& drive = state_->DriveList[static_cast<size_t>(position)];
    EXPECT_EQ(drive.DeviceID, kDrive0);
    ASSERT_TRUE(SelectDrive(*state_, position));
    const std::vector<std::wstring> details = Details();
    ASSERT_EQ(details.size(), 4u);
    EXPECT_EQ(details[0], drive.Caption);
    EXPECT_EQ(details[1], L"82 252 800 000 Bytes");
    EXPECT_EQ(details[2], L"Fixed hard disk media");
    EXPECT_EQ(details[3], drive.InterfaceType);
    EXPECT_EQ(state_->WbemObject, nullptr);
    EXPECT_EQ(state_->WbemEnumerator, nullptr);
    std::printf("WMI listed %d drive(s); %ls: caption \"%ls\", interface \"%ls\"\n", count, combo[position].c_str(),
                drive.Caption.c_str(), drive.InterfaceType.c_str());
}

// The dialog itself: its start-up enumeration, Refresh and the combo box's selection.
TEST_F(Discovery, MainDialogTellsOfNoDriveInTwoBoxesAndRefreshFindsOne)
{
    wd::LocatorClass locatorClass(&locator_);
    ASSERT_HRESULT_SUCCEEDED(locatorClass.registered());
    AddRow(kNoDrive, 0);
    ts::BoxWatcher watcher;
    HWND main = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(state_->MainWindow, main);

    // Both boxes came while the dialog was created, the selection's first.
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    ExpectErrorBox(watcher.Boxes()[0], L"Could not open this physical drive!");
    const ts::ObservedBox noDrive = watcher.Boxes()[1];
    EXPECT_EQ(noDrive.caption, L"Disk error");
    EXPECT_EQ(noDrive.text, L"Could not enumerate any physical drive!");
    EXPECT_EQ(noDrive.icon, ts::BoxIcon::Error);
    EXPECT_EQ(noDrive.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(noDrive.owner, main);

    services_.rows.clear();
    AddRow(kDrive0, 0, L"Wine disk");
    watcher.Clear();
    const HWND combo = GetDlgItem(main, IDC_DRIVE_COMBO);
    for (int press = 0; press < 2; ++press) {
        SendMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_REFRESH, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(main, IDC_REFRESH)));
        EXPECT_EQ(ts::ComboItems(combo), std::vector<std::wstring>{L"PHYSICALDRIVE0"});
        EXPECT_EQ(ts::ComboSelection(combo), -1);
    }
    EXPECT_TRUE(watcher.Boxes().empty());

    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_DRIVE_COMBO, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    EXPECT_EQ(state_->SelectedIndex, 0);
    const std::vector<std::wstring> details = {L"Wine disk", L"82 252 800 000 Bytes", L"Fixed hard disk media", L"SCSI"};
    EXPECT_EQ(ts::ListItems(GetDlgItem(main, IDC_DETAILS)), details);
    EXPECT_TRUE(watcher.Boxes().empty());

    DestroyWindow(main);
    state_->MainWindow = dialog_;
}
