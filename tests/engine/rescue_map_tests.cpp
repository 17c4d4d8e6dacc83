// The map of a rescue: areas marked in any order end as the fewest areas that tell
// them, and the text form reads back as it was written and refuses what isn't a map.
#include <gtest/gtest.h>

#include <string>

#include "engine/rescue_map.h"

namespace {

// The areas as "pos+size" words with their letter: "0:4096+ 4096:512-".
std::string Describe(const RescueMap& map)
{
    std::string text;
    for (const RescueArea& area : map.areas)
        text += (text.empty() ? "" : " ") + std::to_string(area.pos) + ":" + std::to_string(area.size) + area.status;
    return text;
}

TEST(RescueMapTest, MarkingSplitsAndJoinsAreas)
{
    struct Mark {
        int64_t pos, size;
        char status;
    };
    const struct Case {
        const char* name;
        std::vector<Mark> marks;
        const char* areas;
    } cases[] = {
        {"nothing marked", {}, "0:8192?"},
        {"the start", {{0, 1024, '+'}}, "0:1024+ 1024:7168?"},
        {"the last sector", {{7680, 512, '-'}}, "0:7680? 7680:512-"},
        {"inside one area", {{1024, 512, '*'}}, "0:1024? 1024:512* 1536:6656?"},
        {"across three areas", {{0, 1024, '+'}, {2048, 1024, '-'}, {512, 3072, '/'}}, "0:512+ 512:3072/ 3584:4608?"},
        {"joined with both neighbours", {{0, 1024, '+'}, {2048, 6144, '+'}, {1024, 1024, '+'}}, "0:8192+"},
        {"past the end is ignored", {{7168, 4096, '+'}, {-512, 1024, '-'}}, "0:512- 512:6656? 7168:1024+"},
        {"empty marks change nothing", {{4096, 0, '+'}, {9000, 512, '+'}}, "0:8192?"},
    };
    for (const Case& c : cases) {
        RescueMap map = NewRescueMap(8192);
        for (const Mark& mark : c.marks)
            MarkArea(map, mark.pos, mark.size, mark.status);
        EXPECT_EQ(Describe(map), c.areas) << c.name;
    }
}

TEST(RescueMapTest, PassesFindTheirAreasFromWhereTheyAre)
{
    RescueMap map = NewRescueMap(8192);
    MarkArea(map, 0, 1024, '+');
    MarkArea(map, 2048, 1024, '*');
    MarkArea(map, 5120, 512, '*');
    RescueArea found;
    ASSERT_TRUE(NextArea(map, '*', 0, &found));
    EXPECT_EQ(found.pos, 2048);
    EXPECT_EQ(found.size, 1024);
    ASSERT_TRUE(NextArea(map, '*', 2560, &found)); // inside an area: its rest
    EXPECT_EQ(found.pos, 2560);
    EXPECT_EQ(found.size, 512);
    ASSERT_TRUE(NextArea(map, '*', 3072, &found));
    EXPECT_EQ(found.pos, 5120);
    EXPECT_FALSE(NextArea(map, '*', 5632, &found));
    EXPECT_EQ(BytesWithStatus(map, '?'), 8192 - 1024 - 1024 - 512);
    EXPECT_TRUE(RescueUnfinished(map));
    MarkArea(map, 0, 8192, '+');
    MarkArea(map, 512, 512, '-');
    EXPECT_FALSE(RescueUnfinished(map)) << "read and bad sectors only: nothing left to try";
    map.currentStatus = '-';
    EXPECT_TRUE(RescueUnfinished(map)) << "the retry of the bad sectors was cut off";
}

TEST(RescueMapTest, TextReadsBackAndRefusesWhatIsNoMap)
{
    RescueMap map = NewRescueMap(0x200000000LL); // past 32 bits
    MarkArea(map, 0x1000, 0x200, '-');
    MarkArea(map, 0x100000000LL, 0x10000, '/');
    map.currentPos = 0x1000;
    map.currentStatus = '/';
    map.currentPass = 3;
    const std::string text = FormatRescueMap(map);
    EXPECT_NE(text.find("\n0x00001000     /               3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n0x100000000  0x00010000  /\n"), std::string::npos) << text;
    RescueMap back;
    ASSERT_TRUE(ParseRescueMap(text, &back)) << text;
    EXPECT_EQ(Describe(back), Describe(map));
    EXPECT_EQ(back.size, map.size);
    EXPECT_EQ(back.currentPos, 0x1000);
    EXPECT_EQ(back.currentStatus, '/');
    EXPECT_EQ(back.currentPass, 3);

    const struct Case {
        const char* name;
        const char* text;
        bool valid;
        const char* areas;
    } cases[] = {
        {"another tool's map, decimal, CR LF, neighbours alike", "# x\r\n0 + 1\r\n0 512 +\r\n512 512 +\r\n1024 0x200 -\r\n",
         true, "0:1024+ 1024:512-"},
        {"a status line without a pass", "0x0 ?\n0x0 0x400 ?\n", true, "0:1024?"},
        {"annotated, a pass past 99", "0x200     -               120\t#  512 B\n# pos size status\n"
                                      "0x0  0x200  +\t#         0 B       512  \n0x200  0x200  -\t# 512 B  512\n",
         true, "0:512+ 512:512-"},
        {"no status line", "# only a comment\n", false, ""},
        {"no areas", "0x0 ? 1\n", false, ""},
        {"a gap between areas", "0 ? 1\n0 512 +\n1024 512 -\n", false, ""},
        {"not starting at 0", "0 ? 1\n512 512 +\n", false, ""},
        {"an unknown status", "0 ? 1\n0 512 x\n", false, ""},
        {"an empty area", "0 ? 1\n0 0 +\n", false, ""},
        {"a negative size", "0 ? 1\n0 -512 +\n", false, ""},
        {"a word too many", "0 ? 1\n0 512 + more\n", false, ""},
        {"a number that isn't one", "0 ? 1\n0 51z +\n", false, ""},
        {"past 63 bits", "0 ? 1\n0 0x7FFFFFFFFFFFFFFF +\n0x7FFFFFFFFFFFFFFF 1 +\n", false, ""},
    };
    for (const Case& c : cases) {
        RescueMap parsed;
        EXPECT_EQ(ParseRescueMap(c.text, &parsed), c.valid) << c.name;
        if (c.valid)
            EXPECT_EQ(Describe(parsed), c.areas) << c.name;
    }
}

} // namespace
