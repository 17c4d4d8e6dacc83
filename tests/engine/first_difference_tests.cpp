// The comparison under the verify pass: both ways of it (16-byte steps and words)
// must name the same first differing byte wherever it lies relative to their steps,
// on buffers at any alignment.
#include <gtest/gtest.h>

#include <vector>

#include "engine/first_difference.h"

namespace {

// Lengths around the step sizes and a tail after many whole steps.
const size_t kLengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 4096 + 37};

TEST(FirstDifferenceTest, EqualBuffersReachTheEnd)
{
    std::vector<BYTE> a(4200), b(4200);
    for (size_t k = 0; k < a.size(); ++k)
        a[k] = b[k] = static_cast<BYTE>(k * 7 + 3);
    for (size_t shift = 0; shift < 4; ++shift)
        for (size_t length : kLengths) {
            EXPECT_EQ(FirstDifference(a.data() + shift, b.data() + shift, length), length) << length;
            EXPECT_EQ(FirstDifferenceByWords(a.data() + shift, b.data() + shift, length), length) << length;
        }
}

TEST(FirstDifferenceTest, NamesTheFirstDifferingByteAnywhere)
{
    for (size_t shift = 0; shift < 3; ++shift)
        for (size_t length : kLengths)
            for (size_t at = 0; at < length; ++at) {
                // Only byte positions near the step edges and the ends, beyond the small lengths.
                if (length > 128 && at > 130 && at + 130 < length && at % 61 != 0)
                    continue;
                std::vector<BYTE> a(length + 3, 0x5A), b(length + 3, 0x5A);
                b[shift + at] ^= 0x01; // one flipped bit
                if (at + 1 < length)
                    b[shift + length - 1] = 0; // a later difference must not win
                EXPECT_EQ(FirstDifference(a.data() + shift, b.data() + shift, length), at) << length << " " << at;
                EXPECT_EQ(FirstDifferenceByWords(a.data() + shift, b.data() + shift, length), at)
                    << length << " " << at;
            }
}

} // namespace
