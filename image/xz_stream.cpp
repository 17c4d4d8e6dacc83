#include "image/xz_stream.h"

#include <zlib.h>

#include <cstring>
#include <deque>
#include <new>
#include <vector>

#include "image/file_bytes.h"
#include "image/sha256.h"

extern "C" {
#include "xz.h"
}

namespace {

// The largest dictionary a stream may ask for: xz -9 needs 64 MiB, custom settings more.
const uint32_t kDictionaryLimit = sizeof(void*) == 8 ? 1536u << 20 : 256u << 20;
const uint8_t kHeaderMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
const uint32_t kIndexLimit = 64u << 20;

LONG g_tablesReady = 0;
// Slicing by eight: table k gives the CRC of a byte followed by k zero bytes.
uint64_t g_crc64Table[8][256];

// CRC-64 of the xz check field (ECMA-182, reflected).
void FillCrc64Table()
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint64_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value >> 1) ^ ((value & 1) != 0 ? 0xC96C5795D7870F42ull : 0);
        g_crc64Table[0][i] = value;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            g_crc64Table[k][i] = (g_crc64Table[k - 1][i] >> 8) ^ g_crc64Table[0][g_crc64Table[k - 1][i] & 0xFF];
}

// Eight bytes a step: a byte a step took a fifth of the time of a restore from .xz.
uint64_t Crc64(const uint8_t* data, size_t size, uint64_t crc)
{
    crc = ~crc;
    for (; size >= 8; size -= 8, data += 8) {
        uint64_t word;
        std::memcpy(&word, data, 8); // little-endian on every processor Windows runs on here
        word ^= crc;
        crc = g_crc64Table[7][word & 0xFF] ^ g_crc64Table[6][(word >> 8) & 0xFF] ^
              g_crc64Table[5][(word >> 16) & 0xFF] ^ g_crc64Table[4][(word >> 24) & 0xFF] ^
              g_crc64Table[3][(word >> 32) & 0xFF] ^ g_crc64Table[2][(word >> 40) & 0xFF] ^
              g_crc64Table[1][(word >> 48) & 0xFF] ^ g_crc64Table[0][word >> 56];
    }
    for (; size != 0; --size, ++data)
        crc = g_crc64Table[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

enum CheckType : uint8_t { kCheckNone = 0, kCheckCrc32 = 1, kCheckCrc64 = 4, kCheckSha256 = 10 };

// Where the parse of the stream's framing stands: the decoder verifies CRC32 checks
// only, so the blocks' CRC64 and SHA-256 checks are verified here. The framing tells
// each block's decoded length (its LZMA2 chunk headers) and its check field.
enum class Frame { StreamHeader, BlockStart, BlockHeader, ChunkControl, ChunkHeader, ChunkData, BlockPadding, Check, Index };

struct BlockCheck {
    uint64_t length;
    uint8_t check[32];
};

} // namespace

struct XzDecoder {
    xz_dec* state;
    bool betweenStreams; // a stream ended: padding or the next stream follows
    uint64_t padding;    // zero bytes after it so far
    // The framing parse of the input the decoder took.
    Frame frame;
    uint8_t checkType;
    uint8_t field[32]; // the stream header, a chunk header or a check field, as it arrives
    uint32_t fieldSize;
    uint32_t fieldWanted;
    uint64_t skip;          // bytes of a block header or chunk still to pass over
    uint64_t blockBytes;    // the block's header and data so far (for its padding)
    uint64_t blockLength;   // decoded bytes the block's chunks announced
    std::deque<BlockCheck> checks; // blocks whose framing was read, oldest first
    // The decoded bytes, checked block by block.
    uint64_t madeInBlock;
    uint64_t crc64;
    Sha256 sha;
};

namespace {

uint32_t CheckSize(uint8_t type)
{
    return type == 0 ? 0 : 4u << ((type - 1) / 3);
}

void StartBlockCheck(XzDecoder& decoder)
{
    decoder.madeInBlock = 0;
    decoder.crc64 = 0;
    if (decoder.checkType == kCheckSha256)
        Sha256Init(decoder.sha);
}

void Want(XzDecoder& decoder, Frame frame, uint32_t size)
{
    decoder.frame = frame;
    decoder.fieldSize = 0;
    decoder.fieldWanted = size;
}

// Follows the framing over `size` bytes the decoder took; false where it is no xz framing
// (the decoder refuses such data too) or carries a check this build can't verify.
bool ParseTaken(XzDecoder& decoder, const uint8_t* data, size_t size)
{
    for (size_t at = 0; at < size;) {
        if (decoder.frame == Frame::Index)
            return true; // the decoder checks the index against the blocks it decoded
        if (decoder.frame == Frame::BlockHeader || decoder.frame == Frame::ChunkData) {
            const uint64_t part = decoder.skip < size - at ? decoder.skip : size - at;
            decoder.skip -= part;
            decoder.blockBytes += part;
            at += static_cast<size_t>(part);
            if (decoder.skip == 0)
                Want(decoder, Frame::ChunkControl, 1);
            continue;
        }
        const uint8_t byte = data[at++];
        if (decoder.frame != Frame::StreamHeader)
            ++decoder.blockBytes;
        if (decoder.frame == Frame::BlockPadding) {
            if (decoder.blockBytes % 4 == 0)
                Want(decoder, Frame::Check, CheckSize(decoder.checkType));
            if (decoder.blockBytes % 4 == 0 && decoder.fieldWanted == 0) {
                decoder.checks.push_back(BlockCheck{decoder.blockLength, {}});
                Want(decoder, Frame::BlockStart, 1);
            }
            continue;
        }
        decoder.field[decoder.fieldSize++] = byte;
        if (decoder.fieldSize < decoder.fieldWanted)
            continue;
        const uint8_t* field = decoder.field;
        switch (decoder.frame) {
        case Frame::StreamHeader:
            decoder.checkType = field[7] & 0x0F;
            if (decoder.checkType != kCheckNone && decoder.checkType != kCheckCrc32 &&
                decoder.checkType != kCheckCrc64 && decoder.checkType != kCheckSha256)
                return false;
            StartBlockCheck(decoder);
            Want(decoder, Frame::BlockStart, 1);
            break;
        case Frame::BlockStart:
            if (field[0] == 0) {
                decoder.frame = Frame::Index;
                break;
            }
            decoder.blockBytes = 1;
            decoder.blockLength = 0;
            decoder.skip = (field[0] + 1u) * 4 - 1;
            decoder.frame = Frame::BlockHeader;
            break;
        case Frame::ChunkControl:
            if (field[0] == 0) {
                // The block's data ends; padding to four bytes, then the check.
                if (decoder.blockBytes % 4 == 0) {
                    Want(decoder, Frame::Check, CheckSize(decoder.checkType));
                    if (decoder.fieldWanted == 0) {
                        decoder.checks.push_back(BlockCheck{decoder.blockLength, {}});
                        Want(decoder, Frame::BlockStart, 1);
                    }
                } else {
                    decoder.frame = Frame::BlockPadding;
                }
            } else if (field[0] == 1 || field[0] == 2) {
                decoder.fieldWanted = 3;
                decoder.frame = Frame::ChunkHeader;
            } else if (field[0] >= 0x80) {
                decoder.fieldWanted = field[0] >= 0xC0 ? 6 : 5;
                decoder.frame = Frame::ChunkHeader;
            } else {
                return false;
            }
            break;
        case Frame::ChunkHeader:
            if (field[0] < 0x80) {
                decoder.skip = ((field[1] << 8) | field[2]) + 1u;
                decoder.blockLength += decoder.skip;
            } else {
                decoder.blockLength += (((field[0] & 0x1Fu) << 16) | (field[1] << 8) | field[2]) + 1u;
                decoder.skip = ((field[3] << 8) | field[4]) + 1u;
            }
            decoder.frame = Frame::ChunkData;
            break;
        case Frame::Check: {
            BlockCheck check = {decoder.blockLength, {}};
            memcpy(check.check, field, decoder.fieldWanted);
            decoder.checks.push_back(check);
            Want(decoder, Frame::BlockStart, 1);
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

// Checks the decoded bytes against the check fields of their blocks.
bool CheckMade(XzDecoder& decoder, const uint8_t* data, size_t size)
{
    for (;;) {
        // The decoder can't give bytes of a block whose framing it hasn't taken: a block still
        // being read takes them all.
        size_t part = size;
        if (!decoder.checks.empty() && decoder.checks.front().length - decoder.madeInBlock < part)
            part = static_cast<size_t>(decoder.checks.front().length - decoder.madeInBlock);
        if (decoder.checkType == kCheckCrc64)
            decoder.crc64 = Crc64(data, part, decoder.crc64);
        else if (decoder.checkType == kCheckSha256)
            Sha256Update(decoder.sha, data, part);
        decoder.madeInBlock += part;
        data += part;
        size -= part;
        if (decoder.checks.empty() || decoder.madeInBlock < decoder.checks.front().length)
            return size == 0;
        const BlockCheck& check = decoder.checks.front();
        if (decoder.checkType == kCheckCrc64) {
            for (int i = 0; i < 8; ++i)
                if (check.check[i] != static_cast<uint8_t>(decoder.crc64 >> (8 * i)))
                    return false;
        } else if (decoder.checkType == kCheckSha256) {
            uint8_t digest[kSha256Size];
            Sha256Final(decoder.sha, digest);
            if (memcmp(digest, check.check, kSha256Size) != 0)
                return false;
        }
        decoder.checks.pop_front();
        StartBlockCheck(decoder);
        if (size == 0)
            return true;
    }
}

} // namespace

XzDecoder* XzDecoderNew()
{
    // The tables are filled once; filling them twice writes the same values.
    if (InterlockedCompareExchange(&g_tablesReady, 1, 0) == 0) {
        xz_crc32_init();
        FillCrc64Table();
    }
    XzDecoder* decoder = new (std::nothrow) XzDecoder();
    if (decoder == nullptr)
        return nullptr;
    decoder->state = xz_dec_init(XZ_DYNALLOC, kDictionaryLimit);
    if (decoder->state == nullptr) {
        delete decoder;
        return nullptr;
    }
    Want(*decoder, Frame::StreamHeader, 12);
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
            decoder->checks.clear();
            Want(*decoder, Frame::StreamHeader, 12);
        }
        if (buffer.in_pos == buffer.in_size || buffer.out_pos == buffer.out_size)
            break;
        const size_t takenBefore = buffer.in_pos;
        const size_t madeBefore = buffer.out_pos;
        const xz_ret result = xz_dec_run(decoder->state, &buffer);
        if (!ParseTaken(*decoder, in + takenBefore, buffer.in_pos - takenBefore) ||
            !CheckMade(*decoder, out + madeBefore, buffer.out_pos - madeBefore))
            return false;
        if (result == XZ_STREAM_END) {
            // Every block decoded was checked.
            if (decoder->madeInBlock != 0 || !decoder->checks.empty())
                return false;
            decoder->betweenStreams = true;
            decoder->padding = 0;
            continue;
        }
        // A check other than CRC32 is announced once and then skipped over (and checked here).
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
        if (size % 4 != 0 || !ReadFileAt(file, *end - size, block, size))
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
    if (end < 24 || !ReadFileAt(file, end - 12, footer, 12))
        return false;
    if (footer[10] != 'Y' || footer[11] != 'Z' || Crc32(footer + 4, 6) != Le32(footer) || footer[8] != 0 ||
        footer[9] > 0x0F)
        return false;
    const uint64_t indexSize = (static_cast<uint64_t>(Le32(footer + 4)) + 1) * 4;
    if (indexSize > kIndexLimit || indexSize + 24 > end)
        return false;
    const uint64_t indexStart = end - 12 - indexSize;
    std::vector<uint8_t> index(static_cast<size_t>(indexSize));
    if (!ReadFileAt(file, indexStart, index.data(), static_cast<DWORD>(indexSize)))
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
    if (!ReadFileAt(file, *start, header, 12) || memcmp(header, kHeaderMagic, 6) != 0 ||
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
