// Where a create writes its image, in the format the chosen name's extension picks:
// the drive's bytes as they are (raw, holes for zeros in a sparse file), gzip or zstd
// compressed on one thread per processor and written in order, or a virtual disk.
#pragma once

#include <windows.h>

#include <cstdint>

struct ImageHash;
struct SinkPieces;
struct VirtualDisk;

enum class ImageSinkFormat { Raw, Gzip, Zstd, Vhd, Vhdx };

// The format a new image named `path` gets: .gz, .zst, .vhd, .vhdx (any case), else raw.
ImageSinkFormat ImageSinkFormatOf(const wchar_t* path);
// True when the format can hold a rescue: raw only. (A virtual disk is written at any
// offset too, but a rescue and its continue write the file as raw bytes.)
bool ImageSinkWritesAnywhere(ImageSinkFormat format);

struct ImageSink {
    ImageSinkFormat format = ImageSinkFormat::Raw;
    HANDLE file = nullptr;     // owned by the job
    bool sparse = false;       // raw: chunks of zeros are skipped
    ImageHash* hash = nullptr; // fed with the bytes as they land in the file, in order
    // Raw: the next bytes written are lent to the hash, not copied: the part's holders
    // and the semaphore that hands it back (LendImageHash). Taken by that write.
    LONG* lent = nullptr;
    HANDLE giveBack = nullptr;
    int64_t planned = 0;     // the bytes the create will hand over
    int64_t taken = 0;       // the stream formats: bytes handed over so far
    int64_t position = 0;    // raw: the file pointer
    bool endPending = false; // raw: the file ends before `position` (skipped zeros)
    SinkPieces* pieces = nullptr;
    VirtualDisk* disk = nullptr; // VHD, VHDX: its headers and block table until the end
};

// Starts writing the image of `planned` bytes into the new, empty `file`. A gzip file
// records `planned` as its length in its first member, so a create that hands over
// fewer bytes must not end: EndImageSink refuses it. A virtual disk of `planned` bytes
// gets sectors of `sector` bytes. False when memory or threads are short.
bool BeginImageSink(ImageSink& sink, ImageSinkFormat format, HANDLE file, bool sparse, ImageHash* hash,
                    int64_t planned, uint32_t sector);
// Hands over `size` bytes of the drive image at `offset`. Raw takes any offset; the
// stream formats only the next byte (offset == bytes handed over so far). False when
// writing the file failed.
bool WriteImageSink(ImageSink& sink, int64_t offset, const BYTE* data, DWORD size);
// Writes what is still pending and completes the file; false when it failed or the
// bytes handed over are not the planned ones. A virtual disk's file is complete only
// now (its block table and headers come last), so its hash reads the finished file.
// Frees what the sink holds.
bool EndImageSink(ImageSink& sink);
// Stops a sink that won't be completed (its file is thrown away); frees what it holds.
void AbandonImageSink(ImageSink& sink);
