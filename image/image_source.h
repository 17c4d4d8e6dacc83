// An image file as a restore and its verify read it: the drive image as it lies in the
// file (raw), or inside a compressed file or virtual disk, told by the file's content.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum class ImageFormat { Raw, Gzip, Zip, Xz, Zstd, Vhd, Vhdx };

// The format told by the file's first bytes (at least 512 of them when the file has them)
// and, for VHD, its last 512 bytes (a fixed VHD has its footer only at the end).
ImageFormat DetectImageFormat(const uint8_t* head, size_t headSize, const uint8_t* tail, size_t tailSize);

struct ImageHash;
struct SourceStream; // the decoder of a stream format and its buffers
struct VirtualDisk;

// One open image. Raw images and virtual disks (VHD, VHDX) are read at any offset; the
// stream formats (gzip, zip, xz, zstd) only from their start on, decoded as they are read.
struct ImageSource {
    ImageFormat format = ImageFormat::Raw;
    HANDLE file = nullptr; // the job's handle: never closed here
    uint64_t fileSize = 0;
    uint64_t length = 0;      // bytes of the drive image inside
    bool lengthKnown = false; // false: only a decode pass tells the length
    bool anyOffset = false;   // sectors can be read at any offset
    // Zip: where the image's entry lies in the file, how it is stored and its CRC-32.
    uint64_t dataOffset = 0;
    uint64_t dataSize = 0;
    uint16_t method = 0; // 0 stored, 8 deflated
    uint32_t crc = 0;
    SourceStream* stream = nullptr;
    VirtualDisk* disk = nullptr; // VHD, VHDX: its headers and block table
};

// Reads what the file's own records tell: its format, and the image's length where the
// format records it (raw: the file's size; zip: its directory; gzip: the length field
// Korvane writes into its first member). False when the file can't be read or is no image
// Korvane reads: `refusal` holds the text to show then, or is empty for "Read file error".
bool ReadImageRecords(ImageSource& source, std::wstring* refusal);

// Decodes the whole image once without writing it, to learn its length. `progress` is
// called with the file's bytes read so far after each piece; it stops the pass by
// returning false. False on damaged data or when stopped.
typedef bool (*SourceProgress)(void* context, uint64_t fileBytesRead);
bool MeasureImageSource(ImageSource& source, SourceProgress progress, void* context);

// `size` bytes of the image at `offset`, for the fit check: a stream format decodes from its
// start whenever an offset lies behind what it decoded last. False unless all of them came.
bool ReadImageSourceAt(ImageSource& source, uint64_t offset, uint8_t* buffer, uint32_t size);

// Starts reading the image from its first byte. A stream format is decoded by each read,
// straight into the reader's buffer. `hash` (may be null) gets the file's bytes as they lie on
// disk, in order. False when the start can't be reached or no memory is left.
bool BeginImageRead(ImageSource& source, ImageHash* hash);
// The next bytes of the image; *got < size only at its end. False on a read error or damaged data.
// With `holders`, a raw image's bytes are lent to the hash where they lie instead of copied
// (LendImageHash, the part handed back through `giveBack`); the other formats hash the
// file's own bytes, not what the buffer receives.
bool ReadImageSource(ImageSource& source, uint8_t* buffer, uint32_t size, uint32_t* got, LONG* holders = nullptr,
                     HANDLE giveBack = nullptr);
// Ends the reading. `whole`: the reader took all of the image it needs and the file must be
// complete: a stream must end right there with its checks holding, and the hash gets the
// rest of the file. False when that fails.
bool EndImageRead(ImageSource& source, bool whole);

// Frees the decoder and forgets the file; the handle stays open.
void CloseImageSource(ImageSource& source);

struct AppState;

// The restore's image: app.Source for app.ImageHandle, its length learnt before anything is
// written (with a "Reading image file" pass when the file doesn't record it). False after
// its error box, or when Cancel stopped the pass (`cancelled`, no box).
bool OpenImageSource(AppState& app, bool* cancelled);

// The box for an image that can't be read at `position` of it during the restore: what the drive holds now.
void ShowImageSourceError(AppState& app, int64_t position);
