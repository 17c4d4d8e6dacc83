#include "image/xz_stream.h"

#include <zlib.h>

#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include "xz.h"
}

namespace {

// The largest dictionary a stream may ask for: xz -9 needs 64 MiB, custom settings more.
const uint32_t kDictionaryLimit = sizeof(void*) == 8 ? 1536u << 20 : 256u << 20;
const uint8_t kHeaderMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
const uint32_t kIndexLimit = 64u << 20;

LONG g_crcTableReady = 0;

} // namespace

struct XzDecoder {
    xz_dec* state;
    bool betweenStreams; // a stream ended: padding or the next stream follows
    uint64_t padding;    // zero bytes after it so far
};

XzDecoder* XzDecoderNew()
{
    // The CRC table is filled once; filling it twice writes the same values.
    if (InterlockedCompareExchange(&g_crcTableReady, 1, 0) == 0)
        xz_crc32_init();
    XzDecoder* decoder = new (std::nothrow) XzDecoder();
    if (decoder == nullptr)
        return nullptr;
    decoder->state = xz_dec_init(XZ_DYNALLOC, kDictionaryLimit);
    if (decoder->state == nullptr) {
        delete decoder;
        return nullptr;
    }
    return decoder;
}

void XzDecoderFree(XzDecoder* decoder)
{
    if (decoder == nullptr)
        return;
    xz_dec_end(decoder->state);
    delete decoder;
}

bool XzDecode(XzDecoder* decoder, const uint8_t* in, size_t inSize, size_t* inUsed, uint8_t* out, size_t outSize,
              size_t* outMade, bool* ended)
{
    xz_buf buffer = {in, 0, inSize, out, 0, outSize};
    for (;;) {
        if (decoder->betweenStreams) {
            // Stream padding: zero bytes in a multiple of four, then maybe another stream.
            while (buffer.in_pos < buffer.in_size && buffer.in[buffer.in_pos] == 0) {
                ++buffer.in_pos;
                ++decoder->padding;
            }
            if (buffer.in_pos == buffer.in_size)
                break;
            if (decoder->padding % 4 != 0)
                return false;
            xz_dec_reset(decoder->state);
            decoder->betweenStreams = false;
        }
        if (buffer.in_pos == buffer.in_size || buffer.out_pos == buffer.out_size)
            break;
        const xz_ret result = xz_dec_run(decoder->state, &buffer);
        if (result == XZ_STREAM_END) {
            decoder->betweenStreams = true;
            decoder->padding = 0;
            continue;
        }
        // A check other than CRC32 is announced once and then skipped over.
        if (result == XZ_UNSUPPORTED_CHECK)
            continue;
        // No progress possible with what was given: more input or more room is needed.
        if (result == XZ_OK || result == XZ_BUF_ERROR)
            break;
        return false;
    }
    *inUsed = buffer.in_pos;
    *outMade = buffer.out_pos;
    *ended = decoder->betweenStreams && decoder->padding % 4 == 0;
    return true;
}

namespace {

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD size)
{
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD done = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ReadFile(file, buffer, size, &done, nullptr) &&
           done == size;
}

uint32_t Le32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t Crc32(const uint8_t* data, size_t size)
{
    return static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size)));
}

// A variable-length integer of the index at `*at`; false past `end` or when malformed.
bool ReadNumber(const std::vector<uint8_t>& data, size_t end, size_t* at, uint64_t* value)
{
    *value = 0;
    for (int i = 0; i < 9; ++i) {
        if (*at >= end)
            return false;
        const uint8_t byte = data[(*at)++];
        *value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0)
            return byte != 0 || i == 0; // no superfluous zero bytes
    }
    return false;
}

// Moves `*end` back over the stream padding before it: zero bytes, four at a time.
bool SkipPadding(HANDLE file, uint64_t* end)
{
    uint8_t block[65536];
    while (*end > 0) {
        const DWORD size = static_cast<DWORD>(*end < sizeof(block) ? *end : sizeof(block));
        if (size % 4 != 0 || !ReadAt(file, *end - size, block, size))
            return false;
        DWORD zeros = 0;
        while (zeros + 4 <= size && Le32(block + size - zeros - 4) == 0)
            zeros += 4;
        *end -= zeros;
        if (zeros < size)
            return true;
    }
    return true;
}

// The stream that ends at `end`: its decoded length, and where it starts.
bool ReadStreamBackwards(HANDLE file, uint64_t end, uint64_t* decoded, uint64_t* start)
{
    uint8_t footer[12];
    if (end < 24 || !ReadAt(file, end - 12, footer, 12))
        return false;
    if (footer[10] != 'Y' || footer[11] != 'Z' || Crc32(footer + 4, 6) != Le32(footer) || footer[8] != 0 ||
        footer[9] > 0x0F)
        return false;
    const uint64_t indexSize = (static_cast<uint64_t>(Le32(footer + 4)) + 1) * 4;
    if (indexSize > kIndexLimit || indexSize + 24 > end)
        return false;
    const uint64_t indexStart = end - 12 - indexSize;
    std::vector<uint8_t> index(static_cast<size_t>(indexSize));
    if (!ReadAt(file, indexStart, index.data(), static_cast<DWORD>(indexSize)))
        return false;
    const size_t crcAt = index.size() - 4;
    if (index[0] != 0 || Crc32(index.data(), crcAt) != Le32(index.data() + crcAt))
        return false;
    size_t at = 1;
    uint64_t records = 0;
    if (!ReadNumber(index, crcAt, &at, &records))
        return false;
    uint64_t blocks = 0;
    uint64_t total = 0;
    for (uint64_t i = 0; i < records; ++i) {
        uint64_t unpadded = 0;
        uint64_t uncompressed = 0;
        if (!ReadNumber(index, crcAt, &at, &unpadded) || !ReadNumber(index, crcAt, &at, &uncompressed) ||
            unpadded == 0 || unpadded > (1ull << 62) || uncompressed > (1ull << 62))
            return false;
        blocks += (unpadded + 3) & ~3ull;
        total += uncompressed;
        if (blocks > end || total > (1ull << 62))
            return false;
    }
    // Index padding up to the CRC32, zeros only.
    if (crcAt - at >= 4)
        return false;
    for (; at < crcAt; ++at)
        if (index[at] != 0)
            return false;
    if (blocks + 12 > indexStart)
        return false;
    *start = indexStart - blocks - 12;
    uint8_t header[12];
    if (!ReadAt(file, *start, header, 12) || memcmp(header, kHeaderMagic, 6) != 0 ||
        memcmp(header + 6, footer + 8, 2) != 0 || Crc32(header + 6, 2) != Le32(header + 8))
        return false;
    *decoded = total;
    return true;
}

} // namespace

bool XzDecodedLength(HANDLE file, uint64_t fileSize, uint64_t* length)
{
    if (fileSize % 4 != 0)
        return false;
    uint64_t total = 0;
    uint64_t end = fileSize;
    bool any = false;
    for (;;) {
        if (!SkipPadding(file, &end))
            return false;
        if (end == 0)
            break;
        uint64_t decoded = 0;
        uint64_t start = 0;
        if (!ReadStreamBackwards(file, end, &decoded, &start))
            return false;
        total += decoded;
        if (total > (1ull << 62))
            return false;
        any = true;
        end = start;
    }
    if (!any)
        return false;
    *length = total;
    return true;
}
