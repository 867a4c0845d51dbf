#pragma once
#include <string>
#include <utility>
#include <vector>

#include "IDeviceInventory.h"

// Device records live until the process ends (lists share them by pointer and nobody frees them):
// this keeps every record handed to it reachable from a process-wide list that is never destroyed.
void keepDeviceRecords(const std::vector<CDeviceInfo*>& devices);

// Inventory plug-in of the controller module. Owns no records: they live until the process ends.
class RizizavadIrerInventory : public IDeviceInventory {
public:
    explicit RizizavadIrerInventory(const std::string& outputFileName);
    ~RizizavadIrerInventory() override;

    // Discovers the controllers and writes the inventory document; returns the records.
    std::vector<CDeviceInfo*> GetInventory() override;
    // Appends one record per usable controller to m_vecDevices and returns a copy of it.
    std::vector<CDeviceInfo*> DiscoverDevices();

    // The records of DiscoverDevices with the controllers discovery found but could not read (see
    // the bridge) in their place, in discovery order: status 1, the given message, PCI ids as sysfs
    // has them and the system path as their identity. A record made from an untrustworthy identify
    // reply is replaced by its controller's unreadable record.
    std::vector<CDeviceInfo*> WithUnreadableControllers(const std::string& message);
    // True when discovery was stopped (by the stop test) before every controller was reached.
    bool DiscoveryStopped() const;

    // The identity (system path) of the controller a record of DiscoverDevices stands for; empty for
    // a record this object did not make. Lets the update flash each controller through its own record
    // even when several controllers share the same PCI ids.
    std::string getControllerIdentity(const CDeviceInfo* device) const;

private:
    std::vector<CDeviceInfo*> m_vecDevices;
    std::string m_strOutputFileName;
    std::vector<std::pair<const CDeviceInfo*, std::string>> m_vecControllerIdentities;
};
