// The SHA-256 of images and the checksum files beside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "image/checksum_file.h"
#include "engine/first_difference.h"
#include "image/image_hash.h"
#include "image/sha256.h"

#if defined(__i386__) && defined(__GNUC__)
#include <emmintrin.h>
// Calls fn(arg) with the stack `gap` bytes below a 16-byte boundary before the
// argument is pushed: a gap of 12 is what a 16-byte-aligning caller gives, 0, 4
// and 8 are the other stacks 32-bit Windows may hand a thread or a callback.
extern "C" int KorvaneCallWithStackGap(int (*fn)(void*), void* arg, unsigned gap);
asm(".text\n"
    ".globl _KorvaneCallWithStackGap\n"
    "_KorvaneCallWithStackGap:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  movl 16(%ebp), %ecx\n"
    "  andl $-16, %esp\n"
    "  subl %ecx, %esp\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");
#define KORVANE_STACK_GAPS 1
#endif

namespace {

std::string Hex(const BYTE digest[kSha256Size])
{
    const std::wstring hex = DigestHex(digest);
    return std::string(hex.begin(), hex.end());
}

TEST(Sha256, PublishedExamplesOnBothPathsInPiecesOfAnySize)
{
    struct Case {
        std::string message;
        size_t repeat;
        const char* digest;
    } cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 448 bits: the padding no longer fits the block and takes one more.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    std::vector<bool> paths{true};
    if (Sha256HasProcessorRounds())
        paths.push_back(false);
    else
        std::printf("the processor has no SHA instructions: the portable path only\n");
    for (const Case& c : cases) {
        std::string message;
        for (size_t i = 0; i < c.repeat; ++i)
            message += c.message;
        const BYTE* data = reinterpret_cast<const BYTE*>(message.data());
        for (bool portable : paths)
            for (size_t piece : {message.size() + 1, size_t(1), size_t(63), size_t(65), size_t(8225280)}) {
                SCOPED_TRACE(std::string(c.digest) + (portable ? " portable" : " processor") + " piece " +
                             std::to_string(piece));
                Sha256 hash;
                Sha256Init(hash, portable);
                for (size_t at = 0; at < message.size(); at += piece)
                    Sha256Update(hash, data + at, std::min(piece, message.size() - at));
                BYTE digest[kSha256Size];
                Sha256Final(hash, digest);
                EXPECT_EQ(Hex(digest), c.digest);
            }
    }
}

// The hash's thread takes copied and lent pieces in the order given, and a lent piece
// comes back only once the hash has read it and its other holder let go too: the lender
// writes over it at once.
TEST(ImageHash, LentPiecesComeBackOnlyOnceHashed)
{
    const size_t piece = 2 << 20;
    std::vector<BYTE> message(8 * piece);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<BYTE>(i * 7 + i / 4099);
    Sha256 whole;
    Sha256Init(whole);
    Sha256Update(whole, message.data(), message.size());
    BYTE expected[kSha256Size];
    Sha256Final(whole, expected);

    ImageHash* hash = StartImageHash();
    ASSERT_NE(hash, nullptr);
    const HANDLE back = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    std::vector<BYTE> lent(piece);
    LONG holders = 0;
    for (size_t at = 0; at < message.size(); at += piece) {
        if (at / piece % 3 == 0) {
            FeedImageHash(*hash, message.data() + at, piece);
            continue;
        }
        std::copy(message.begin() + at, message.begin() + at + piece, lent.begin());
        holders = 1;
        LendImageHash(*hash, lent.data(), piece, &holders, back);
        ASSERT_TRUE(LetGoOfPart(&holders, back));
        ASSERT_EQ(WaitForSingleObject(back, 10000), WAIT_OBJECT_0);
        std::fill(lent.begin(), lent.end(), BYTE(0xEE));
    }
    BYTE digest[kSha256Size];
    EXPECT_TRUE(FinishImageHash(hash, digest));
    EXPECT_EQ(Hex(digest), Hex(expected));
    CloseHandle(back);
}

#ifdef KORVANE_STACK_GAPS
// What runs on the odd stack computes only: its buffers are made before, and the
// system is not called from there.
struct OnAnyStack {
    bool portable;
    const std::vector<BYTE>* data;
    const std::vector<BYTE>* other;
    BYTE digest[kSha256Size];
    size_t difference;
};

// SSE values in 16-byte-aligned stack slots, read with aligned loads: on a stack
// the function doesn't realign they fault.
__attribute__((target("sse2"), noinline)) int SumSlots(const __m128i* slots)
{
    __m128i sum = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i)
        sum = _mm_add_epi32(sum, _mm_load_si128(slots + i));
    return _mm_cvtsi128_si32(sum);
}

__attribute__((target("sse2"), noinline)) int SpillsSse(void*)
{
    __m128i slots[4];
    for (int i = 0; i < 4; ++i)
        _mm_store_si128(slots + i, _mm_set1_epi32(i));
    return SumSlots(slots);
}

int HashAndCompare(void* context)
{
    OnAnyStack& run = *static_cast<OnAnyStack*>(context);
    Sha256 hash;
    Sha256Init(hash, run.portable);
    Sha256Update(hash, run.data->data(), run.data->size());
    Sha256Final(hash, run.digest);
    run.difference = FirstDifference(run.data->data(), run.other->data(), run.data->size());
    return 1;
}

