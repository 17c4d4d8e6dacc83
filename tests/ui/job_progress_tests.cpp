// A job on the real main window: the figures in its status bar, read back
// while the job runs, and the taskbar button, seen through a stand-in for the
// taskbar's interface. Takes the README's screenshots on the way.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "drives/drive_list.h"
#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "resource.h"
#include "tests/e2e/korvane_process.h"
#include "tests/support/win_test_support.h"
#include "tests/ui/ui_test_env.h"
#include "ui/taskbar_button.h"

namespace {

// Takes the place of the taskbar's class for CoCreateInstance while it lives; records every call.
class TaskbarDouble : public ITaskbarProgressList, public IClassFactory {
  public:
    LONG refs = 0;
    int creates = 0;
    int inits = 0;
    std::vector<int> states;       // SetProgressState's flags, in order
    std::vector<ULONGLONG> values; // SetProgressValue's thousandths
    HWND window = nullptr;

    TaskbarDouble()
    {
        registered_ = CoRegisterClassObject(CLSID_TaskbarButtonList, static_cast<IClassFactory*>(this),
                                            CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    }
    ~TaskbarDouble()
    {
        if (SUCCEEDED(registered_))
            CoRevokeClassObject(cookie_);
    }
    HRESULT registered() const { return registered_; }
    int State() const { return states.empty() ? -1 : states.back(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_TaskbarProgressList)
            *out = static_cast<ITaskbarProgressList*>(this);
        else if (iid == IID_IClassFactory)
            *out = static_cast<IClassFactory*>(this);
        else
            return E_NOINTERFACE;
        ++refs;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override
    {
        ++creates;
        return QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE HrInit() override
    {
        ++inits;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND hwnd, ULONGLONG completed, ULONGLONG total) override
    {
        EXPECT_EQ(total, 1000u);
        EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(MainWindow(), nullptr))
            << "the taskbar is called from the job thread";
        window = hwnd;
        values.push_back(completed);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND hwnd, int flags) override
    {
        EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(MainWindow(), nullptr))
            << "the taskbar is called from the job thread";
        window = hwnd;
        states.push_back(flags);
        return S_OK;
    }

  private:
    HRESULT registered_ = E_FAIL;
    DWORD cookie_ = 0;
};

const wchar_t kStep[] = L"Creating image from physical drive";
const DWORD kChunk = 64 * 32 * 512; // one cylinder of 1 MiB
const int kChunks = 96;

// Every PBM_SETPOS of the main window's bar runs `onChunk` on this thread, before the job goes on.
WNDPROC g_barProc = nullptr;
std::function<void(int)> g_onChunk;
LRESULT CALLBACK BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    const LRESULT result = CallWindowProcW(g_barProc, bar, message, wParam, lParam);
    if (message == PBM_SETPOS && g_onChunk)
        g_onChunk(static_cast<int>(wParam));
    return result;
}

struct StatusChange {
    size_t seenAt; // the first chunk that saw it, numbered from 0
    std::wstring text;
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// In the build folder, given in Unix form: Wine shows the Unix root as drive Z:.
std::wstring Screenshot(const wchar_t* name)
{
    std::wstring path = L"Z:";
    for (const char* c = SCREENSHOT_FOLDER; *c != '\0'; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path + L"\\" + name;
}

// Wine may leave the status bar off the screen although it has nothing left
// to paint: paint the window anew and let it reach the screen.
void PaintNow()
{
    RedrawWindow(MainWindow(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    InvalidateRect(Control(IDC_STATUS), nullptr, TRUE);
    UpdateWindow(Control(IDC_STATUS));
    ts::PumpUntil([] { return false; }, 100);
}

class JobProgress : public testing::Test {
  protected:
    void SetUp() override
    {
        // The drive: a file, shown as a physical drive through a link in Wine's device folder where that can be made.
        drive_ = ts::TempPath(L"progress-drive.bin");
        image_ = ts::TempPath(L"progress.hdd");
        DeleteFileW(image_.c_str());
        ASSERT_TRUE(ts::WriteWholeFile(drive_, ts::Pattern(kChunk * kChunks, 70)));
        DriveRecord record;
        record.Index = 1;
        record.DeviceID = drive_;
        const std::string device = ts::LinuxPath(L"C:\\");
        const std::string linked =
            device.empty() ? std::string() : device.substr(0, device.size() - 3) + "physicaldrive1";
        if (!linked.empty() && ts::RunLinuxShell("ln -sfn '" + ts::LinuxPath(drive_) + "' '" + linked + "'", nullptr)) {
            link_ = linked;
            record.DeviceID = L"\\\\.\\PHYSICALDRIVE1";
        }
        record.Caption = L"USB Flash Disk";
        record.MediaDescription = L"Removable media other than floppy";
        record.InterfaceType = L"USB";
        record.DiskGeometry = ts::MakeGeometry(64, 32, 512, int64_t(kChunk) * kChunks);
        g_App->DriveList.assign(1, record);
        g_App->DriveCount = 1;
        SendMessageW(Control(IDC_DRIVE_COMBO), CB_RESETCONTENT, 0, 0);
        SendMessageW(Control(IDC_DRIVE_COMBO), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ComboTextFor(record).c_str()));
        ASSERT_TRUE(SelectDrive(*g_App, 0));
        SetDlgItemTextW(MainWindow(), IDC_FILE_NAME, image_.c_str());
        // The tests count chunks by the bar's positions: every one is told. They read the
        // status line's timing at the chunks: no flush of the image on the way makes one late.
        g_App->BarIntervalMs = 0;
        g_App->WriteBehindBytes = 0;
        g_barProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(Control(IDC_PROGRESS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BarProc)));
        SetForegroundWindow(MainWindow());
    }
    void TearDown() override
    {
        EXPECT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 60000));
        g_onChunk = nullptr;
        SetWindowLongPtrW(Control(IDC_PROGRESS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_barProc));
        g_App->BarIntervalMs = kBarIntervalMs;
        g_App->WriteBehindBytes = kWriteBehindBytes;
        if (!link_.empty())
            ts::RunLinuxShell("rm -f '" + link_ + "'", nullptr);
        g_App->DriveList.clear();
        g_App->SelectedIndex = -1;
        SendMessageW(Control(IDC_DRIVE_COMBO), CB_RESETCONTENT, 0, 0);
        SendMessageW(Control(IDC_DETAILS), LB_RESETCONTENT, 0, 0);
        SetDlgItemTextW(MainWindow(), IDC_FILE_NAME, L"");
        DeleteFileW(drive_.c_str());
        DeleteFileW(image_.c_str());
    }

