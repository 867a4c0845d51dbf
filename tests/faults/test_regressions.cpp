// Regressions found by the fault matrix, pinned at the unit that was fixed.
#include <gtest/gtest.h>

#include <libxml/parser.h>

#include <string>

#include "IDeviceXMLWriter.h"

namespace {

// A controller answering garbage to IDENTIFY gave product, family and version texts with control
// bytes and bytes that are not UTF-8; written as they were, the document was not well-formed.
TEST(EscapeXMLTextRegression, KeepsTheDocumentWellFormedWhateverTheBytes)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"Zevorided RAID ZR-840i", "Zevorided RAID ZR-840i"},
        {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e'f"},
        {std::string("6.\x00"
                     "0",
                     4),
         "6.\xEF\xBF\xBD"
         "0"},                                                     // NUL
        {"\x01\x0B\x1F", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // control characters
        {"a\tb\nc\rd", "a&#9;b&#10;c&#13;d"},                      // one line, value kept
        {"\x8E"
         "9",
         "\xEF\xBF\xBD"
         "9"},                                                                     // lone continuation byte
        {"\xC3", "\xEF\xBF\xBD"},                                                  // sequence cut short
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},                                // valid two-byte UTF-8 kept
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},                                          // valid three-byte (euro sign)
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                                  // valid four-byte
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
        {"\xEF\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // U+FFFF is no XML character
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
        {"\x7F", "\x7F"},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeXMLText(c.in), c.out) << ::testing::PrintToString(c.in);
}

TEST(EscapeXMLTextRegression, EveryByteValueInAnAttributeAndAText)
{
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    all += all.substr(0x80) + "\xE0\xA0";  // and a truncated tail
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r a=\"" + EscapeXMLText(all) + "\">" + EscapeXMLText(all) + "</r>";
    xmlDocPtr x = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "doc.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    EXPECT_NE(x, nullptr) << "not well-formed";
    xmlFreeDoc(x);
    EXPECT_EQ(doc.find('\n'), std::string::npos);
}

}  // namespace
