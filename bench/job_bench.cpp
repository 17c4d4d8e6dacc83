// Times a whole job as the dialog starts it: StartImageJob on a file-backed drive, from
// the press to the outcome box, the window on the screen as the operator has it, with
// every step the job takes (the drive's checks, the checksum lookup, the fit, the copy
// and its hash, the verify, the temporary file's move, the checksum file). Where the
// time goes is recorded at the program's own calls: each file it opens, its first and
// last read and write, every flush and move, and per thread the time spent in reads,
// writes, waits and messages sent to the window's controls (the sender waits for the
// window's thread), and its CPU time.
//   korvane_job_bench create|restore DRIVE IMAGE SIZE VERIFY(0|1) CHECKSUM(0|1)
// With KORVANE_BENCH_DRIVE_MBPS=<n> the drive answers as a disk opened without buffering
// does on Windows: each read or write of it ends when a medium of n MB/s that reads
// nothing ahead would have moved its bytes, one request after the other; its flush finds
// nothing left to write. With KORVANE_BENCH_DRIVE_WRITE_THROUGH=1 the drive keeps the file's
// own speed, but each write of it returns only once the file's disk has it, as a write to a
// disk opened without buffering returns once the disk has taken it; its flush then finds
// nothing left either.
// Each step the job announces in its status bar is noted too, and the copy's steady rate is
// taken from its writes of whole chunks: from the end of the first to the end of the last.
// Prints: seconds=<press to outcome box> cpu=<process CPU seconds> bytes=<SIZE> ok=<0|1>
// steady=<MB/s of the copy's writes after its first> verify=<seconds of the verify step, 0 without>,
// then "at <seconds> <event>" lines and one "thread" line per thread that did I/O or waited.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "resource.h"
#include "tests/support/import_patch.h"
#include "tests/support/win_test_support.h"

namespace {

struct ThreadFigures {
    int order = 0; // 1 for the first thread seen after the press
    double cpu = 0, reading = 0, writing = 0, waiting = 0, sending = 0;
    long long reads = 0, writes = 0, sends = 0;
    double lastRead = -1, betweenReads = 0; // from the end of one read to the start of the next
};

CRITICAL_SECTION Guard;
LARGE_INTEGER Frequency, Start;
std::vector<std::string> Events;
std::map<DWORD, ThreadFigures> Threads;
double OutcomeAt = -1;
std::wstring OutcomeText;
bool FirstRead = true, FirstWrite = true;
double LastRead = 0, LastWrite = 0;
// The copy's writes of at least kWholeChunk bytes: the end of the first and of the last,
// and the bytes after the first.
const DWORD kWholeChunk = 1 << 20;
double ChunkWritesFrom = -1, ChunkWritesTo = 0;
double ChunkBytesAfterFirst = 0;
double VerifyFrom = -1, VerifyTo = -1; // the verify step: from its text to the next step's
WNDPROC StatusProc = nullptr;
std::wstring DrivePath;
std::set<HANDLE> DriveHandles;
double DriveBytesPerSecond = 0; // 0: the drive file as fast as it is
double DriveFreeAt = 0;         // when the modelled drive ends the request it has
bool DriveWriteThrough = false; // each write of the drive file flushed before it returns

double Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - Start.QuadPart) / static_cast<double>(Frequency.QuadPart);
}

// The calling thread's processor time, read again only after 20 ms, so a thread's figure may
// leave out its last 20 ms: under Wine each reading opens a file of /proc, and read at every
// call the job it timed ran a tenth slower. (Wine reads no times of a thread that has
// ended, so they can't wait for the end.)
double ThreadCpu()
{
    static thread_local double readAt = -1, cpu = 0;
    FILETIME created, exited, kernel, user;
    const double now = Now();
    if (readAt >= 0 && now - readAt < 0.02)
        return cpu;
    readAt = now;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return cpu;
    const auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return cpu = seconds(kernel) + seconds(user);
}

// The figures of the calling thread, its CPU time as last read; called with Guard held.
ThreadFigures& Figures()
{
    ThreadFigures& figures = Threads[GetCurrentThreadId()];
    if (figures.order == 0)
        figures.order = static_cast<int>(Threads.size());
    figures.cpu = ThreadCpu();
    return figures;
}

// Holds a call on the drive until the modelled medium has moved its bytes; outside Guard.
void PaceDrive(HANDLE file, double at, DWORD bytes)
{
    EnterCriticalSection(&Guard);
    const bool drive = DriveBytesPerSecond > 0 && DriveHandles.count(file) != 0;
    const double end = drive ? std::max(at, DriveFreeAt) + bytes / DriveBytesPerSecond : 0;
    if (drive)
        DriveFreeAt = end;
    LeaveCriticalSection(&Guard);
    for (double left = end - Now(); left > 0.0005; left = end - Now())
        Sleep(static_cast<DWORD>(left * 1000));
}

