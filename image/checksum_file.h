// Checksum files beside an image, in the format of sha256sum: a line of 64 hex
// digits, a blank, a blank or '*' (binary), and the file's name.
#pragma once

#include <windows.h>

#include <string>

#include "image/sha256.h"

enum class ChecksumEntry {
    Listed,    // a well-formed line names the image: its digest is given
    NotListed, // every line is well-formed, none names the image
    Malformed, // the image is not listed and a line can't be read as an entry
};

// Looks for `name` (compared without case) in the bytes of a checksum file. A file
// named after the image (`namedAfterImage`) that holds one entry only, or a bare
// digest, gives that entry whatever name it lists: images are renamed with it.
// A list signed in the clear (PGP armour) is read between its armour lines. In a list
// of many files, a line that can't be read counts only when it mentions the name.
ChecksumEntry FindChecksumEntry(const std::string& text, const std::wstring& name, bool namedAfterImage,
                                BYTE digest[kSha256Size]);

enum class ChecksumLookup {
    None,       // no checksum file lists the image
    Found,      // the digest to check the image against
    Unreadable, // a checksum file exists but can't be read or doesn't give the image's digest
};

// Looks beside the image for <image>.sha256, <image>.sha256sum, then SHA256SUMS listing
// the image's name; the first that exists decides (SHA256SUMS only when it lists the
// image or can't be read). `file` names the checksum file found.
ChecksumLookup LookUpImageChecksum(const std::wstring& imagePath, BYTE digest[kSha256Size], std::wstring* file);

// The checksum file's content for `name`: "<hex>  <name>\n", the name in UTF-8.
std::string ChecksumLine(const BYTE digest[kSha256Size], const std::wstring& name);

// The part of a path after its last backslash or slash.
std::wstring FileNamePart(const std::wstring& path);

struct AppState;

// A checksum file that can't be read is told, and the restore goes on without it
// only on Yes (No is the default). True on Yes.
bool ConfirmWithoutChecksum(AppState& app, const std::wstring& file);
// Compares the image's digest with its checksum; false after the error box when they differ.
bool ImageMatchesChecksum(AppState& app, const BYTE expected[kSha256Size], const BYTE actual[kSha256Size]);
