// The map of a rescue: which areas of a drive were read, which failed and
// which were not tried yet, in the text form that the standard recovery tools
// read and continue. Pure: no file and no window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The state of an area, as its letter in the map file.
const char kAreaNotTried = '?';
const char kAreaNotSplit = '*';   // a chunk that failed, not yet read again in blocks
const char kAreaNotScraped = '/'; // a block that failed, not yet read sector by sector
const char kAreaBad = '-';        // sectors that failed every read; as the running pass: retrying them
const char kAreaRead = '+';

struct RescueArea {
    int64_t pos = 0;
    int64_t size = 0;
    char status = kAreaNotTried;
};

// Areas in order, each following the one before, together covering [0, size),
// neighbours never of the same status: it grows with the number of bad areas,
// not with the drive.
struct RescueMap {
    int64_t size = 0;
    int64_t currentPos = 0;
    char currentStatus = kAreaNotTried; // the running pass: '?', '*', '/', '-', or '+' when finished
    int currentPass = 1;
    std::vector<RescueArea> areas;
};

// A map of `size` bytes, none of them tried.
RescueMap NewRescueMap(int64_t size);
// Gives [pos, pos + size) the status `status`, splitting and joining areas; the part
// outside the map is ignored.
void MarkArea(RescueMap& map, int64_t pos, int64_t size, char status);
// The first part of an area of status `status` at or after byte `from`, cut to start
// at `from`; false when there is none.
bool NextArea(const RescueMap& map, char status, int64_t from, RescueArea* found);
int64_t BytesWithStatus(const RescueMap& map, char status);
// Not yet tried, split or scraped, or bad sectors whose retry pass was cut off: what a
// later run still has to read.
bool RescueUnfinished(const RescueMap& map);

// The map file's text: comment lines, the status line, one line per area, in hexadecimal.
std::string FormatRescueMap(const RescueMap& map);
// Reads such a text; false unless its areas are valid and follow each other from byte 0.
// Neighbours of the same status are joined.
bool ParseRescueMap(const std::string& text, RescueMap* map);
