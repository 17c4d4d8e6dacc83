#include "image/image_source.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "engine/app_state.h"
#include "engine/chunk_sizing.h"
#include "engine/transfer.h"
#include "image/file_bytes.h"
#include "image/image_hash.h"
#include "image/virtual_disk.h"
#include "image/xz_stream.h"
#include "image/zstd_stream.h"
#include "report/byte_count.h"
#include "report/error_box.h"
#include "resource.h"

namespace {

const uint32_t kInPiece = 1 << 20;  // file bytes read at a time
const uint32_t kScratchSize = 1 << 20; // decoded bytes thrown away at a time
const uint32_t kHeadSize = 4096;
const uint32_t kLargestZipDirectory = 64 << 20;

const wchar_t kDamaged[] = L"The image file is damaged or incomplete!";

} // namespace

// The decoder's state. The copy and the verify read it on a thread of their own, which
// decodes straight into their buffers while the job thread writes or compares.
struct SourceStream {
    z_stream zs = {};
    bool zsReady = false;
    XzDecoder* xz = nullptr;
    ZstdDecoder* zstd = nullptr;
    bool frameEnded = false; // xz, zstd: what was given so far ends a stream or frame
    bool memberEnded = false; // gzip: a member ended, another one or the file's end follows
    uint8_t* in = nullptr;
    uint32_t inSize = 0; // bytes in `in`
    uint32_t inUsed = 0; // of them taken
    uint64_t inAt = 0;   // the file offset of in[0]
    uint64_t made = 0;   // decoded bytes
    uint32_t crc = 0;    // zip: of the decoded bytes
    bool ended = false;  // the image ended and its checks held
    ImageHash* hash = nullptr;
    uint8_t* scratch = nullptr; // kScratchSize bytes for decoding that is thrown away
    bool failed = false;        // a read failed: the stream gives nothing more
};

ImageFormat DetectImageFormat(const uint8_t* head, size_t headSize, const uint8_t* tail, size_t tailSize)
{
    const auto starts = [&](const char* magic, size_t size) {
        return headSize >= size && std::memcmp(head, magic, size) == 0;
    };
    if (starts("\x1F\x8B\x08", 3))
        return ImageFormat::Gzip;
    if (starts("PK\x03\x04", 4) || starts("PK\x05\x06", 4))
        return ImageFormat::Zip;
    if (starts("\xFD"
               "7zXZ\0",
               6))
        return ImageFormat::Xz;
    // A zstd frame, or a skippable frame (magic 0x184D2A50 to 0x184D2A5F) before one.
    if (starts("\x28\xB5\x2F\xFD", 4) ||
        (headSize >= 4 && (head[0] & 0xF0) == 0x50 && head[1] == 0x2A && head[2] == 0x4D && head[3] == 0x18))
        return ImageFormat::Zstd;
    if (starts("vhdxfile", 8))
        return ImageFormat::Vhdx;
    // A dynamic VHD has a copy of its footer at its start, a fixed one its footer only at its end.
    if (starts("conectix", 8) || (tailSize >= 512 && std::memcmp(tail + tailSize - 512, "conectix", 8) == 0))
        return ImageFormat::Vhd;
    return ImageFormat::Raw;
}

namespace {

// Gzip: the length field of the first member's extra field (subfield 'K','v', 8 bytes).
bool ReadGzipLength(const uint8_t* head, uint32_t headSize, uint64_t* length)
{
    if (headSize < 12 || (head[3] & 0x04) == 0)
        return false;
    const uint32_t end = std::min<uint32_t>(headSize, 12u + Le16(head + 10));
    for (uint32_t at = 12; at + 4 <= end;) {
        const uint32_t size = Le16(head + at + 2);
        if (head[at] == 'K' && head[at + 1] == 'v' && size == 8 && at + 12 <= end) {
            *length = Le64(head + at + 4);
            return true;
        }
        at += 4 + size;
    }
    return false;
}

bool EndsWithImageExtension(const std::string& name)
{
    static const char* const kExtensions[] = {".img", ".hdd", ".iso", ".bin", ".raw"};
    if (name.size() < 4)
        return false;
    std::string last = name.substr(name.size() - 4);
    for (char& c : last)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    for (const char* extension : kExtensions)
        if (last == extension)
            return true;
    return false;
}

// The name of a zip compression method Korvane doesn't read.
std::wstring ZipMethodName(uint16_t method)
{
    switch (method) {
    case 9:
        return L"Deflate64";
    case 12:
        return L"BZIP2";
    case 14:
        return L"LZMA";
    case 93:
        return L"Zstandard";
    case 95:
        return L"XZ";
    case 98:
        return L"PPMd";
    default: {
        std::wstring digits;
        do {
            digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + method % 10));
            method = static_cast<uint16_t>(method / 10);
        } while (method != 0);
        return L"method " + digits;
    }
    }
}