    std::wstring drive_;
    std::wstring image_;
    std::string link_;
};

TEST_F(JobProgress, FiguresInTheStatusBarAndTheTaskbarButtonFollowTheJob)
{
    TaskbarDouble taskbar;
    ASSERT_HRESULT_SUCCEEDED(taskbar.registered());
    // The button is announced, and announced again when Explorer restarts: a fresh interface each time.
    const LONG base = taskbar.refs; // the registration's own
    const UINT created = RegisterWindowMessageW(L"TaskbarButtonCreated");
    SendMessageW(MainWindow(), created, 0, 0);
    SendMessageW(MainWindow(), created, 0, 0);
    EXPECT_EQ(taskbar.creates, 2);
    EXPECT_EQ(taskbar.inits, 2);
    EXPECT_EQ(taskbar.refs, base + 1) << "the first interface was not given back";
    EXPECT_TRUE(taskbar.states.empty()) << "an idle program shows no progress";

    // A slow job: each chunk waits a while, the window kept alive meanwhile.
    std::vector<StatusChange> changes;
    std::vector<DWORD> chunkTicks; // when each chunk's position reached the bar
    std::vector<int> statesAtChunk;
    bool jobShot = false;
    int chunk = 0;
    g_onChunk = [&](int position) {
        if (position == 0) // the bar's reset before the first chunk
            return;
        ++chunk;
        const std::wstring text = ts::StatusText(Control(IDC_STATUS));
        chunkTicks.push_back(GetTickCount());
        if (changes.empty() || changes.back().text != text)
            changes.push_back({chunkTicks.size() - 1, text});
        statesAtChunk.push_back(taskbar.State());
        if (chunk == 30)
            RequestCancel();
        if (!jobShot && chunk >= 60 && text.find(L" left") != std::wstring::npos) {
            PaintNow();
            jobShot = SaveScreenshot(MainWindow(), Screenshot(L"korvane-job.png"));
        }
        ts::PumpUntil([] { return false; }, 60);
    };
    ts::BoxWatcher watcher;
    watcher.SetDefaultAnswer(0);
    const DWORD start = GetTickCount();
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    EXPECT_EQ(taskbar.State(), kTaskbarNormal);

    // The cancel question pauses the button; declined, the job runs on.
    // The worker's boxes and status texts need this thread to answer: pump while waiting.
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 1; }, 30000));
    const ts::ObservedBox question = watcher.Boxes()[0];
    EXPECT_EQ(question.text, L"Cancel read image?");
    EXPECT_TRUE(ts::PumpUntil([&] { return taskbar.State() == kTaskbarPaused; }));
    ts::BoxWatcher::Press(question.window, IDNO);
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 2; }, 60000));
    ts::ObservedBox outcome = watcher.Boxes()[1];
    // The outcome carries the image's SHA-256.
    EXPECT_TRUE(StartsWith(outcome.text, L"The disk image was successfully created!\n\nSHA-256: "))
        << ts::Narrow(outcome.text);
    ts::PumpPending();
    EXPECT_EQ(taskbar.State(), kTaskbarNormal);
    EXPECT_EQ(taskbar.values.back(), 1000u);
    PaintNow();
    EXPECT_TRUE(SaveScreenshot(MainWindow(), outcome.window, Screenshot(L"korvane-outcome.png")));
    ts::BoxWatcher::Press(outcome.window, IDOK);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 10000));
    EXPECT_EQ(taskbar.State(), kTaskbarNoProgress);
    EXPECT_TRUE(jobShot) << "no screenshot of the running job";

    // The status: the step's own text for three seconds, then with its figures, rewritten at most once a second.
    ASSERT_GE(changes.size(), 3u);
    EXPECT_EQ(changes[0].text, kStep);
    EXPECT_GE(chunkTicks[changes[1].seenAt] - start, 2900u);
    int withFigures = 0;
    for (size_t i = 1; i < changes.size(); ++i) {
        const std::wstring& text = changes[i].text;
        if (!StartsWith(text, std::wstring(kStep) + L" \u00B7 "))
            continue;
        ++withFigures;
        // "· 37 % · 16.2 MB/s · 2 s left"
        const size_t percent = text.find(L" % \u00B7 ");
        const size_t speed = text.find(L" MB/s");
        EXPECT_TRUE(percent != std::wstring::npos && speed > percent) << ts::Narrow(text);
        // The job takes its clock before it moves the bar, then rewrites the status, and the
        // next chunk is seen: a text first seen at chunk n was timed after chunk n - 2 was
        // seen and before chunk n - 1 was. The longest gap those allow must reach a second.
        const size_t seen = changes[i].seenAt, seenBefore = changes[i - 1].seenAt;
        const DWORD latest = chunkTicks[seen - 1];
        const DWORD earliestBefore = seenBefore >= 2 ? chunkTicks[seenBefore - 2] : start;
        EXPECT_GE(latest - earliestBefore, 1000u) << "rewritten within a second";
    }
    EXPECT_GE(withFigures, 2);
    EXPECT_EQ(ts::StatusText(Control(IDC_STATUS)), L"Bytes read: 100 663 296 ");
    std::vector<unsigned char> copy, original;
    ASSERT_TRUE(ts::ReadWholeFile(image_, &copy) && ts::ReadWholeFile(drive_, &original));
    EXPECT_TRUE(copy == original);

    // A cancelled job failed: the button turns red until its outcome box is closed.
    chunk = 0;
    g_onChunk = [&](int) {
        if (++chunk == 10)
            RequestCancel();
    };
    watcher.Clear();
    watcher.Answer(IDYES); // replace the image
    watcher.Answer(IDYES); // cancel
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([&] { return watcher.Boxes().size() >= 3; }, 30000));
    outcome = watcher.Boxes()[2];
    EXPECT_EQ(outcome.text, L"The disk image wasn't created!");
    EXPECT_TRUE(ts::PumpUntil([&] { return taskbar.State() == kTaskbarError; }));
    ts::PumpUntil([] { return false; }, 200);
    EXPECT_EQ(taskbar.State(), kTaskbarError) << "the red state ended before the box was closed";
    ts::BoxWatcher::Press(outcome.window, IDOK);
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 10000));

    const std::vector<int> expected = {kTaskbarNormal,     kTaskbarPaused, kTaskbarNormal,
                                       kTaskbarNoProgress, kTaskbarNormal, kTaskbarPaused,
                                       kTaskbarNormal,     kTaskbarError,  kTaskbarNoProgress};
    EXPECT_EQ(taskbar.states, expected);
    EXPECT_EQ(taskbar.window, MainWindow());
    ReleaseTaskbarButton();
    EXPECT_EQ(taskbar.refs, base);
}

