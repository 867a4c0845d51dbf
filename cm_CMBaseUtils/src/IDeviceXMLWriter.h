#pragma once
// Writer of one result document from a list of device records.

#include <string>
#include <vector>

#include "CDeviceInfo.h"

class IDeviceXMLWriter {
public:
    virtual ~IDeviceXMLWriter() {}
    // Builds the document and writes it to the named file, or to standard output when the name is
    // empty or the file cannot be opened. False only when opening the file raised an exception.
    virtual bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string outputFileName) = 0;
};

// Value escaped for an attribute or element text: & < > " become entities, tab, line feed and
// carriage return character references; control characters and bytes that are not well-formed
// UTF-8 (or not XML characters) become U+FFFD. Everything else is kept as it is.
std::string EscapeXMLText(const std::string& text);
