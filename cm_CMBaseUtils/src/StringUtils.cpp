#include "CStringUtils.h"

#include <cctype>
#include <climits>

std::string CStringUtils::trim_string(const std::string& text)
{
    std::string::size_type first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    std::string::size_type last = text.size();
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

std::string CStringUtils::toLowerCase(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

static int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// number >= 0, or -1 for a text that does not begin with a hexadecimal number or overflows.
long CStringUtils::Hex2Dec(std::string text)
{
    std::string::size_type i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    // "0x" counts as a prefix only when a digit follows; "0x" alone reads as 0.
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        hexDigitValue(text[i + 2]) >= 0)
        i += 2;
    if (i >= text.size() || hexDigitValue(text[i]) < 0) return -1;
    long value = 0;
    for (; i < text.size(); ++i) {
        int d = hexDigitValue(text[i]);
        if (d < 0) break;
        if (value > (LONG_MAX - d) / 16) return -1;
        value = value * 16 + d;
    }
    return value;
}