// Zip: the image's entry from the central directory (ZIP64 too), and where its data begins.
bool ReadZipRecords(ImageSource& source, std::wstring* refusal)
{
    const uint64_t fileSize = source.fileSize;
    // The end record lies in the last 64 KiB and 22 bytes (its comment at most 64 KiB).
    const uint32_t tailSize = static_cast<uint32_t>(std::min<uint64_t>(fileSize, 65535 + 22));
    std::vector<uint8_t> tail(tailSize);
    if (!ReadFileAt(source.file, fileSize - tailSize, tail.data(), tailSize))
        return false;
    int64_t end = -1;
    for (int64_t at = static_cast<int64_t>(tailSize) - 22; at >= 0 && end < 0; --at)
        if (std::memcmp(&tail[static_cast<size_t>(at)], "PK\x05\x06", 4) == 0)
            end = at;
    if (end < 0) {
        *refusal = kDamaged;
        return false;
    }
    const uint8_t* record = &tail[static_cast<size_t>(end)];
    uint64_t entries = Le16(record + 10);
    uint64_t directorySize = Le32(record + 12);
    uint64_t directoryAt = Le32(record + 16);
    const uint64_t endAt = fileSize - tailSize + static_cast<uint64_t>(end);
    // ZIP64: a locator right before the end record points at the larger record.
    uint8_t locator[20] = {}, large[56] = {};
    if (endAt >= 20 && ReadFileAt(source.file, endAt - 20, locator, 20) && std::memcmp(locator, "PK\x06\x07", 4) == 0) {
        if (!ReadFileAt(source.file, Le64(locator + 8), large, 56) || std::memcmp(large, "PK\x06\x06", 4) != 0) {
            *refusal = kDamaged;
            return false;
        }
        entries = Le64(large + 32);
        directorySize = Le64(large + 40);
        directoryAt = Le64(large + 48);
    } else if (Le16(record + 4) != 0 || Le16(record + 6) != 0) {
        *refusal = L"The image file is a zip file of several parts,\nwhich Korvane doesn't read!";
        return false;
    }
    if (directorySize > kLargestZipDirectory || directoryAt > fileSize || directorySize > fileSize - directoryAt) {
        *refusal = kDamaged;
        return false;
    }
    std::vector<uint8_t> directory(static_cast<size_t>(directorySize));
    if (directorySize != 0 && !ReadFileAt(source.file, directoryAt, directory.data(), static_cast<uint32_t>(directorySize)))
        return false;
    // The only file, or the only one named as an image.
    int files = 0, images = 0;
    size_t only = 0, image = 0;
    size_t at = 0;
    for (uint64_t n = 0; n < entries; ++n) {
        if (at + 46 > directory.size() || std::memcmp(&directory[at], "PK\x01\x02", 4) != 0) {
            *refusal = kDamaged;
            return false;
        }
        const size_t size = 46u + Le16(&directory[at + 28]) + Le16(&directory[at + 30]) + Le16(&directory[at + 32]);
        if (at + size > directory.size()) {
            *refusal = kDamaged;
            return false;
        }
        const std::string name(reinterpret_cast<const char*>(&directory[at + 46]), Le16(&directory[at + 28]));
        if (!name.empty() && name.back() != '/') {
            ++files;
            only = at;
            if (EndsWithImageExtension(name)) {
                ++images;
                image = at;
            }
        }
        at += size;
    }
    if (files != 1 && images != 1) {
        *refusal = images > 1
                       ? L"The zip file holds more than one image!"
                       : L"The zip file holds no image:\nnone of its files ends in .img, .hdd, .iso, .bin or .raw!";
        return false;
    }
    const uint8_t* entry = &directory[files == 1 ? only : image];
    source.method = Le16(entry + 10);
    source.crc = Le32(entry + 16);
    uint64_t packed = Le32(entry + 20), length = Le32(entry + 24), local = Le32(entry + 42);
    // ZIP64 extra field: the 64-bit values of the fields that say 0xFFFFFFFF, in this order.
    const uint8_t* extra = entry + 46 + Le16(entry + 28);
    const uint8_t* extraEnd = extra + Le16(entry + 30);
    for (; extra + 4 <= extraEnd; extra += 4 + Le16(extra + 2)) {
        if (Le16(extra) != 0x0001)
            continue;
        const uint8_t* value = extra + 4;
        const uint8_t* valuesEnd = std::min(extraEnd, value + Le16(extra + 2));
        for (uint64_t* field : {&length, &packed, &local})
            if (*field == 0xFFFFFFFF && value + 8 <= valuesEnd) {
                *field = Le64(value);
                value += 8;
            }
        break;
    }
    if ((Le16(entry + 8) & 0x0001) != 0) {
        *refusal = L"The image in the zip file is encrypted,\nwhich Korvane doesn't read!";
        return false;
    }
    if (source.method != 0 && source.method != 8) {
        *refusal = L"The image in the zip file is compressed with " + ZipMethodName(source.method) +
                   L",\nwhich Korvane doesn't read!";
        return false;
    }
    uint8_t header[30] = {};
    if (local > fileSize || !ReadFileAt(source.file, local, header, 30) || std::memcmp(header, "PK\x03\x04", 4) != 0) {
        *refusal = kDamaged;
        return false;
    }
    source.dataOffset = local + 30 + Le16(header + 26) + Le16(header + 28);
    source.dataSize = packed;
    if (source.dataOffset > fileSize || packed > fileSize - source.dataOffset ||
        (source.method == 0 && packed != length)) {
        *refusal = kDamaged;
        return false;
    }
    source.length = length;
    source.lengthKnown = true;
    return true;
}