void Note(const std::string& what, double at)
{
    char line[256];
    std::snprintf(line, sizeof(line), "at %8.3f %s", at, what.c_str());
    Events.push_back(line);
    if (GetEnvironmentVariableA("KORVANE_BENCH_TRACE", nullptr, 0) != 0) {
        std::fprintf(stderr, "%s\n", line);
        std::fflush(stderr);
    }
}

std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text)
        narrow += *text < 128 ? static_cast<char>(*text) : '?';
    return narrow;
}

std::string BaseName(const wchar_t* path)
{
    const wchar_t* slash = path != nullptr ? std::wcsrchr(path, L'\\') : nullptr;
    return Narrow(slash != nullptr ? slash + 1 : path);
}

ts::ImportPatch* CreatePatch = nullptr;
ts::ImportPatch* ReadPatch = nullptr;
ts::ImportPatch* WritePatch = nullptr;
ts::ImportPatch* FlushPatch = nullptr;
ts::ImportPatch* MovePatch = nullptr;
ts::ImportPatch* WaitPatch = nullptr;
ts::ImportPatch* WaitManyPatch = nullptr;
ts::ImportPatch* BoxPatch = nullptr;
ts::ImportPatch* AttributesPatch = nullptr;
ts::ImportPatch* SendPatch = nullptr;

DWORD WINAPI TracedAttributes(LPCWSTR name)
{
    const DWORD attributes = reinterpret_cast<decltype(&GetFileAttributesW)>(AttributesPatch->Original())(name);
    char what[64];
    std::snprintf(what, sizeof(what), " attributes %lx", static_cast<unsigned long>(attributes));
    EnterCriticalSection(&Guard);
    Note("looks at " + BaseName(name) + what, Now());
    LeaveCriticalSection(&Guard);
    return attributes;
}

HANDLE WINAPI TimedCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model)
{
    const double at = Now();
    const HANDLE handle = reinterpret_cast<decltype(&CreateFileW)>(CreatePatch->Original())(
        name, access, share, security, disposition, flags, model);
    EnterCriticalSection(&Guard);
    // A handle value comes back after its close: only the last open says what it is.
    if (handle != INVALID_HANDLE_VALUE && DrivePath == name)
        DriveHandles.insert(handle);
    else
        DriveHandles.erase(handle);
    Note("thread " + std::to_string(Figures().order) + " opens " + BaseName(name), at);
    LeaveCriticalSection(&Guard);
    return handle;
}

bool IsDrive(HANDLE file)
{
    EnterCriticalSection(&Guard);
    const bool drive = DriveHandles.count(file) != 0;
    LeaveCriticalSection(&Guard);
    return drive;
}

// After a read or write that began `at`: paces it when it was the drive's, and counts it.
void CountIo(HANDLE file, DWORD size, double at, bool write)
{
    PaceDrive(file, at, size);
    const double end = Now();
    EnterCriticalSection(&Guard);
    ThreadFigures& figures = Figures();
    (write ? figures.writing : figures.reading) += end - at;
    if (!write) {
        if (figures.lastRead >= 0)
            figures.betweenReads += at - figures.lastRead;
        figures.lastRead = end;
    }
    ++(write ? figures.writes : figures.reads);
    bool& first = write ? FirstWrite : FirstRead;
    if (first)
        Note(write ? "first write" : "first read", at);
    first = false;
    (write ? LastWrite : LastRead) = end;
    if (write && size >= kWholeChunk) {
        if (ChunkWritesFrom < 0)
            ChunkWritesFrom = end;
        else
            ChunkBytesAfterFirst += size;
        ChunkWritesTo = end;
    }
    LeaveCriticalSection(&Guard);
}

BOOL WINAPI TimedReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    const double at = Now();
    const BOOL ok = reinterpret_cast<decltype(&ReadFile)>(ReadPatch->Original())(file, buffer, size, done, overlapped);
    CountIo(file, size, at, false);
    return ok;
}

BOOL WINAPI TimedWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    const double at = Now();
    BOOL ok = reinterpret_cast<decltype(&WriteFile)>(WritePatch->Original())(file, buffer, size, done, overlapped);
    if (ok && DriveWriteThrough && IsDrive(file))
        ok = reinterpret_cast<decltype(&FlushFileBuffers)>(FlushPatch->Original())(file);
    CountIo(file, size, at, true);
    return ok;
}

