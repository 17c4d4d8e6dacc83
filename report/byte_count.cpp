#include "report/byte_count.h"

#include <locale>
#include <sstream>

std::wstring FormatByteCount(uint64_t count)
{
    std::wostringstream digits;
    digits.imbue(std::locale::classic());
    digits << count;
    const std::wstring plain = digits.str();

    std::wstring grouped;
    grouped.reserve(plain.size() + plain.size() / 3 + 1);
    // Start as if the leftmost group were padded to three digits.
    size_t counter = (3 - plain.size() % 3) % 3;
    for (wchar_t digit : plain) {
        grouped += digit;
        if (++counter == 3) {
            grouped += L' ';
            counter = 0;
        }
    }
    return grouped;
}
