#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <wbemidl.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "drives/drive_record.h"
#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/verify.h"
#include "resource.h"
#include "tests/support/win_test_support.h"

TEST(DriveRecord, OrdersByIndexAsUnsignedAndCopiesOwnTheirStrings)
{
    DriveRecord top, zero, one;
    top.Index = 0x80000000u;
    zero.Index = 0;
    one.Index = 1;
    std::vector<DriveRecord> list = {top, one, zero};
    std::sort(list.begin(), list.end(), DriveRecordLess);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Index, 0u);
    EXPECT_EQ(list[1].Index, 1u);
    EXPECT_EQ(list[2].Index, 0x80000000u);

    DriveRecord source;
    source.Caption = L"First disk";
    source.DiskGeometry = ts::MakeGeometry(255, 63, 512, 80026361856);
    DriveRecord copy = source;
    source.Caption[0] = L'X';
    source.Caption += L" changed";
    EXPECT_EQ(copy.Caption, L"First disk");
    EXPECT_EQ(copy.DiskGeometry.DiskSize.QuadPart, 80026361856);
}

TEST(AppState, ConstructionLeavesNothingSelectedOrOpen)
{
    AppState* state = CreateAppState();
    EXPECT_EQ(state->SelectedIndex, -1);
    EXPECT_EQ(state->DriveCount, 0);
    EXPECT_TRUE(state->DriveList.empty());
    EXPECT_TRUE(state->ScratchDrive.DeviceID.empty() && state->ScratchDrive.Caption.empty() &&
                state->ScratchDrive.InterfaceType.empty() && state->ScratchDrive.MediaDescription.empty());
    // Null, not INVALID_HANDLE_VALUE: neither counts as open.
    EXPECT_EQ(state->DiskHandle, nullptr);
    EXPECT_EQ(state->ProbeHandle, nullptr);
    EXPECT_EQ(state->ImageHandle, nullptr);
    EXPECT_FALSE(IsOpenHandle(state->DiskHandle));
    EXPECT_FALSE(IsOpenHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(state->TransferBuffer, nullptr);
    EXPECT_EQ(state->WbemLocator, nullptr);
    EXPECT_EQ(state->WbemServices, nullptr);
    EXPECT_EQ(state->WbemEnumerator, nullptr);
    EXPECT_EQ(state->WbemObject, nullptr);
    // The lock is ready and re-entrant.
    EnterCriticalSection(&state->Lock);
    EXPECT_TRUE(TryEnterCriticalSection(&state->Lock));
    LeaveCriticalSection(&state->Lock);
    LeaveCriticalSection(&state->Lock);
    DestroyAppState(state);
}

// Counts releases; stands in for what WMI hands out.
template <typename Interface>
struct CountingObject : Interface {
    LONG refs = 1;
    int releases = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ++releases;
        return --refs;
    }
};

struct FakeLocator : CountingObject<IWbemLocator> {
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR, const BSTR, const BSTR, const BSTR, long, const BSTR,
                                            IWbemContext*, IWbemServices**) override
    {
        return E_FAIL;
    }
};

struct FakeEnumerator : CountingObject<IEnumWbemClassObject> {
    HRESULT STDMETHODCALLTYPE Reset() override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE Next(long, ULONG, IWbemClassObject**, ULONG*) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE Skip(long, ULONG) override { return E_FAIL; }
};

