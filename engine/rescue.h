// A create that reads around the unreadable parts of a failing drive: four
// passes (copy, split, scrape, retry) over a map of areas that is kept beside the image.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct AppState;
struct RescueMap;

// "<image>.map": where the map of an image's rescue is kept.
std::wstring RescueMapPath(const wchar_t* imageName);
// Reads the map beside `imageName` (`imageSize` bytes long); true when it tells an unfinished
// rescue of a drive of `size` bytes whose areas are whole sectors of `sector` bytes. What it
// calls read past the image's end counts as not tried.
bool ReadUnfinishedRescue(const wchar_t* imageName, int64_t size, int64_t imageSize, DWORD sector, RescueMap* map);
// A map beside an image that is made anew tells of bytes it no longer holds: it goes.
void ForgetRescueMap(const wchar_t* imageName);
// Clears what the last job's rescue left in the record; at each job's start.
void ResetRescue(AppState& app);

// After the read of the chunk at app.BytesDone failed in a create: asks once whether
// to read around the unreadable parts, and on Yes rescues the rest of the drive
// (that chunk and everything after it) with the transfer's buffer of `chunk` bytes.
// False on No, with nothing done; otherwise true with `*rescued` telling whether
// every pass ran to its end.
bool RescueAfterReadError(AppState& app, uint32_t chunk, bool* rescued);
// The same read error in a create of a compressed image, which is written once from its
// start and can't hold zeros put in later: tells in the error box that no rescue is offered.
void TellNoRescue(AppState& app);
// Continues an unfinished rescue: reads only what `map` has not read yet.
// True when every pass ran to its end; false when cancelled or after an error box.
bool ContinueRescue(AppState& app, RescueMap& map, uint32_t chunk);

// Cancel pressed while the passes run (see AppState::CancelAtPress): asks the rescue's
// cancel question on the calling thread, at once; Yes stops the passes after the read in
// flight. The caller has set CancelQuestionOpen.
void AskCancelAtPress(AppState& app);
// Tells on the status line when a read of the rescue keeps the drive busy: a timer of
// the window's thread, `on` when a job starts and off when it has ended.
void WatchReadWait(AppState& app, bool on);

// "Bytes read: N, unreadable: M" after a rescue.
std::wstring RescueStatusText(const AppState& app);
// The outcome box's text after a rescue of the image `imageName`.
std::wstring RescueOutcomeText(const AppState& app, const wchar_t* imageName);