// The part of the file a decoder reads: a zip entry's data, or all of a gzip file.
uint64_t WindowStart(const ImageSource& source)
{
    return source.format == ImageFormat::Zip ? source.dataOffset : 0;
}

uint64_t WindowEnd(const ImageSource& source)
{
    return source.format == ImageFormat::Zip ? source.dataOffset + source.dataSize : source.fileSize;
}

// Reads the next piece of the file into `in`, hashed; false at the file's end or on an error.
bool Refill(ImageSource& source)
{
    SourceStream& s = *source.stream;
    s.inAt += s.inSize;
    s.inSize = s.inUsed = 0;
    const uint64_t left = source.fileSize - std::min(source.fileSize, s.inAt);
    DWORD got = 0;
    if (left == 0 ||
        !ReadFile(source.file, s.in, static_cast<DWORD>(std::min<uint64_t>(kInPiece, left)), &got, nullptr) || got == 0)
        return false;
    s.inSize = got;
    if (s.hash != nullptr)
        FeedImageHash(*s.hash, s.in, got);
    return true;
}

// Input for the decoder at the window's next byte: false when the window (or the file) has none left.
bool InputReady(ImageSource& source, uint32_t* available)
{
    SourceStream& s = *source.stream;
    for (;;) {
        const uint64_t at = s.inAt + s.inUsed;
        if (at >= WindowEnd(source))
            return false;
        if (s.inUsed == s.inSize) {
            if (!Refill(source))
                return false;
            continue;
        }
        if (at < WindowStart(source)) {
            s.inUsed += static_cast<uint32_t>(std::min<uint64_t>(s.inSize - s.inUsed, WindowStart(source) - at));
            continue;
        }
        *available = static_cast<uint32_t>(std::min<uint64_t>(s.inSize - s.inUsed, WindowEnd(source) - at));
        return true;
    }
}

