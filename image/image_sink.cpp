#include "image/image_sink.h"

#include <shlwapi.h>
#include <zlib.h>

#include <cstdlib>
#include <new>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY
extern "C" {
#include <linux/zstd_lib.h>
}

#include "image/file_bytes.h"
#include "image/image_hash.h"
#include "image/virtual_disk.h"
#include "image/sparse_image.h"

namespace {

// The drive's bytes are cut into pieces of this size, each compressed on its own into
// a gzip member or a zstd frame: independent pieces compress on every processor at once.
const DWORD kPieceSize = 4u << 20;
const int kGzipLevel = 1;
const int kZstdLevel = 3;
// Pieces in flight per thread: one being compressed, one waiting or being written.
const int kPiecesPerThread = 2;
const DWORD kMostThreads = sizeof(void*) == 8 ? 32 : 8;
// The gzip header of the first member: FEXTRA with the subfield 'Kv' of 8 bytes, the length.
const DWORD kGzipHeader = 10;
const DWORD kGzipLengthField = 2 + 4 + 8;
const DWORD kGzipTrailer = 8;

struct Piece {
    BYTE* input = nullptr;
    DWORD inputSize = 0;
    BYTE* output = nullptr;
    size_t outputCapacity = 0;
    size_t outputSize = 0;
    bool failed = false;
    HANDLE done = nullptr; // set once the piece is compressed (auto-reset)
};

DWORD ProcessorCount()
{
    // Machines with more than 64 processors have several groups: count them all (Windows 7 on).
    using CountProc = DWORD(WINAPI*)(WORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const CountProc count =
        kernel == nullptr ? nullptr
                          : reinterpret_cast<CountProc>(
                                reinterpret_cast<void*>(GetProcAddress(kernel, "GetActiveProcessorCount")));
    DWORD processors = count != nullptr ? count(0xFFFF) : 0; // ALL_PROCESSOR_GROUPS
    if (processors == 0) {
        SYSTEM_INFO info = {};
        GetSystemInfo(&info);
        processors = info.dwNumberOfProcessors;
    }
    return processors < 1 ? 1 : processors > kMostThreads ? kMostThreads : processors;
}

void* ZstdAllocate(void*, size_t size)
{
    return malloc(size);
}

void ZstdRelease(void*, void* address)
{
    free(address);
}

// One thread's compressor, made on its first piece.
struct Compressor {
    bool deflateReady = false;
    z_stream deflater = {};
    ZSTD_CCtx* zstd = nullptr;
};

// A gzip member of the piece; the first one carries the whole image's length.
bool CompressGzip(Compressor& compressor, Piece& piece, bool first, int64_t planned)
{
    if (!compressor.deflateReady) {
        // Raw deflate: the member's header and trailer are written here.
        if (deflateInit2(&compressor.deflater, kGzipLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return false;
        compressor.deflateReady = true;
    } else if (deflateReset(&compressor.deflater) != Z_OK) {
        return false;
    }
    BYTE* out = piece.output;
    const BYTE header[kGzipHeader] = {0x1F, 0x8B, 8, static_cast<BYTE>(first ? 4 : 0), 0, 0, 0, 0, 4, 11};
    memcpy(out, header, kGzipHeader);
    size_t at = kGzipHeader;
    if (first) {
        const BYTE field[kGzipLengthField] = {12, 0, 'K', 'v', 8, 0};
        memcpy(out + at, field, kGzipLengthField);
        for (int i = 0; i < 8; ++i)
            out[at + 6 + i] = static_cast<BYTE>(static_cast<uint64_t>(planned) >> (8 * i));
        at += kGzipLengthField;
    }
    z_stream& stream = compressor.deflater;
    stream.next_in = piece.input;
    stream.avail_in = piece.inputSize;
    stream.next_out = out + at;
    stream.avail_out = static_cast<uInt>(piece.outputCapacity - at - kGzipTrailer);
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
        return false;
    at = piece.outputCapacity - kGzipTrailer - stream.avail_out;
    PutLe32(out + at, static_cast<uint32_t>(crc32(0, piece.input, piece.inputSize)));
    PutLe32(out + at + 4, piece.inputSize);
    piece.outputSize = at + kGzipTrailer;
    return true;
}

// A zstd frame of the piece with its content size and checksum.
bool CompressZstd(Compressor& compressor, Piece& piece)
{
    if (compressor.zstd == nullptr) {
        const ZSTD_customMem memory = {ZstdAllocate, ZstdRelease, nullptr};
        compressor.zstd = ZSTD_createCCtx_advanced(memory);
        if (compressor.zstd == nullptr ||
            ZSTD_isError(ZSTD_CCtx_setParameter(compressor.zstd, ZSTD_c_compressionLevel, kZstdLevel)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(compressor.zstd, ZSTD_c_checksumFlag, 1)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(compressor.zstd, ZSTD_c_contentSizeFlag, 1)))
            return false;
    }
    const size_t size =
        ZSTD_compress2(compressor.zstd, piece.output, piece.outputCapacity, piece.input, piece.inputSize);
    if (ZSTD_isError(size))
        return false;
    piece.outputSize = size;
    return true;
}

} // namespace

// The pieces of a compressed image: a ring of slots filled in order by the job's
// thread, compressed by the threads in the order handed over, written in that order.
struct SinkPieces {
    ImageSinkFormat format = ImageSinkFormat::Gzip;
    int64_t planned = 0;
    std::vector<Piece> slots;
    std::vector<HANDLE> threads;
    CRITICAL_SECTION lock;
    HANDLE queued = nullptr;  // semaphore: a piece handed over, or a thread to stop
    uint64_t handedOver = 0;  // pieces handed to the threads (under lock)
    uint64_t taken = 0;       // pieces a thread took (under lock)
    uint64_t written = 0;     // pieces written to the file (job thread)
    DWORD filled = 0;         // bytes in the piece being filled, slot handedOver % size
};

namespace {

DWORD WINAPI CompressThread(void* parameter)
{
    SinkPieces& pieces = *static_cast<SinkPieces*>(parameter);
    Compressor compressor;
    for (;;) {
        if (WaitForSingleObject(pieces.queued, INFINITE) != WAIT_OBJECT_0)
            break;
        EnterCriticalSection(&pieces.lock);
        const bool any = pieces.taken < pieces.handedOver;
        const uint64_t number = pieces.taken;
        if (any)
            ++pieces.taken;
        LeaveCriticalSection(&pieces.lock);
        // Nothing to take: the sink is stopping.
        if (!any)
            break;
        Piece& piece = pieces.slots[static_cast<size_t>(number % pieces.slots.size())];
        piece.failed = pieces.format == ImageSinkFormat::Gzip
                           ? !CompressGzip(compressor, piece, number == 0, pieces.planned)
                           : !CompressZstd(compressor, piece);
        SetEvent(piece.done);
    }
    if (compressor.deflateReady)
        deflateEnd(&compressor.deflater);
    ZSTD_freeCCtx(compressor.zstd);
    return 0;
}

// Stops the threads once they have compressed what was handed over, and frees everything.
void FreePieces(SinkPieces* pieces)
{
    if (pieces == nullptr)
        return;
    if (pieces->queued != nullptr && !pieces->threads.empty())
        ReleaseSemaphore(pieces->queued, static_cast<LONG>(pieces->threads.size()), nullptr);
    for (HANDLE thread : pieces->threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    for (Piece& piece : pieces->slots) {
        if (piece.input != nullptr)
            VirtualFree(piece.input, 0, MEM_RELEASE);
        if (piece.output != nullptr)
            VirtualFree(piece.output, 0, MEM_RELEASE);
        if (piece.done != nullptr)
            CloseHandle(piece.done);
    }
    if (pieces->queued != nullptr)
        CloseHandle(pieces->queued);
    DeleteCriticalSection(&pieces->lock);
    delete pieces;
}

SinkPieces* NewPieces(ImageSinkFormat format, int64_t planned)
{
    SinkPieces* pieces = new (std::nothrow) SinkPieces();
    if (pieces == nullptr)
        return nullptr;
    InitializeCriticalSection(&pieces->lock);
    pieces->format = format;
    pieces->planned = planned;
    const DWORD threads = ProcessorCount();
    const size_t capacity = format == ImageSinkFormat::Gzip
                                ? compressBound(kPieceSize) + kGzipHeader + kGzipLengthField + kGzipTrailer
                                : ZSTD_compressBound(kPieceSize);
    pieces->slots.resize(threads * kPiecesPerThread);
    pieces->queued = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
    bool ready = pieces->queued != nullptr;
    for (Piece& piece : pieces->slots) {
        if (!ready)
            break;
        piece.input = static_cast<BYTE*>(VirtualAlloc(nullptr, kPieceSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        piece.output = static_cast<BYTE*>(VirtualAlloc(nullptr, capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        piece.outputCapacity = capacity;
        piece.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ready = piece.input != nullptr && piece.output != nullptr && piece.done != nullptr;
    }
    for (DWORD i = 0; ready && i < threads; ++i) {
        const HANDLE thread = CreateThread(nullptr, 0, CompressThread, pieces, 0, nullptr);
        if (thread == nullptr)
            break;
        pieces->threads.push_back(thread);
    }
    if (!ready || pieces->threads.empty()) {
        FreePieces(pieces);
        return nullptr;
    }
    return pieces;
}

// Writes the oldest piece handed over, waiting until it is compressed.
bool WriteNextPiece(ImageSink& sink)
{
    SinkPieces& pieces = *sink.pieces;
    Piece& piece = pieces.slots[static_cast<size_t>(pieces.written % pieces.slots.size())];
    if (WaitForSingleObject(piece.done, INFINITE) != WAIT_OBJECT_0 || piece.failed)
        return false;
    ++pieces.written;
    for (size_t at = 0; at < piece.outputSize;) {
        const DWORD size = static_cast<DWORD>(piece.outputSize - at < 0x40000000 ? piece.outputSize - at : 0x40000000);
        DWORD written = 0;
        if (!WriteFile(sink.file, piece.output + at, size, &written, nullptr) || written != size)
            return false;
        at += size;
    }
    if (sink.hash != nullptr)
        FeedImageHash(*sink.hash, piece.output, piece.outputSize);
    return true;
}

// Hands the piece being filled to the threads.
void HandOver(SinkPieces& pieces)
{
    pieces.slots[static_cast<size_t>(pieces.handedOver % pieces.slots.size())].inputSize = pieces.filled;
    EnterCriticalSection(&pieces.lock);
    ++pieces.handedOver;
    LeaveCriticalSection(&pieces.lock);
    pieces.filled = 0;
    ReleaseSemaphore(pieces.queued, 1, nullptr);
}

bool WriteCompressed(ImageSink& sink, const BYTE* data, DWORD size)
{
    SinkPieces& pieces = *sink.pieces;
    while (size > 0) {
        // The slot to fill must have been written: the oldest piece first.
        if (pieces.filled == 0) {
            while (pieces.handedOver - pieces.written >= pieces.slots.size())
                if (!WriteNextPiece(sink))
                    return false;
        }
        Piece& piece = pieces.slots[static_cast<size_t>(pieces.handedOver % pieces.slots.size())];
        const DWORD part = kPieceSize - pieces.filled < size ? kPieceSize - pieces.filled : size;
        memcpy(piece.input + pieces.filled, data, part);
        pieces.filled += part;
        data += part;
        size -= part;
        if (pieces.filled == kPieceSize)
            HandOver(pieces);
    }
    // What is compressed already goes to the file now, without waiting.
    while (pieces.written < pieces.handedOver) {
        const Piece& oldest = pieces.slots[static_cast<size_t>(pieces.written % pieces.slots.size())];
        if (WaitForSingleObject(oldest.done, 0) != WAIT_OBJECT_0)
            break;
        SetEvent(oldest.done); // taken by the wait above: WriteNextPiece waits on it again
        if (!WriteNextPiece(sink))
            return false;
    }
    return true;
}

bool SeekRaw(ImageSink& sink, int64_t offset)
{
    LARGE_INTEGER at = {};
    at.QuadPart = offset;
    if (!SetFilePointerEx(sink.file, at, nullptr, FILE_BEGIN))
        return false;
    sink.position = offset;
    return true;
}

bool WriteRaw(ImageSink& sink, int64_t offset, const BYTE* data, DWORD size)
{
    LONG* const lent = sink.lent;
    sink.lent = nullptr;
    if (offset != sink.position && !SeekRaw(sink, offset))
        return false;
    if (sink.hash != nullptr && lent == nullptr)
        FeedImageHash(*sink.hash, data, size);
    // Zeros in a sparse file are moved past: the file's end is set at the end.
    const bool skipped = sink.sparse && IsAllZero(data, size);
    DWORD written = 0;
    if (skipped ? !SeekRaw(sink, offset + size)
                : !WriteFile(sink.file, data, size, &written, nullptr) || written != size)
        return false;
    // Bytes lent go to the hash once written: the write has the processor to itself first.
    if (sink.hash != nullptr && lent != nullptr)
        LendImageHash(*sink.hash, data, size, lent, sink.giveBack);
    if (skipped) {
        sink.endPending = true;
        return true;
    }
    sink.position += size;
    // Bytes written past every skipped range: the file ends where they do.
    if (sink.position >= sink.taken)
        sink.endPending = false;
    return true;
}

} // namespace

ImageSinkFormat ImageSinkFormatOf(const wchar_t* path)
{
    const wchar_t* extension = PathFindExtensionW(path);
    if (lstrcmpiW(extension, L".gz") == 0)
        return ImageSinkFormat::Gzip;
    if (lstrcmpiW(extension, L".zst") == 0)
        return ImageSinkFormat::Zstd;
    if (lstrcmpiW(extension, L".vhd") == 0)
        return ImageSinkFormat::Vhd;
    if (lstrcmpiW(extension, L".vhdx") == 0)
        return ImageSinkFormat::Vhdx;
    return ImageSinkFormat::Raw;
}

bool ImageSinkWritesAnywhere(ImageSinkFormat format)
{
    return format == ImageSinkFormat::Raw;
}

namespace {

// The finished file read from its start into the hash.
bool HashWholeFile(HANDLE file, ImageHash& hash)
{
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && FeedRestOfFile(hash, file);
}

} // namespace

bool BeginImageSink(ImageSink& sink, ImageSinkFormat format, HANDLE file, bool sparse, ImageHash* hash,
                    int64_t planned, uint32_t sector)
{
    sink = ImageSink();
    sink.format = format;
    sink.file = file;
    sink.sparse = sparse && format == ImageSinkFormat::Raw;
    sink.hash = hash;
    sink.planned = planned;
    switch (format) {
    case ImageSinkFormat::Raw:
        return true;
    case ImageSinkFormat::Gzip:
    case ImageSinkFormat::Zstd:
        sink.pieces = NewPieces(format, planned);
        return sink.pieces != nullptr;
    case ImageSinkFormat::Vhd:
    case ImageSinkFormat::Vhdx:
        sink.disk = new (std::nothrow) VirtualDisk();
        return sink.disk != nullptr && BeginVirtualDisk(file, format == ImageSinkFormat::Vhdx,
                                                        static_cast<uint64_t>(planned), sector, sink.disk);
    }
    return false;
}

bool WriteImageSink(ImageSink& sink, int64_t offset, const BYTE* data, DWORD size)
{
    switch (sink.format) {
    case ImageSinkFormat::Raw:
        if (offset + size > sink.taken)
            sink.taken = offset + size;
        return WriteRaw(sink, offset, data, size);
    case ImageSinkFormat::Gzip:
    case ImageSinkFormat::Zstd:
        if (offset != sink.taken || sink.pieces == nullptr)
            return false;
        sink.taken += size;
        return WriteCompressed(sink, data, size);
    case ImageSinkFormat::Vhd:
    case ImageSinkFormat::Vhdx:
        if (offset + size > sink.taken)
            sink.taken = offset + size;
        return WriteVirtualDisk(*sink.disk, sink.file, static_cast<uint64_t>(offset), data, size);
    }
    return false;
}

bool EndImageSink(ImageSink& sink)
{
    bool result = sink.taken == sink.planned;
    switch (sink.format) {
    case ImageSinkFormat::Raw:
        // Skipped zeros at the end leave the file short: it must end where the image does.
        if (result && sink.endPending)
            result = SeekRaw(sink, sink.taken) && SetEndOfFile(sink.file);
        break;
    case ImageSinkFormat::Gzip:
    case ImageSinkFormat::Zstd: {
        SinkPieces& pieces = *sink.pieces;
        // The last piece, also an empty one when the image is empty: the file holds one member or frame at least.
        if (result && (pieces.filled > 0 || pieces.handedOver == 0))
            HandOver(pieces);
        while (result && pieces.written < pieces.handedOver)
            result = WriteNextPiece(sink);
        break;
    }
    case ImageSinkFormat::Vhd:
    case ImageSinkFormat::Vhdx:
        result = result && EndVirtualDisk(*sink.disk, sink.file) &&
                 (sink.hash == nullptr || HashWholeFile(sink.file, *sink.hash));
        break;
    }
    AbandonImageSink(sink);
    return result;
}

void AbandonImageSink(ImageSink& sink)
{
    FreePieces(sink.pieces);
    sink.pieces = nullptr;
    delete sink.disk;
    sink.disk = nullptr;
}
