#pragma once
// Device records a test owns (the tool hands out and takes raw pointers and never frees them), and a
// PCI identity as one list to compare whole. Only for programs that link the framework library.

#include <string>
#include <utility>
#include <vector>

#include "CDeviceInfo.h"

namespace zevtest {

struct RecordList {
    std::vector<CDeviceInfo*> list;

    RecordList() = default;
    explicit RecordList(std::vector<CDeviceInfo*> records) : list(std::move(records)) {}
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;
    ~RecordList()
    {
        for (CDeviceInfo* d : list) delete d;
    }
};

inline std::vector<std::string> pciFields(const SPCIInfo& p)
{
    return {p.strComponentID, p.strDeviceID, p.strSubDeviceID, p.strVendorID, p.strSubVendorID, p.strDisplay};
}

}  // namespace zevtest