TEST(AppState, TeardownReleasesWhatItOwnsAndBalancesCom)
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    FakeLocator locator;
    FakeEnumerator enumerator;
    AppState* state = CreateAppState();
    state->WbemLocator = &locator;
    state->WbemEnumerator = &enumerator; // released by the enumeration, never by teardown
    state->DriveList.resize(3);
    state->TransferBuffer =
        static_cast<BYTE*>(VirtualAlloc(nullptr, 65536, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    void* buffer = state->TransferBuffer;
    ASSERT_NE(buffer, nullptr);
    DestroyAppState(state);

    EXPECT_EQ(locator.releases, 1);
    EXPECT_EQ(enumerator.releases, 0);
    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_NE(VirtualQuery(buffer, &info, sizeof(info)), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
    // S_OK, not S_FALSE: teardown's CoUninitialize balanced ours.
    HRESULT again = CoInitialize(nullptr);
    EXPECT_EQ(again, S_OK);
    CoUninitialize();
}

TEST(AppState, TeardownWithoutWmiOrJobIsQuiet)
{
    ts::BoxWatcher watcher;
    AppState* state = CreateAppState();
    DestroyAppState(state);
    DestroyAppState(nullptr);
    Sleep(50);
    EXPECT_TRUE(watcher.Boxes().empty());
}

TEST(ChunkSize, OneCylinderHalvedOnlyWhenAddressSpaceIsShort)
{
    const DISK_GEOMETRY_EX disk = ts::MakeGeometry(255, 63, 512, 80026361856);
    EXPECT_EQ(ChunkSizeFor(disk, 2147352576ull), 8225280u);
    EXPECT_EQ(ChunkSizeFor(disk, 131604480ull), 8225280u); // limit equals the chunk: kept
    EXPECT_EQ(ChunkSizeFor(ts::MakeGeometry(2, 18, 512, 1474560), 2147352576ull), 18432u);
    // A cylinder past 32 bits is halved, not wrapped: 65535 x 65535 x 4096 bytes.
    const uint32_t huge = ChunkSizeFor(ts::MakeGeometry(65535, 65535, 4096, 1ll << 50), 2147352576ull);
    EXPECT_EQ(huge % 4096u, 0u);
    EXPECT_LE(huge, 2147352576u / 16);
    EXPECT_GT(huge, 2147352576u / 32 - 4096u);
}

TEST(ChunkSize, HalvedChunkIsCutToWholeSectors)
{
    const DISK_GEOMETRY_EX disk = ts::MakeGeometry(255, 63, 512, 80026361856);
    // One halving gives 4 112 640, half a sector over: unbuffered reads of it would fail.
    EXPECT_EQ(ChunkSizeFor(disk, 131604479ull), 4112384u);
    EXPECT_EQ(ChunkSizeFor(disk, 100000000ull), 4112384u);
    EXPECT_EQ(4112384u % 512u, 0u);
    // 4 KiB sectors: 16 heads x 63 sectors x 4096, halved three times.
    const uint32_t chunk = ChunkSizeFor(ts::MakeGeometry(16, 63, 4096, 1ll << 40), 16ull * 600000);
    EXPECT_EQ(chunk % 4096u, 0u);
    EXPECT_LE(chunk, 600000u);
    EXPECT_GT(chunk, 600000u / 2 - 4096u);
}

TEST(ChunkSize, DegenerateInputsGiveZeroWhichTheTransferRefuses)
{
    const DISK_GEOMETRY_EX disk = ts::MakeGeometry(255, 63, 512, 80026361856);
    EXPECT_EQ(ChunkSizeFor(disk, 15ull), 0u);
    EXPECT_EQ(ChunkSizeFor(ts::MakeGeometry(0, 63, 512, 1000), 2147352576ull), 0u);
    // A geometry without sector size is halved but can't be cut to sectors.
    EXPECT_EQ(ChunkSizeFor(ts::MakeGeometry(1, 1, 0, 0), 0ull), 0u);
}

TEST(ProgressScale, TwoBytesPerUnitBelowFourGiBAndInsideTheControlAbove)
{
    EXPECT_EQ(ProgressShiftFor(1474560), 1u);
    EXPECT_EQ(ProgressShiftFor(2147483648ll), 1u);
    EXPECT_EQ(ProgressShiftFor(4294967295ll), 1u);
    EXPECT_EQ(ProgressShiftFor(0), 1u);
    for (int64_t total : {4294967296ll, 80026361856ll, 1ll << 50, INT64_MAX}) {
        const uint32_t shift = ProgressShiftFor(total);
        EXPECT_LE(total >> shift, static_cast<int64_t>(INT32_MAX)) << total;
        EXPECT_GT(total >> (shift - 1), static_cast<int64_t>(INT32_MAX)) << total; // the finest that fits
    }
}

class ChunkOnDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(app_.Open());
        state_ = app_.state;
        dialog_ = app_.dialog;
    }
    void TearDown() override { app_.Close(); }
    void Select(const DISK_GEOMETRY_EX& geometry)
    {
        DriveRecord drive;
        drive.DeviceID = L"\\\\.\\PHYSICALDRIVE0";
        drive.DiskGeometry = geometry;
        state_->DriveList = {drive};
        state_->DriveCount = 1;
        state_->SelectedIndex = 0;
    }
    ts::ProgressState Bar() const { return ts::ReadProgress(GetDlgItem(dialog_, IDC_PROGRESS)); }

    ts::AppOnDialog app_;
    AppState* state_ = nullptr;
    HWND dialog_ = nullptr;
};

