#pragma once
#include <string>

class CStringUtils {
public:
    // Text without leading and trailing white space.
    static std::string trim_string(const std::string& text);
    // Copy with every character passed through tolower.
    static std::string toLowerCase(std::string text);
    // Hexadecimal text to number (leading white space and a 0x/0X prefix allowed, stops at the first
    // non-digit); -1 when the text does not begin with a hexadecimal number or does not fit.
    static long Hex2Dec(std::string text);
};