bool IsXzOrZstd(const ImageSource& source)
{
    return source.format == ImageFormat::Xz || source.format == ImageFormat::Zstd;
}

// Keeps the input not yet taken at the start of `in` and reads the file on after it, hashed;
// false at the file's end or on an error.
bool KeepAndRefill(ImageSource& source)
{
    SourceStream& s = *source.stream;
    const uint32_t kept = s.inSize - s.inUsed;
    std::memmove(s.in, s.in + s.inUsed, kept);
    s.inAt += s.inUsed;
    s.inSize = kept;
    s.inUsed = 0;
    const uint64_t left = source.fileSize - std::min(source.fileSize, s.inAt + kept);
    DWORD got = 0;
    if (left == 0 || kept == kInPiece ||
        !ReadFile(source.file, s.in + kept, static_cast<DWORD>(std::min<uint64_t>(kInPiece - kept, left)), &got,
                  nullptr) ||
        got == 0)
        return false;
    if (s.hash != nullptr)
        FeedImageHash(*s.hash, s.in + kept, got);
    s.inSize += got;
    return true;
}

// Zip: the entry ended; its sizes and CRC must be the directory's.
bool ZipEntryHolds(ImageSource& source)
{
    SourceStream& s = *source.stream;
    s.ended = s.inAt + s.inUsed == WindowEnd(source) && s.made == source.length && s.crc == source.crc;
    return s.ended;
}

// Gzip after a member: another member, zeros to the file's end (padding), or the end.
bool NextGzipMember(ImageSource& source)
{
    SourceStream& s = *source.stream;
    uint32_t available = 0;
    while (InputReady(source, &available)) {
        if (s.in[s.inUsed] == 0x1F) {
            s.memberEnded = false;
            return inflateReset(&s.zs) == Z_OK;
        }
        if (s.in[s.inUsed] != 0)
            return false;
        ++s.inUsed;
    }
    s.ended = s.inAt + s.inUsed == source.fileSize;
    return s.ended;
}

// Decodes up to `size` bytes into `out`, fewer only at the image's end. False on damaged data.
bool Decode(ImageSource& source, uint8_t* out, uint32_t size, uint32_t* made)
{
    SourceStream& s = *source.stream;
    *made = 0;
    while (*made < size && !s.ended) {
        if (s.memberEnded) {
            if (!NextGzipMember(source))
                return false;
            continue;
        }
        uint32_t available = 0;
        if (!InputReady(source, &available)) {
            // Every byte of a zip entry stored as it is has been taken.
            if (source.format == ImageFormat::Zip && source.method == 0 && ZipEntryHolds(source))
                break;
            // An xz or zstd file ends where its last stream or frame does, at the file's end.
            if (IsXzOrZstd(source) && s.frameEnded && s.inAt + s.inUsed == source.fileSize) {
                s.ended = true;
                break;
            }
            return false;
        }
        uint8_t* const next = s.in + s.inUsed;
        uint32_t used = 0, given = 0;
        if (source.format == ImageFormat::Zip && source.method == 0) {
            used = given = std::min(available, size - *made);
            std::memcpy(out + *made, next, given);
        } else if (IsXzOrZstd(source)) {
            size_t inUsed = 0, outMade = 0;
            const bool decoded =
                source.format == ImageFormat::Xz
                    ? XzDecode(s.xz, next, available, &inUsed, out + *made, size - *made, &outMade, &s.frameEnded)
                    : ZstdDecode(s.zstd, next, available, &inUsed, out + *made, size - *made, &outMade, &s.frameEnded);
            if (!decoded)
                return false;
            used = static_cast<uint32_t>(inUsed);
            given = static_cast<uint32_t>(outMade);
            // The decoder waits for input that lies past this piece of the file.
            if (used == 0 && given == 0 && !KeepAndRefill(source))
                return false;
        } else {
            s.zs.next_in = next;
            s.zs.avail_in = available;
            s.zs.next_out = out + *made;
            s.zs.avail_out = size - *made;
            const int result = inflate(&s.zs, Z_NO_FLUSH);
            used = available - s.zs.avail_in;
            given = size - *made - s.zs.avail_out;
            if (result == Z_STREAM_END)
                s.memberEnded = true;
            else if (result != Z_OK)
                return false;
        }
        if (source.format == ImageFormat::Zip)
            s.crc = static_cast<uint32_t>(crc32(s.crc, out + *made, given));
        s.inUsed += used;
        s.made += given;
        *made += given;
        if (source.format == ImageFormat::Zip && s.made > source.length)
            return false;
        if (source.format == ImageFormat::Zip && s.memberEnded) {
            s.memberEnded = false;
            if (!ZipEntryHolds(source))
                return false;
        }
        if (source.format == ImageFormat::Zip && source.method == 0 && s.inAt + s.inUsed == WindowEnd(source) &&
            !ZipEntryHolds(source))
            return false;
    }
    return true;
}

