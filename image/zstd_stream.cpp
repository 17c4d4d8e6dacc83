#include "image/zstd_stream.h"

#include "image/file_bytes.h"

#include <cstdlib>
#include <new>

#define ZSTD_STATIC_LINKING_ONLY
extern "C" {
#include <linux/zstd_lib.h>
}

namespace {

void* Allocate(void*, size_t size)
{
    return malloc(size);
}

void Release(void*, void* address)
{
    free(address);
}

const ZSTD_customMem kMemory = {Allocate, Release, nullptr};
// The largest window a frame may ask for (zstd --long=31 at most).
const int kWindowLogLimit = sizeof(void*) == 8 ? 31 : 28;

const uint32_t kSkippableMagic = 0x184D2A50; // to 0x184D2A5F
const uint32_t kSeekTableMagic = 0x8F92EAB1;

} // namespace

struct ZstdDecoder {
    ZSTD_DCtx* context;
    bool started;   // some input was taken
    bool frameOpen; // input of a frame was taken that it hasn't finished
};

ZstdDecoder* ZstdDecoderNew()
{
    ZstdDecoder* decoder = new (std::nothrow) ZstdDecoder();
    if (decoder == nullptr)
        return nullptr;
    decoder->context = ZSTD_createDCtx_advanced(kMemory);
    if (decoder->context == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoder->context, ZSTD_d_windowLogMax, kWindowLogLimit))) {
        ZstdDecoderFree(decoder);
        return nullptr;
    }
    return decoder;
}

void ZstdDecoderFree(ZstdDecoder* decoder)
{
    if (decoder == nullptr)
        return;
    ZSTD_freeDCtx(decoder->context);
    delete decoder;
}

bool ZstdDecode(ZstdDecoder* decoder, const uint8_t* in, size_t inSize, size_t* inUsed, uint8_t* out,
                size_t outSize, size_t* outMade, bool* ended)
{
    ZSTD_inBuffer input = {in, inSize, 0};
    ZSTD_outBuffer output = {out, outSize, 0};
    // A call stops at a frame's end; a frame's last bytes may wait in the context for room.
    while (output.pos < output.size && (input.pos < input.size || decoder->frameOpen)) {
        const size_t taken = input.pos;
        const size_t made = output.pos;
        const size_t hint = ZSTD_decompressStream(decoder->context, &output, &input);
        if (ZSTD_isError(hint))
            return false;
        decoder->started = true;
        decoder->frameOpen = hint != 0;
        if (input.pos == taken && output.pos == made)
            break;
    }
    *inUsed = input.pos;
    *outMade = output.pos;
    *ended = decoder->started && !decoder->frameOpen;
    return true;
}

namespace {

uint32_t Le24(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16);
}

// The seek table at the file's end (a skippable frame whose last bytes name it), when
// there is one and it adds up to the file: the sum of its decoded frame sizes.
bool ReadSeekTable(HANDLE file, uint64_t fileSize, uint64_t* length)
{
    uint8_t footer[9];
    if (fileSize < 17 || !ReadFileAt(file, fileSize - 9, footer, 9) || Le32(footer + 5) != kSeekTableMagic ||
        (footer[4] & 0x7C) != 0)
        return false;
    const uint64_t frames = Le32(footer);
    const uint64_t entrySize = (footer[4] & 0x80) != 0 ? 12 : 8;
    const uint64_t tableSize = frames * entrySize + 9;
    if (tableSize + 8 > fileSize || tableSize > (64u << 20))
        return false;
    uint8_t header[8];
    const uint64_t tableFrame = fileSize - tableSize - 8;
    if (!ReadFileAt(file, tableFrame, header, 8) || Le32(header) != kSkippableMagic + 0x0E || Le32(header + 4) != tableSize)
        return false;
    uint8_t* entries = static_cast<uint8_t*>(malloc(static_cast<size_t>(tableSize)));
    if (entries == nullptr)
        return false;
    bool sound = ReadFileAt(file, tableFrame + 8, entries, static_cast<DWORD>(tableSize));
    uint64_t compressed = 0;
    uint64_t decoded = 0;
    for (uint64_t i = 0; sound && i < frames; ++i) {
        compressed += Le32(entries + i * entrySize);
        decoded += Le32(entries + i * entrySize + 4);
    }
    free(entries);
    if (!sound || compressed != tableFrame)
        return false;
    *length = decoded;
    return true;
}

} // namespace

bool ZstdDecodedLength(HANDLE file, uint64_t fileSize, uint64_t* length)
{
    if (ReadSeekTable(file, fileSize, length))
        return true;
    uint64_t total = 0;
    uint64_t at = 0;
    if (fileSize == 0)
        return false;
    while (at < fileSize) {
        uint8_t head[ZSTD_FRAMEHEADERSIZE_MAX] = {};
        const DWORD headSize =
            static_cast<DWORD>(fileSize - at < sizeof(head) ? fileSize - at : sizeof(head));
        if (headSize < 8 || !ReadFileAt(file, at, head, headSize))
            return false;
        if ((Le32(head) & 0xFFFFFFF0) == kSkippableMagic) {
            at += 8 + static_cast<uint64_t>(Le32(head + 4));
            continue;
        }
        ZSTD_frameHeader frame = {};
        if (ZSTD_getFrameHeader(&frame, head, headSize) != 0 || frame.frameType != ZSTD_frame ||
            frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
            return false;
        total += frame.frameContentSize;
        if (total > (1ull << 62))
            return false;
        at += frame.headerSize;
        // The blocks, each with a 3-byte header: last block flag, type, size.
        for (bool last = false; !last;) {
            uint8_t block[3];
            if (at + 3 > fileSize || !ReadFileAt(file, at, block, 3))
                return false;
            const uint32_t value = Le24(block);
            last = (value & 1) != 0;
            const uint32_t type = (value >> 1) & 3;
            if (type == 3)
                return false;
            at += 3 + (type == 1 ? 1 : value >> 3);
        }
        if (frame.checksumFlag)
            at += 4;
    }
    if (at != fileSize)
        return false;
    *length = total;
    return true;
}
