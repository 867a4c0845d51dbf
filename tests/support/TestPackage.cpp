#include "TestPackage.h"

namespace zevtest {

std::string packageXml(const std::vector<PciId>& ids)
{
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SoftwareComponent vendorVersion=\"6.62\">"
        "<ComponentType value=\"FRMW\"><Display>Firmware</Display></ComponentType>\n<SupportedDevices>\n";
    int component = 1001;
    for (const PciId& id : ids) {
        xml += "  <Device componentID=\"" + std::to_string(component++) + "\"><PCIInfo deviceID=\"" + id.device +
               "\" subDeviceID=\"" + id.subDevice + "\" vendorID=\"" + id.vendor + "\" subVendorID=\"" + id.subVendor +
               "\"/><Display>Controller</Display></Device>\n";
    }
    return xml + "</SupportedDevices>\n</SoftwareComponent>\n";
}

}  // namespace zevtest