BOOL WINAPI TimedFlush(HANDLE file)
{
    const double at = Now();
    const bool pacedDrive = (DriveBytesPerSecond > 0 || DriveWriteThrough) && IsDrive(file);
    // A paced drive took each write at its pace, and a drive written through has each write
    // already: like a disk opened without buffering, it holds nothing for a flush to write.
    // (The bench syncs a paced drive's file before the next run.)
    const BOOL ok = pacedDrive || reinterpret_cast<decltype(&FlushFileBuffers)>(FlushPatch->Original())(file);
    const double took = Now() - at;
    char what[64];
    const char* flushed = !pacedDrive         ? "flush"
                          : DriveWriteThrough ? "flush of the drive written through"
                                              : "flush of the paced drive";
    std::snprintf(what, sizeof(what), "%s, %.3f s", flushed, took);
    EnterCriticalSection(&Guard);
    Note(what, at);
    LeaveCriticalSection(&Guard);
    return ok;
}

BOOL WINAPI TimedMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    const double at = Now();
    const BOOL ok = reinterpret_cast<decltype(&MoveFileExW)>(MovePatch->Original())(from, to, flags);
    char took[32];
    std::snprintf(took, sizeof(took), ", %.3f s", Now() - at);
    EnterCriticalSection(&Guard);
    Note("move " + BaseName(from) + " to " + BaseName(to) + took, at);
    LeaveCriticalSection(&Guard);
    return ok;
}

// After a wait that began `at`: counts it for the calling thread.
void CountWait(double at)
{
    const double end = Now();
    EnterCriticalSection(&Guard);
    Figures().waiting += end - at;
    LeaveCriticalSection(&Guard);
}

DWORD WINAPI TimedWait(HANDLE object, DWORD ms)
{
    const double at = Now();
    const DWORD result = reinterpret_cast<decltype(&WaitForSingleObject)>(WaitPatch->Original())(object, ms);
    CountWait(at);
    return result;
}

DWORD WINAPI TimedWaitMany(DWORD count, const HANDLE* objects, BOOL all, DWORD ms)
{
    const double at = Now();
    const DWORD result =
        reinterpret_cast<decltype(&WaitForMultipleObjects)>(WaitManyPatch->Original())(count, objects, all, ms);
    CountWait(at);
    return result;
}

// A message sent to a control of the window (the bar, the status line): the sender waits
// until the window's thread has handled it.
LRESULT WINAPI TimedSend(HWND dialog, int control, UINT message, WPARAM wParam, LPARAM lParam)
{
    const double at = Now();
    const LRESULT result = reinterpret_cast<decltype(&SendDlgItemMessageW)>(SendPatch->Original())(
        dialog, control, message, wParam, lParam);
    const double end = Now();
    EnterCriticalSection(&Guard);
    ThreadFigures& figures = Figures();
    figures.sending += end - at;
    ++figures.sends;
    LeaveCriticalSection(&Guard);
    return result;
}

// A status text without figures (no " %") begins a step.
LRESULT CALLBACK NoteSteps(HWND status, UINT message, WPARAM wParam, LPARAM lParam)
{
    const wchar_t* text = reinterpret_cast<const wchar_t*>(lParam);
    if (message == SB_SETTEXTW && text != nullptr && std::wcsstr(text, L" %") == nullptr) {
        const double at = Now();
        EnterCriticalSection(&Guard);
        Note("step: " + Narrow(text), at);
        if (VerifyFrom >= 0 && VerifyTo < 0)
            VerifyTo = at;
        if (std::wcsncmp(text, L"Verifying", 9) == 0)
            VerifyFrom = at;
        LeaveCriticalSection(&Guard);
    }
    return CallWindowProcW(StatusProc, status, message, wParam, lParam);
}