void FreeMemory(uint8_t*& buffer)
{
    if (buffer != nullptr)
        VirtualFree(buffer, 0, MEM_RELEASE);
    buffer = nullptr;
}

uint8_t* NewBuffer(uint32_t size)
{
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void FreeDecoders(SourceStream& s)
{
    if (s.zsReady)
        inflateEnd(&s.zs);
    s.zsReady = false;
    XzDecoderFree(s.xz);
    s.xz = nullptr;
    ZstdDecoderFree(s.zstd);
    s.zstd = nullptr;
}

// The decoder at the image's first byte.
bool Restart(ImageSource& source, ImageHash* hash)
{
    if (source.stream == nullptr) {
        source.stream = new (std::nothrow) SourceStream;
        if (source.stream == nullptr)
            return false;
    }
    SourceStream& s = *source.stream;
    FreeDecoders(s);
    if (s.in == nullptr)
        s.in = NewBuffer(kInPiece);
    if (s.scratch == nullptr)
        s.scratch = NewBuffer(kScratchSize);
    // Without a hash, the bytes before a zip entry need not be read.
    const uint64_t start = hash == nullptr ? WindowStart(source) : 0;
    bool decoderReady = false;
    if (source.format == ImageFormat::Xz) {
        decoderReady = (s.xz = XzDecoderNew()) != nullptr;
    } else if (source.format == ImageFormat::Zstd) {
        decoderReady = (s.zstd = ZstdDecoderNew()) != nullptr;
    } else {
        s.zs = z_stream();
        decoderReady = s.zsReady =
            inflateInit2(&s.zs, source.format == ImageFormat::Gzip ? 16 + MAX_WBITS : -MAX_WBITS) == Z_OK;
    }
    s.memberEnded = s.ended = s.failed = s.frameEnded = false;
    s.inSize = s.inUsed = 0;
    s.inAt = start;
    s.made = 0;
    s.crc = 0;
    s.hash = hash;
    return s.in != nullptr && s.scratch != nullptr && decoderReady && SeekTo(source.file, static_cast<int64_t>(start));
}

// Reads the file on to its end into the hash.
bool HashRestOfFile(ImageSource& source)
{
    SourceStream& s = *source.stream;
    if (s.hash == nullptr)
        return true;
    while (s.inAt + s.inSize < source.fileSize)
        if (!Refill(source))
            return false;
    return true;
}

} // namespace

