// A real main-dialog window, one drive in the list and the jobs run as the
// program runs them: on their own thread, with boxes answered as a person would.
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

DISK_GEOMETRY_EX MakeGeometry(DWORD heads, DWORD sectors, DWORD bytesPerSector, int64_t diskSize);

// Reads `size` bytes from the start of a file or device (devices report no size).
bool ReadBytes(const std::wstring& path, size_t size, std::vector<unsigned char>* data);
int64_t FileSize(const std::wstring& path);

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Lists one drive at `path` with this geometry and selects it.
    void SelectDrive(const std::wstring& path, const DISK_GEOMETRY_EX& geometry);
    void SetFileName(const std::wstring& name);
    // Starts a job with the real StartImageJob and pumps until it has ended.
    void RunJob(JobKind kind);

    HWND Control(int id) const { return GetDlgItem(dialog_, id); }
    std::wstring Status() const;
    // Cancel disabled, the eight others enabled.
    void ExpectIdle() const;
    void ExpectJobControls() const;

    // Every PBM_SETPOS the bar receives; `onPosition` runs inside the send,
    // on this thread, before the worker goes on.
    std::vector<int> positions_;
    std::function<void(int)> onPosition_;

    AppState* state_ = nullptr;
    HWND dialog_ = nullptr;
    WNDPROC barProc_ = nullptr;
    std::vector<std::wstring> scratch_;

    std::wstring Scratch(const std::wstring& name);

private:
    static LRESULT CALLBACK BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam);
};

void ExpectBox(const ts::ObservedBox& box, const std::wstring& caption, const std::wstring& text, ts::BoxIcon icon,
               std::vector<int> buttons);
// The "Korvane:" box of a job.
void ExpectJobBox(const ts::ObservedBox& box, const std::wstring& text, ts::BoxIcon icon);
// The "Error!" box with its requirements note.
void ExpectErrorBox(const ts::ObservedBox& box, const std::wstring& text);
