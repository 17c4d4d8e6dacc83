// Where a create writes its image, and how the finished image takes the chosen
// name: under a temporary name in the same folder until it is complete (and
// verified), then moved over the chosen name with its checksum file beside it.
// A create that fails leaves the old image and its checksum file as they were.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "image/sha256.h"

struct AppState;

// True when no file has the chosen name, or the one that has it may be replaced:
// not read-only, no folder, and not held open by anyone who forbids deleting it.
bool ExistingImageReplaceable(const wchar_t* path);
// ExistingImageReplaceable for every file a create replaces or deletes beside the
// image: the image, its checksum file, their temporary and set-aside names and the
// rescue map. Asked before anything is read, so that the finish can't fail on them.
bool ImageSetReplaceable(const wchar_t* path);
// `path` (a full path) in its \\?\ form when it is MAX_PATH long or longer: Windows
// opens, moves and deletes longer paths only in that form.
std::wstring ExtendedPath(const std::wstring& path);
// Where the volume has no room for an image of `imageSize` bytes beside the existing
// one, asks whether to delete the old image first, and deletes it and its checksum
// file on Yes. False on No or when the delete fails.
bool MakeRoomForImage(AppState& app, const wchar_t* path, int64_t imageSize);
// Creates the temporary file beside `chosen` ("<chosen>.partial") and opens it
// exclusively for the copy: its path in app.ImagePath, its handle in app.ImageHandle.
bool CreateTemporaryImage(AppState& app, const wchar_t* chosen);
// Closes the image, writes its checksum file (when the job writes one) and moves both
// to the chosen name; moves and deletes refused for a moment are tried again for a few
// seconds. False after the error box, with the old image and its checksum file as they
// were; a complete image that can't take the name is kept under its temporary name,
// told in the box (app.ImagePath is cleared then). Once the image has its name, a
// checksum file that can't be put beside it is told and the result is still true.
bool PutImageInPlace(AppState& app, const wchar_t* chosen, const BYTE digest[kSha256Size]);
// Closes the image and removes the temporary file of a create that did not finish.
void DiscardTemporaryImage(AppState& app, const wchar_t* chosen);
// Writes `content` to a new file (replacing one of that name) and flushes it.
bool WriteNewFile(const std::wstring& path, const std::string& content);
// The checksum file's path beside an image.
std::wstring ChecksumFileOf(const std::wstring& image);

// The finish of a create: when `complete`, the image and its checksum file are put
// in place (a rescued image is hashed from the finished file first, into `digest`);
// otherwise, or when that fails, the temporary file is removed. True when the image
// has its name and checksum file.
bool FinishCreate(AppState& app, const wchar_t* chosen, bool complete, BYTE digest[kSha256Size]);