bool ReadImageRecords(ImageSource& source, std::wstring* refusal)
{
    refusal->clear();
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(source.file, &info))
        return false;
    source.fileSize = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    uint8_t head[kHeadSize] = {}, tail[512] = {};
    const uint32_t headSize = static_cast<uint32_t>(std::min<uint64_t>(kHeadSize, source.fileSize));
    const uint32_t tailSize = static_cast<uint32_t>(std::min<uint64_t>(512, source.fileSize));
    if (!ReadFileAt(source.file, 0, head, headSize) || !ReadFileAt(source.file, source.fileSize - tailSize, tail, tailSize))
        return false;
    source.format = DetectImageFormat(head, headSize, tail, tailSize);
    switch (source.format) {
    case ImageFormat::Raw:
        source.length = source.fileSize;
        source.lengthKnown = source.anyOffset = true;
        return true;
    case ImageFormat::Gzip:
        source.lengthKnown = ReadGzipLength(head, headSize, &source.length);
        return true;
    case ImageFormat::Zip:
        return ReadZipRecords(source, refusal);
    // Without the length in the file's records, a decode pass learns it.
    case ImageFormat::Xz:
        source.lengthKnown = XzDecodedLength(source.file, source.fileSize, &source.length);
        return SeekTo(source.file, 0);
    case ImageFormat::Zstd:
        source.lengthKnown = ZstdDecodedLength(source.file, source.fileSize, &source.length);
        return SeekTo(source.file, 0);
    case ImageFormat::Vhd:
    case ImageFormat::Vhdx:
        source.disk = new (std::nothrow) VirtualDisk();
        if (source.disk == nullptr ||
            !OpenVirtualDisk(source.file, source.format == ImageFormat::Vhdx, source.disk, refusal))
            return false;
        source.length = source.disk->virtualSize;
        source.lengthKnown = source.anyOffset = true;
        return true;
    }
    return false;
}

bool MeasureImageSource(ImageSource& source, SourceProgress progress, void* context)
{
    if (!Restart(source, nullptr))
        return false;
    SourceStream& s = *source.stream;
    for (uint32_t made = 0; !s.ended;) {
        if (!Decode(source, s.scratch, kScratchSize, &made) || !progress(context, s.inAt + s.inUsed))
            return false;
    }
    source.length = s.made;
    source.lengthKnown = true;
    return true;
}

bool ReadImageSourceAt(ImageSource& source, uint64_t offset, uint8_t* buffer, uint32_t size)
{
    if (source.format == ImageFormat::Raw)
        return ReadFileAt(source.file, offset, buffer, size);
    if (source.disk != nullptr)
        return offset <= source.length && size <= source.length - offset &&
               ReadVirtualDisk(*source.disk, source.file, offset, buffer, size);
    if ((source.stream == nullptr || offset < source.stream->made) && !Restart(source, nullptr))
        return false;
    SourceStream& s = *source.stream;
    uint32_t made = 0;
    while (s.made < offset) {
        if (!Decode(source, s.scratch, static_cast<uint32_t>(std::min<uint64_t>(kScratchSize, offset - s.made)), &made) ||
            made == 0)
            return false;
    }
    return Decode(source, buffer, size, &made) && made == size;
}

bool BeginImageRead(ImageSource& source, ImageHash* hash)
{
    if (source.format == ImageFormat::Raw || source.disk != nullptr) {
        if (source.stream == nullptr)
            source.stream = new (std::nothrow) SourceStream;
        if (source.stream == nullptr)
            return false;
        source.stream->hash = hash;
        source.stream->made = 0;
        return SeekTo(source.file, 0);
    }
    return Restart(source, hash);
}

bool ReadImageSource(ImageSource& source, uint8_t* buffer, uint32_t size, uint32_t* got, LONG* holders, HANDLE giveBack)
{
    *got = 0;
    SourceStream& s = *source.stream;
    if (source.format == ImageFormat::Raw) {
        DWORD read = 0;
        if (!ReadFile(source.file, buffer, size, &read, nullptr))
            return false;
        *got = read;
        if (s.hash != nullptr && holders != nullptr)
            LendImageHash(*s.hash, buffer, read, holders, giveBack);
        else if (s.hash != nullptr)
            FeedImageHash(*s.hash, buffer, read);
        return true;
    }
    // A virtual disk is read where its blocks lie; the hash reads the file in order at the end.
    if (source.disk != nullptr) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(size, source.length - s.made));
        if (piece != 0 && !ReadVirtualDisk(*source.disk, source.file, s.made, buffer, piece))
            return false;
        s.made += piece;
        *got = piece;
        return true;
    }
    if (s.failed)
        return false;
    s.failed = !Decode(source, buffer, size, got);
    return !s.failed;
}

