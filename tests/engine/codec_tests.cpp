// The xz and zstd decoders and the lengths the files record, against files the
// standard tools make: several blocks, streams and frames, no content size,
// truncated and corrupted files.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "image/xz_stream.h"
#include "image/zstd_stream.h"
#include "tests/support/win_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Decodes `file` whole, fed in odd pieces into a small output buffer; false on a decode error.
template <typename Decoder>
bool DecodeAll(Decoder* (*create)(), void (*release)(Decoder*),
               bool (*decode)(Decoder*, const uint8_t*, size_t, size_t*, uint8_t*, size_t, size_t*, bool*),
               const Bytes& file, Bytes* decoded, bool* ended)
{
    Decoder* decoder = create();
    if (decoder == nullptr)
        return false;
    uint8_t out[50000];
    size_t at = 0;
    bool sound = true;
    *ended = false;
    for (;;) {
        const size_t piece = file.size() - at < 7001 ? file.size() - at : 7001;
        size_t used = 0, made = 0;
        sound = decode(decoder, file.data() + at, piece, &used, out, sizeof(out), &made, ended);
        if (!sound)
            break;
        at += used;
        decoded->insert(decoded->end(), out, out + made);
        if (at == file.size() && made == 0)
            break;
    }
    release(decoder);
    return sound;
}

bool LengthOf(bool (*length)(HANDLE, uint64_t, uint64_t*), const std::wstring& path, uint64_t* result)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    const bool known = GetFileSizeEx(file, &size) && length(file, static_cast<uint64_t>(size.QuadPart), result);
    CloseHandle(file);
    return known;
}

TEST(Codecs, StandardToolFilesDecodeAndTellTheirLength)
{
    // 3 MiB and a bit: bytes that don't compress (xz stores them as they are: only the check
    // finds a changed byte), then runs of zeros among them.
    Bytes data = ts::Pattern(3 * 1048576 + 4321, 7);
    for (size_t i = 1048576; i < data.size(); i += 65536)
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(i),
                  data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), i + 40000)), 0);
    const std::wstring source = ts::TempPath(L"codec-data.bin");
    ASSERT_TRUE(ts::WriteWholeFile(source, data));
    const std::string in = "'" + ts::LinuxPath(source) + "'";
    const std::string half = "head -c 1000000 " + in + " ";
    const std::string rest = "tail -c +1000001 " + in + " ";
    const std::string padding = "head -c 8 /dev/zero; ";
    const std::string skippable =
        "python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(\"502a4d18050000006b6f727661\"))'; ";
    struct Row {
        const char* name;
        bool xz;
        std::string command; // writes the file to standard output
        bool decodes;        // to the data, ending where a stream or frame does
        bool lengthKnown;
        size_t corruptAt = 0; // a byte changed there, if not 0
    } rows[] = {
        {"xz", true, "xz -c " + in, true, true},
        {"xz blocks", true, "xz -T2 --block-size=300000 -c " + in, true, true},
        {"xz streams and padding", true, "{ " + half + "| xz -c; " + padding + rest + "| xz -c; }",
         true, true},
        {"xz crc32, no check", true, "{ " + half + "| xz --check=crc32 -c; " + rest + "| xz --check=none -c; }", true,
         true},
        {"xz truncated", true, "xz -c " + in + " | head -c -40", false, false},
        {"xz padding not of four", true, "{ xz -c " + in + "; head -c 2 /dev/zero; }", false, false},
        {"xz sha256", true, "xz --check=sha256 -c " + in, true, true},
        {"xz crc32 corrupted", true, "xz --check=crc32 -c " + in, false, true, 200000},
        {"xz crc64 corrupted", true, "xz -c " + in, false, true, 200000},
        {"xz sha256 corrupted", true, "xz --check=sha256 -c " + in, false, true, 200000},
        {"zstd", false, "zstd -q -c " + in, true, true},
        {"zstd no content size", false, "zstd -q --no-content-size -c " + in, true, false},
        {"zstd frames and skippable", false, "{ " + half + "| zstd -q -c --stream-size=1000000; " + skippable + rest +
                                              "| zstd -q -c --stream-size=" + std::to_string(data.size() - 1000000) + "; }",
         true, true},
        {"zstd truncated", false, "zstd -q -c " + in + " | head -c -40", false, false},
        {"zstd corrupted", false, "zstd -q -c " + in, false, true, 200000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring path = ts::TempPath(L"codec-file");
        std::string output;
        ASSERT_TRUE(ts::RunLinuxShell("(" + row.command + ") > '" + ts::LinuxPath(path) + "'", &output, 60000));
        Bytes file;
        ASSERT_TRUE(ts::ReadWholeFile(path, &file));
        ASSERT_GT(file.size(), row.corruptAt);
        if (row.corruptAt != 0) {
            file[row.corruptAt] ^= 0x40;
            ASSERT_TRUE(ts::WriteWholeFile(path, file));
        }
        Bytes decoded;
        bool ended = false;
        const bool sound = row.xz ? DecodeAll(XzDecoderNew, XzDecoderFree, XzDecode, file, &decoded, &ended)
                                  : DecodeAll(ZstdDecoderNew, ZstdDecoderFree, ZstdDecode, file, &decoded, &ended);
        EXPECT_EQ(sound && ended && decoded == data, row.decodes) << sound << ended << decoded.size();
        // A damaged file is refused, never decoded to other bytes as if it were whole.
        if (!row.decodes)
            EXPECT_FALSE(sound && ended);
        uint64_t length = 0;
        const bool known = LengthOf(row.xz ? XzDecodedLength : ZstdDecodedLength, path, &length);
        EXPECT_EQ(known, row.lengthKnown);
        if (known)
            EXPECT_EQ(length, data.size());
        DeleteFileW(path.c_str());
    }
    DeleteFileW(source.c_str());
}

} // namespace
