#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "engine/app_state.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "resource.h"
#include "tests/support/win_test_support.h"

TEST(FormatByteCount, GroupsOfThreeEachFollowedByOneBlank)
{
    struct Case {
        uint64_t count;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 "},
        {7, L"7 "},
        {42, L"42 "},
        {999, L"999 "},
        {1000, L"1 000 "},
        {123456, L"123 456 "},
        {1474560, L"1 474 560 "},
        {1234567, L"1 234 567 "},
        {4294967296ull, L"4 294 967 296 "},
        {80026361856ull, L"80 026 361 856 "},
        {18446744073709551615ull, L"18 446 744 073 709 551 615 "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatByteCount(c.count), c.text) << c.count;
}

TEST(FormatByteCount, TopBitIsAPositiveCountNeverASign)
{
    // A signed size that went negative must still read as its unsigned bits.
    const int64_t negative = -1;
    EXPECT_EQ(FormatByteCount(static_cast<uint64_t>(negative)), L"18 446 744 073 709 551 615 ");
    EXPECT_EQ(FormatByteCount(0x8000000000000000ull), L"9 223 372 036 854 775 808 ");
}

static const wchar_t kNote[] =
    L"\n\n\nNOTE:This program requires:\n\nWindows XP\nAdministrator rights\nWindows Explorer\nRunning WMI\n";

class ReportOnWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(app_.Open(true));
        state_ = app_.state;
        dialog_ = app_.dialog;
    }
    void TearDown() override { app_.Close(); }
    HWND StatusBar() const { return GetDlgItem(dialog_, IDC_STATUS); }

    ts::AppOnDialog app_;
    AppState* state_ = nullptr;
    HWND dialog_ = nullptr;
};

TEST_F(ReportOnWindow, ErrorBoxShowsTheNoteWithCaptionIconAndOkOnly)
{
    ts::BoxWatcher watcher;
    watcher.Answer(IDOK);
    // Shown from the worker, as the transfer loops do; the dialog stays the owner.
    ASSERT_TRUE(ts::RunWhilePumping([&] { ShowErrorBox(*state_, L"Read disk error"); }));
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    const ts::ObservedBox box = watcher.Boxes()[0];
    EXPECT_EQ(box.caption, L"Error!");
    EXPECT_EQ(box.text, std::wstring(L"Read disk error") + kNote);
    EXPECT_EQ(box.icon, ts::BoxIcon::Error);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(box.defaultButton, IDOK);
    EXPECT_EQ(box.owner, dialog_);
}

TEST_F(ReportOnWindow, ErrorBoxWithEmptyTextStartsWithThreeLineFeeds)
{
    ts::BoxWatcher watcher;
    ShowErrorBox(*state_, L"");
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].text, kNote);
    EXPECT_EQ(ComposeErrorText(L""), kNote);
}

TEST_F(ReportOnWindow, StatusTextReachesPartZeroFromEitherThread)
{
    EXPECT_EQ(ts::StatusText(StatusBar()), L"Please select a physical drive!");
    SetStatusText(L"Physical drive selected");
    EXPECT_EQ(ts::StatusText(StatusBar()), L"Physical drive selected");

    // The worker's send completes only once the dialog's thread has handled it.
    ASSERT_TRUE(ts::RunWhilePumping([] { SetStatusText(L"Bytes read: 1 474 560 "); }));
    EXPECT_EQ(ts::StatusText(StatusBar()), L"Bytes read: 1 474 560 ");
    EXPECT_EQ(SendMessageW(StatusBar(), SB_GETPARTS, 0, 0), 1);
}

TEST(StatusText, IsLostWithoutAStatusBar)
{
    ts::AppOnDialog app;
    ASSERT_TRUE(app.Open());
    DestroyWindow(GetDlgItem(app.dialog, IDC_STATUS));
    SetStatusText(L"nobody reads this"); // must not fail or crash
    app.Close();
}

// Run only by the CTest entry `crashed_test_is_told`: a test that crashes must
// end its run at once, told with its address, not wait for someone to close a
// crash dialog.
TEST(PlantedCrash, DISABLED_NullWriteEndsTheRun)
{
    volatile uintptr_t address = 0;
    *reinterpret_cast<volatile int*>(address) = 1;
}