bool EndImageRead(ImageSource& source, bool whole)
{
    SourceStream* stream = source.stream;
    if (stream == nullptr)
        return !whole;
    SourceStream& s = *stream;
    bool ok = true;
    if (whole && source.disk != nullptr) {
        // The whole file as it lies, for the hash.
        ok = s.hash == nullptr || SeekTo(source.file, 0);
        s.inAt = s.inSize = s.inUsed = 0;
        if (ok && s.hash != nullptr && s.in == nullptr)
            ok = (s.in = NewBuffer(kInPiece)) != nullptr;
        while (ok && s.hash != nullptr && s.inAt + s.inSize < source.fileSize)
            ok = Refill(source);
    } else if (whole && source.format == ImageFormat::Raw) {
        // The rest of the file, past what the drive takes, for the hash.
        ok = s.hash == nullptr || FeedRestOfFile(*s.hash, source.file);
    } else if (whole) {
        // Nothing may follow what the reader took, and the stream must end with its checks.
        uint32_t got = 0;
        ok = ReadImageSource(source, s.scratch, 1, &got) && got == 0;
        ok = ok && s.ended && HashRestOfFile(source);
    }
    s.hash = nullptr;
    return ok;
}

void CloseImageSource(ImageSource& source)
{
    if (source.stream != nullptr) {
        SourceStream& s = *source.stream;
        FreeDecoders(s);
        FreeMemory(s.in);
        FreeMemory(s.scratch);
        delete source.stream;
    }
    delete source.disk;
    source = ImageSource();
}

namespace {

struct Measuring {
    AppState* app;
    bool cancelled;
};

bool ShowMeasuring(void* context, uint64_t fileBytesRead)
{
    Measuring& measuring = *static_cast<Measuring*>(context);
    ShowProgress(*measuring.app, static_cast<int64_t>(fileBytesRead));
    measuring.cancelled = TakeCancelRequest(*measuring.app) && ConfirmCancel(*measuring.app, L"Cancel write image?");
    return !measuring.cancelled;
}

} // namespace

bool OpenImageSource(AppState& app, bool* cancelled)
{
    *cancelled = false;
    ImageSource& source = app.Source;
    CloseImageSource(source);
    source.file = app.ImageHandle;
    std::wstring refusal;
    if (!ReadImageRecords(source, &refusal)) {
        ShowErrorBox(app, refusal.empty() ? std::wstring(L"Read file error") : refusal);
        return false;
    }
    if (source.lengthKnown)
        return true;
    // The file doesn't say how long its image is: decoding it once tells, before anything is written.
    wchar_t status[256] = {};
    if (GetDlgItemTextW(app.MainWindow, IDC_STATUS, status, 256) == 0)
        status[0] = L'\0';
    SetStatusText(L"Reading image file");
    SetJobLength(app, static_cast<int64_t>(source.fileSize));
    Measuring measuring = {&app, false};
    const bool measured = MeasureImageSource(source, ShowMeasuring, &measuring);
    if (measuring.cancelled) {
        *cancelled = true;
        SetStatusText(L"Bytes written: " + FormatByteCount(0));
        return false;
    }
    SetStatusText(status);
    if (!measured)
        ShowErrorBox(app, kDamaged);
    return measured;
}

void ShowImageSourceError(AppState& app, int64_t position)
{
    if (app.Source.format == ImageFormat::Raw) {
        ShowErrorBox(app, L"Read file error");
        return;
    }
    // The restore writes its first chunk last: the drive's first sectors are still its own.
    ShowErrorBox(app, L"The image file is damaged after " + FormatByteCount(static_cast<uint64_t>(position)) +
                          L"Bytes of its disk image!\n" +
                          (app.BytesDone == 0 ? L"Nothing was written to the physical disk."
                                              : L"The physical disk holds part of the image,\n"
                                                L"its first sectors as they were."));
}
