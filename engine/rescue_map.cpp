#include "engine/rescue_map.h"

#include <algorithm>
#include <cstddef>

namespace {

bool IsAreaStatus(char status)
{
    return status == '?' || status == '*' || status == '/' || status == '-' || status == '+';
}

// The pass letters a map's status line may hold besides the area letters.
bool IsRunStatus(char status)
{
    return IsAreaStatus(status) || status == 'F' || status == 'G';
}

// Joins neighbours of the same status and drops empty areas.
void Normalize(RescueMap& map)
{
    std::vector<RescueArea> joined;
    for (const RescueArea& area : map.areas) {
        if (area.size <= 0)
            continue;
        if (!joined.empty() && joined.back().status == area.status)
            joined.back().size += area.size;
        else
            joined.push_back(area);
    }
    map.areas.swap(joined);
}

// The words of a line up to its comment: annotated maps tell each line's figures after a '#'.
std::vector<std::string> Words(const std::string& text)
{
    const std::string line = text.substr(0, text.find('#'));
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
        const size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// A whole word as a number of zero or more, in decimal or with 0x in hexadecimal.
bool ReadNumber(const std::string& word, int64_t* value)
{
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const uint64_t base = hex ? 16 : 10;
    if (word.empty() || word.size() > 20)
        return false;
    uint64_t number = 0;
    for (size_t at = hex ? 2 : 0; at < word.size(); ++at) {
        const char c = word[at];
        uint64_t digit = base;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint64_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<uint64_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<uint64_t>(c - 'A' + 10);
        if (digit >= base || number > (static_cast<uint64_t>(INT64_MAX) - digit) / base)
            return false;
        number = number * base + digit;
    }
    *value = static_cast<int64_t>(number);
    return true;
}

std::string Decimal(int value)
{
    std::string digits;
    for (unsigned rest = static_cast<unsigned>(value); rest != 0 || digits.empty(); rest /= 10)
        digits.insert(digits.begin(), static_cast<char>('0' + rest % 10));
    return digits;
}

// "0x" and at least eight hexadecimal digits, as the map files of the standard tools have them.
std::string Hex(int64_t value)
{
    std::string digits;
    for (uint64_t rest = static_cast<uint64_t>(value); rest != 0 || digits.size() < 8; rest >>= 4)
        digits.insert(digits.begin(), "0123456789ABCDEF"[rest & 15]);
    return "0x" + digits;
}

} // namespace

RescueMap NewRescueMap(int64_t size)
{
    RescueMap map;
    map.size = size;
    if (size > 0)
        map.areas.push_back({0, size, kAreaNotTried});
    return map;
}

void MarkArea(RescueMap& map, int64_t pos, int64_t size, char status)
{
    const int64_t begin = std::max<int64_t>(pos, 0);
    const int64_t end = std::min(pos + size, map.size);
    if (begin >= end)
        return;
    // Only the areas it touches change: a rescue marks every piece it reads, and the
    // list may hold many bad areas.
    std::vector<RescueArea>& areas = map.areas;
    const auto first = std::upper_bound(areas.begin(), areas.end(), begin,
                                        [](int64_t at, const RescueArea& area) { return at < area.pos + area.size; });
    const auto last = std::lower_bound(first, areas.end(), end,
                                       [](const RescueArea& area, int64_t at) { return area.pos < at; });
    const RescueArea head = *first;
    const RescueArea tail = *(last - 1);
    RescueArea parts[3];
    size_t count = 0;
    if (head.pos < begin)
        parts[count++] = {head.pos, begin - head.pos, head.status};
    parts[count++] = {begin, end - begin, status};
    if (tail.pos + tail.size > end)
        parts[count++] = {end, tail.pos + tail.size - end, tail.status};
    const size_t at = static_cast<size_t>(first - areas.begin());
    areas.erase(first, last);
    areas.insert(areas.begin() + static_cast<std::ptrdiff_t>(at), parts, parts + count);
    // Joined with its neighbours where they have the same status.
    const size_t from = at > 0 ? at - 1 : 0;
    const size_t to = std::min(areas.size(), at + count + 1);
    size_t kept = from;
    for (size_t next = from + 1; next < to; ++next) {
        if (areas[next].status == areas[kept].status)
            areas[kept].size += areas[next].size;
        else
            areas[++kept] = areas[next];
    }
    areas.erase(areas.begin() + static_cast<std::ptrdiff_t>(kept + 1), areas.begin() + static_cast<std::ptrdiff_t>(to));
}

bool NextArea(const RescueMap& map, char status, int64_t from, RescueArea* found)
{
    // Areas are in order: the first one ending after `from` is found by halving.
    auto it = std::upper_bound(map.areas.begin(), map.areas.end(), from,
                               [](int64_t at, const RescueArea& area) { return at < area.pos + area.size; });
    for (; it != map.areas.end(); ++it)
        if (it->status == status) {
            const int64_t begin = std::max(it->pos, from);
            *found = {begin, it->pos + it->size - begin, status};
            return true;
        }
    return false;
}

int64_t BytesWithStatus(const RescueMap& map, char status)
{
    int64_t bytes = 0;
    for (const RescueArea& area : map.areas)
        if (area.status == status)
            bytes += area.size;
    return bytes;
}

bool RescueUnfinished(const RescueMap& map)
{
    for (const RescueArea& area : map.areas)
        if (area.status != kAreaRead && (area.status != kAreaBad || map.currentStatus == kAreaBad))
            return true;
    return false;
}

std::string FormatRescueMap(const RescueMap& map)
{
    std::string text = "# Rescue map of a physical drive, written by Korvane\n"
                       "# current_pos  current_status  current_pass\n";
    text += Hex(map.currentPos) + "     " + map.currentStatus + "               " + Decimal(map.currentPass) +
            "\n#      pos        size  status\n";
    for (const RescueArea& area : map.areas)
        text += Hex(area.pos) + "  " + Hex(area.size) + "  " + area.status + "\n";
    return text;
}

bool ParseRescueMap(const std::string& text, RescueMap* map)
{
    RescueMap parsed;
    bool statusSeen = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::vector<std::string> words = Words(text.substr(at, end - at));
        at = end + 1;
        if (words.empty())
            continue;
        int64_t pos = 0, size = 0, pass = 1;
        if (!statusSeen) {
            // "pos status [pass]": maps of older tools have no pass.
            if (words.size() < 2 || words.size() > 3 || !ReadNumber(words[0], &pos) || words[1].size() != 1 ||
                !IsRunStatus(words[1][0]) || (words.size() == 3 && !ReadNumber(words[2], &pass)) || pass > INT32_MAX)
                return false;
            parsed.currentPos = pos;
            parsed.currentStatus = words[1][0];
            parsed.currentPass = static_cast<int>(pass);
            statusSeen = true;
            continue;
        }
        if (words.size() != 3 || !ReadNumber(words[0], &pos) || !ReadNumber(words[1], &size) || words[2].size() != 1 ||
            !IsAreaStatus(words[2][0]) || size <= 0 || pos != parsed.size || size > INT64_MAX - pos)
            return false;
        parsed.areas.push_back({pos, size, words[2][0]});
        parsed.size = pos + size;
    }
    if (!statusSeen || parsed.areas.empty())
        return false;
    Normalize(parsed);
    *map = parsed;
    return true;
}