// No box is shown: the first outcome box ends the timing; a question is answered Yes.
int WINAPI AnswerBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type)
{
    const double at = Now();
    EnterCriticalSection(&Guard);
    Note("box \"" + Narrow(caption) + "\": " + Narrow(text).substr(0, 60), at);
    if ((type & 0xF) == MB_OK && OutcomeAt < 0) {
        OutcomeAt = at;
        OutcomeText = text != nullptr ? text : L"";
    }
    LeaveCriticalSection(&Guard);
    return (type & 0xF) == MB_OK ? IDOK : IDYES;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool create = argc == 7 && wcscmp(argv[1], L"create") == 0;
    if (argc != 7 || (!create && wcscmp(argv[1], L"restore") != 0)) {
        std::fprintf(stderr, "usage: korvane_job_bench create|restore DRIVE IMAGE SIZE VERIFY(0|1) CHECKSUM(0|1)\n");
        return 2;
    }
    InitializeCriticalSection(&Guard);
    QueryPerformanceFrequency(&Frequency);
    DrivePath = argv[2];
    wchar_t rate[32] = {};
    if (GetEnvironmentVariableW(L"KORVANE_BENCH_DRIVE_MBPS", rate, 32) != 0)
        DriveBytesPerSecond = _wtof(rate) * 1e6;
    DriveWriteThrough = GetEnvironmentVariableW(L"KORVANE_BENCH_DRIVE_WRITE_THROUGH", rate, 32) != 0 && rate[0] == L'1';
    OpenBench(argv[2], argv[3], _wtoi64(argv[4]), true);
    SetDlgItemTextW(g_App->MainWindow, IDC_FILE_NAME, argv[3]);
    g_App->VerifyAfterWriting = _wtoi(argv[5]) != 0;
    g_App->ChecksumWithImage = _wtoi(argv[6]) != 0;
    StatusProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        GetDlgItem(g_App->MainWindow, IDC_STATUS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NoteSteps)));
    CreatePatch = new ts::ImportPatch("CreateFileW", reinterpret_cast<void*>(&TimedCreateFile));
    ReadPatch = new ts::ImportPatch("ReadFile", reinterpret_cast<void*>(&TimedReadFile));
    WritePatch = new ts::ImportPatch("WriteFile", reinterpret_cast<void*>(&TimedWriteFile));
    FlushPatch = new ts::ImportPatch("FlushFileBuffers", reinterpret_cast<void*>(&TimedFlush));
    MovePatch = new ts::ImportPatch("MoveFileExW", reinterpret_cast<void*>(&TimedMove));
    WaitPatch = new ts::ImportPatch("WaitForSingleObject", reinterpret_cast<void*>(&TimedWait));
    WaitManyPatch = new ts::ImportPatch("WaitForMultipleObjects", reinterpret_cast<void*>(&TimedWaitMany));
    AttributesPatch = new ts::ImportPatch("GetFileAttributesW", reinterpret_cast<void*>(&TracedAttributes));
    BoxPatch = new ts::ImportPatch("MessageBoxW", reinterpret_cast<void*>(&AnswerBox), "user32.dll");
    SendPatch = new ts::ImportPatch("SendDlgItemMessageW", reinterpret_cast<void*>(&TimedSend), "user32.dll");

    QueryPerformanceCounter(&Start);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    const double cpuStart = seconds(kernel) + seconds(user);
    bool ok = StartImageJob(create ? JobKind::Create : JobKind::Restore) &&
              ts::PumpUntil([] { return !IsJobRunning(); }, 3600 * 1000);
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const double cpu = seconds(kernel) + seconds(user) - cpuStart;
    const double ended = Now();
    for (ts::ImportPatch* patch : {SendPatch, AttributesPatch, BoxPatch, WaitManyPatch, WaitPatch, MovePatch,
                                   FlushPatch, WritePatch, ReadPatch, CreatePatch})
        delete patch;

    // Success is the box without a warning that names the image created or written.
    ok = ok && OutcomeAt >= 0 && OutcomeText.find(L"wasn't") == std::wstring::npos &&
         OutcomeText.find(L"but") == std::wstring::npos && OutcomeText.find(L"Error") == std::wstring::npos;
    const double steady =
        ChunkWritesTo > ChunkWritesFrom ? ChunkBytesAfterFirst / (ChunkWritesTo - ChunkWritesFrom) / 1e6 : 0;
    const double verify = VerifyFrom >= 0 && VerifyTo > VerifyFrom ? VerifyTo - VerifyFrom : 0;
    std::printf("seconds=%.3f cpu=%.3f bytes=%s ok=%d steady=%.0f verify=%.3f\n", OutcomeAt >= 0 ? OutcomeAt : ended,
                cpu, Narrow(argv[4]).c_str(), ok ? 1 : 0, steady, verify);
    std::printf("at %8.3f last read\nat %8.3f last write\n", LastRead, LastWrite);
    for (const std::string& line : Events)
        std::printf("%s\n", line.c_str());
    for (const auto& entry : Threads) {
        const ThreadFigures& t = entry.second;
        std::printf("thread %d: cpu %.3f s; %lld reads %.3f s (%.3f s between them), %lld writes %.3f s, "
                    "waits %.3f s, %lld messages sent %.3f s\n",
                    t.order, t.cpu, t.reads, t.reading, t.betweenReads, t.writes, t.writing, t.waiting, t.sends,
                    t.sending);
    }
    if (!ok)
        std::fprintf(stderr, "outcome: %s\n", Narrow(OutcomeText.c_str()).c_str());
    DestroyWindow(g_App->MainWindow);
    DestroyAppState(g_App);
    g_App = nullptr;
    return ok ? 0 : 1;
}