// The 32-bit build runs on whatever stack the system hands a thread or a callback.
TEST(Sha256, EveryPathRunsOnAStackOfAnyAlignment)
{
    std::vector<bool> paths{true};
    if (Sha256HasProcessorRounds())
        paths.push_back(false);
    const std::vector<BYTE> data(1 << 16, 0x5A);
    std::vector<BYTE> other(data);
    other[40000] ^= 1;
    EXPECT_EQ(FirstDifference(data.data(), other.data(), data.size()), 40000u); // asks the processor once
    for (unsigned gap : {0u, 4u, 8u, 12u}) {
        SCOPED_TRACE("stack gap " + std::to_string(gap));
        EXPECT_EQ(KorvaneCallWithStackGap(SpillsSse, nullptr, gap), 6);
        for (bool portable : paths) {
            OnAnyStack run{portable, &data, &other, {}, 0};
            ASSERT_EQ(KorvaneCallWithStackGap(HashAndCompare, &run, gap), 1);
            EXPECT_EQ(Hex(run.digest), "944044fe482bc4e91085c15c5a923a1b9e02eac98d3bce04997d6dbecd2a5b8d") << portable;
            EXPECT_EQ(run.difference, 40000u);
        }
    }
}
#endif

TEST(ChecksumFile, EntriesAreFoundAsSha256sumWritesThemAndNamesComparedWithoutCase)
{
    const std::string kSigned = "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\n";
    const std::string kSignature = "-----BEGIN PGP SIGNATURE-----\n\niQEzBAEBCAAdFiEE+abc/def==\n=x1Yz\n"
                                   "-----END PGP SIGNATURE-----\n";
    const std::string a(64, 'a'), b(64, 'b'), upper(64, 'B');
    enum { Listed = 0, NotListed = 1, Malformed = 2 };
    struct Case {
        std::string text;
        std::wstring name;
        bool namedAfterImage;
        int expected;
        const std::string* digest;
    } cases[] = {
        {a + "  floppy.hdd\n", L"floppy.hdd", false, Listed, &a},
        {b + "  other.hdd\r\n" + a + " *FLOPPY.HDD\r\n", L"floppy.hdd", false, Listed, &a},    // binary marker, CRLF
        {upper + "  ./floppy.hdd", L"floppy.hdd", false, Listed, &b},                          // upper-case digits
        {"\xEF\xBB\xBF" + a + "  Bild-\xC3\xA4.hdd\n", L"bild-\u00C4.HDD", false, Listed, &a}, // UTF-8 name
        {b + "  other.hdd\n\n", L"floppy.hdd", false, NotListed, nullptr},
        {b + "  other.hdd\n", L"floppy.hdd", true, Listed, &b}, // renamed with its image
        {b + "\n", L"floppy.hdd", true, Listed, &b},            // a bare digest
        {a + "  one.hdd\n" + b + "  two.hdd\n", L"floppy.hdd", true, NotListed, nullptr},
        {"-----BEGIN-----\n" + a + "  floppy.hdd\n", L"floppy.hdd", false, Listed, &a},
        {"-----BEGIN-----\n" + b + "  other.hdd\n", L"floppy.hdd", true, Malformed, nullptr},
        {a.substr(1) + "g  floppy.hdd\n", L"floppy.hdd", true, Malformed, nullptr},
        {a + "\tfloppy.hdd\n", L"floppy.hdd", true, Malformed, nullptr},
        {a + "  \n", L"floppy.hdd", true, Malformed, nullptr},
        {"", L"floppy.hdd", true, NotListed, nullptr},
        // Signed in the clear, read between the armour's lines; lines of other forms in a
        // list of many files count only when they name the image.
        {kSigned + a + "  floppy.hdd\n" + kSignature, L"floppy.hdd", false, Listed, &a},
        {kSigned + b + "  other.hdd\n" + kSignature, L"floppy.hdd", false, NotListed, nullptr},
        {kSigned + b + "  renamed.hdd\n" + kSignature, L"floppy.hdd", true, Listed, &b},
        {"SHA256 (other.iso) = " + b + "\n" + b + "  other.hdd\n", L"floppy.hdd", false, NotListed, nullptr},
        {"SHA256 (floppy.hdd) = " + a + "\n", L"floppy.hdd", false, Malformed, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        BYTE digest[kSha256Size] = {};
        EXPECT_EQ(static_cast<int>(FindChecksumEntry(c.text, c.name, c.namedAfterImage, digest)), c.expected);
        if (c.digest != nullptr)
            EXPECT_EQ(Hex(digest), std::string(64, static_cast<char>(tolower((*c.digest)[0]))));
    }
    BYTE digest[kSha256Size];
    for (size_t i = 0; i < kSha256Size; ++i)
        digest[i] = static_cast<BYTE>(i * 8);
    EXPECT_EQ(ChecksumLine(digest, L"Bild-\u00E4.hdd"),
              "0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8  Bild-\xC3\xA4.hdd\n");
}

} // namespace
