#pragma once
#include <vector>

#include "CDeviceInfo.h"

// An inventory plug-in: lists the devices it can reach and writes the inventory document.
class IDeviceInventory {
public:
    virtual ~IDeviceInventory() {}
    virtual std::vector<CDeviceInfo*> GetInventory() = 0;
};