TEST_F(ChunkOnDialog, FloppySetsChunkTotalAndTheRealProgressBar)
{
    SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
    SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETPOS, 50, 0);
    Select(ts::MakeGeometry(2, 18, 512, 1474560));
    ASSERT_TRUE(ComputeChunkSize(*state_));
    EXPECT_EQ(state_->ChunkSize, 18432u);
    EXPECT_EQ(state_->TotalBytes, 1474560);
    EXPECT_EQ(state_->MemoryStatus.dwLength, sizeof(MEMORYSTATUSEX));
    EXPECT_GT(state_->MemoryStatus.ullAvailVirtual, 0u);
    const ts::ProgressState bar = Bar();
    EXPECT_EQ(bar.low, 0);
    EXPECT_EQ(bar.high, 737280);
    EXPECT_EQ(bar.position, 0);
}

TEST_F(ChunkOnDialog, TwoGiBAndLargeDrivesKeepTheBarInRange)
{
    Select(ts::MakeGeometry(255, 63, 512, 2147483648ll));
    ASSERT_TRUE(ComputeChunkSize(*state_));
    EXPECT_EQ(Bar().high, 1073741824);
    // Whatever this process's address space, the chunk never exceeds a cylinder.
    EXPECT_LE(state_->ChunkSize, 8225280u);
    EXPECT_EQ(state_->ChunkSize % 512u, 0u);

    Select(ts::MakeGeometry(255, 63, 512, 80026361856ll));
    ASSERT_TRUE(ComputeChunkSize(*state_));
    const ts::ProgressState bar = Bar();
    EXPECT_GT(bar.high, 0);
    EXPECT_EQ(bar.high, ProgressPosition(*state_, state_->TotalBytes));
    // The last position of a complete transfer is the high limit.
    SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETPOS, ProgressPosition(*state_, state_->TotalBytes), 0);
    EXPECT_EQ(Bar().position, bar.high);
}

TEST(VerifyChunk, WholeSectorsOfBothSidesAndAtLeastOneOfThem)
{
    // A floppy's cylinder on a volume of 4 KiB sectors: unbuffered file reads need whole 4 KiB.
    EXPECT_EQ(VerifyChunkSize(18432, 512, 4096), 16384u);
    EXPECT_EQ(VerifyChunkSize(18432, 512, 512), 18432u);
    EXPECT_EQ(VerifyChunkSize(8225280, 512, 4096), 8224768u);
    EXPECT_EQ(VerifyChunkSize(8225280, 4096, 512), 8224768u);
    // Smaller than one sector of the larger side, or sizes that are no powers of two.
    EXPECT_EQ(VerifyChunkSize(3072, 512, 4096), 4096u);
    EXPECT_EQ(VerifyChunkSize(10000, 520, 4096), 266240u);
    EXPECT_EQ(VerifyChunkSize(18432, 0, 512), 0u);
}
