// A real main-dialog window with one drive in the list; jobs run as the
// program runs them, on their own thread, their boxes answered as a person would.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/app_state.h"
#include "engine/image_jobs.h"
#include "tests/support/win_test_support.h"

using Bytes = std::vector<unsigned char>;

using ts::MakeGeometry;
// `size` bytes from the start of a file or device (devices report no size).
Bytes ReadBytes(const std::wstring& path, size_t size);
Bytes Contents(const std::wstring& path);
int64_t FileSize(const std::wstring& path);

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void SelectDrive(const std::wstring& path, const DISK_GEOMETRY_EX& geometry);
    // A file-backed drive holding a pattern, listed and selected.
    Bytes MakeDrive(const DISK_GEOMETRY_EX& geometry, unsigned seed, int64_t fileSize = -1);
    void SetFileName(const std::wstring& name);
    // The real StartImageJob, pumped until the job has ended.
    void RunJob(JobKind kind);
    // A path in the temporary folder, removed now and after the test (with its checksum file).
    std::wstring Scratch(const std::wstring& name);
    // Writes an image file as another program would: the checksum file of what a
    // create left there goes, since it no longer describes the file.
    static bool WriteImage(const std::wstring& path, const Bytes& data);

    HWND Control(int id) const { return GetDlgItem(dialog_, id); }
    std::wstring Status() const;
    // Idle: Cancel disabled, the eight others enabled; a job: the other way round.
    void ExpectControls(bool idle) const;
    // The boxes seen, as "caption|text|icon|buttons" lines, the error note left out, and
    // the "SHA-256: <hex>" line of a create's outcome too: its digest goes to digests_.
    std::vector<std::string> Seen(ts::BoxWatcher& watcher);
    // Temporary image and checksum files a create left in the temporary folder (this process's).
    std::vector<std::wstring> Leftovers() const;

    // Runs `fault` once, when the bar first reaches its end: right after the
    // transfer's last chunk, while the job still holds the handles it wrote through.
    void AfterTransfer(std::function<void()> fault);
    // Writes through a handle of the running job behind its back, leaving its position as it was.
    static void WriteThrough(HANDLE file, int64_t offset, const Bytes& data);

    // Every PBM_SETPOS the bar gets; `onPosition_` runs inside that send, before the worker goes on.
    std::vector<int> positions_;
    std::vector<std::string> digests_;
    std::function<void(int)> onPosition_;
    AppState* state_ = nullptr;
    HWND dialog_ = nullptr;
    std::wstring drive_;

  private:
    static LRESULT CALLBACK BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam);
    WNDPROC barProc_ = nullptr;
    std::vector<std::wstring> scratch_;
};