// While a job runs the machine stays awake and a log-off is refused; Esc asks to
// cancel, and No lets the job end and the program stay.
TEST_F(JobProgress, AJobHoldsTheMachineAndEscAnsweredNoKeepsTheProgram)
{
    const EXECUTION_STATE kHeld = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
    EXECUTION_STATE during = 0;
    LRESULT endDuring = TRUE;
    int chunk = 0;
    g_onChunk = [&](int position) {
        if (position == 0 || ++chunk != 5)
            return;
        // Without ES_CONTINUOUS the call answers the held state and keeps it.
        during = SetThreadExecutionState(ES_SYSTEM_REQUIRED);
        endDuring = SendMessageW(MainWindow(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        SendMessageW(MainWindow(), WM_COMMAND, IDCANCEL, 0); // Esc
    };
    ts::BoxWatcher watcher;
    watcher.Answer(IDNO);
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 60000));
    ts::PumpUntil([] { return false; }, 200);
    ASSERT_EQ(watcher.Boxes().size(), 2u);
    EXPECT_EQ(watcher.Boxes()[0].text, L"Cancel read image?");
    EXPECT_TRUE(StartsWith(watcher.Boxes()[1].text, L"The disk image was successfully created!\n\nSHA-256: "));
    EXPECT_TRUE(IsWindowVisible(MainWindow())) << "the program quit";
    EXPECT_EQ(during & kHeld, kHeld);
    EXPECT_EQ(endDuring, FALSE);
    EXPECT_NE(SetThreadExecutionState(ES_SYSTEM_REQUIRED) & kHeld, kHeld) << "still held after the job";
    EXPECT_NE(SendMessageW(MainWindow(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
}

TEST_F(JobProgress, WithoutTheTaskbarsInterfaceNothingFails)
{
    // Wine's own taskbar class, or none: the button shows nothing and the job is unaffected.
    SendMessageW(MainWindow(), RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
    ts::BoxWatcher watcher;
    ASSERT_TRUE(StartImageJob(JobKind::Create));
    ASSERT_TRUE(ts::PumpUntil([] { return !IsJobRunning(); }, 60000));
    EXPECT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_TRUE(StartsWith(watcher.Boxes()[0].text, L"The disk image was successfully created!\n\nSHA-256: "));
    ReleaseTaskbarButton();
}

} // namespace
