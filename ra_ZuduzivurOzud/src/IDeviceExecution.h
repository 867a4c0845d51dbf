#pragma once
#include <vector>

#include "CDeviceInfo.h"

// An update plug-in: updates the devices it supports and writes the update result document.
class IDeviceExecution {
public:
    virtual ~IDeviceExecution() {}
    virtual std::vector<CDeviceInfo*> Update() = 0;
};
