#pragma once
// The tool's update document as the tests expect it, byte for byte: its frame and a failure's record.

#include <string>
#include <vector>

namespace zevtest {

// The status record of a failure with this message.
inline std::string failureRecord(const std::string& message)
{
    return "<SPStatus result = \"false\" ><Message id=\"0\" >" + message + "</Message></SPStatus>";
}

// The update document holding these records, in order.
inline std::string updateDocument(const std::vector<std::string>& records)
{
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRExecution lang=\"en\">";
    for (const std::string& r : records) doc += r;
    return doc + "</PXRExecution>";
}

}  // namespace zevtest
