// Supported-device filter and naming of device records.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "IECommonUtils.h"
#include "PackageTestSupport.h"
#include "TestDeviceRecords.h"

using pkgtest::LogMark;
using pkgtest::ScratchDir;
using Fields = std::vector<std::string>;

namespace {

// Controllers as the inventory stores them: lower-case hexadecimal without leading zeros.
struct Controller {
    const char* device;
    const char* subDevice;
    const char* vendor;
    const char* subVendor;
};

class Devices {
public:
    explicit Devices(std::initializer_list<Controller> controllers)
    {
        for (const Controller& c : controllers) {
            m_owned.emplace_back(new CDeviceInfo());
            m_owned.back()->setPCIInfo(zevtest::pciInfo(c.vendor, c.device, c.subVendor, c.subDevice));
            list.push_back(m_owned.back().get());
        }
    }
    CDeviceInfo* at(std::size_t i) const { return m_owned.at(i).get(); }
    std::vector<CDeviceInfo*> list;

private:
    std::vector<std::unique_ptr<CDeviceInfo>> m_owned;
};

std::string packageWith(const std::string& pciInfos)
{
    return "<?xml version=\"1.0\"?>\n<SoftwareComponent>\n  <SupportedDevices>\n" + pciInfos +
           "  </SupportedDevices>\n</SoftwareComponent>\n";
}

std::string pciInfo(const std::string& dev, const std::string& subDev, const std::string& ven,
                    const std::string& subVen)
{
    return "<PCIInfo deviceID=\"" + dev + "\" subDeviceID=\"" + subDev + "\" vendorID=\"" + ven + "\" subVendorID=\"" +
           subVen + "\"/>";
}

const Controller kSmart = {"28f", "800", "9005", "9005"};

}  // namespace

TEST(SupportedDeviceFilter, MatchesOnAllFourIdentifiersAsNumbers)
{
    ScratchDir dir;
    dir.writePackage(packageWith("    <Device componentID=\"1\">\n      " + pciInfo("028F", "0800", "9005", "9005") +
                                 "\n      <Display>A</Display>\n    </Device>\n"));

    Devices same{kSmart};
    EXPECT_TRUE(FilterSupportedDeviceInfo(same.list));
    ASSERT_EQ(same.list.size(), 1u);

    // Each identifier differing alone removes the controller: there is no wildcard.
    Controller differing[] = {
        {"28e", "800", "9005", "9005"},
        {"28f", "801", "9005", "9005"},
        {"28f", "800", "9004", "9005"},
        {"28f", "800", "9005", "1d5a"},
    };
    for (const Controller& c : differing) {
        Devices one{c};
        EXPECT_FALSE(FilterSupportedDeviceInfo(one.list)) << c.device << " " << c.subDevice;
        EXPECT_TRUE(one.list.empty());
    }
}

TEST(SupportedDeviceFilter, SpellingsOfPackageIdentifiers)
{
    // The package's deviceID as written, and whether controller 28f/800/9005/9005 matches.
    struct Case {
        const char* deviceID;
        bool match;
    } cases[] = {
        {"28f", true},    {"28F", true},   {"028f", true},  {"00000028f", true}, {"0x28f", true},
        {"0X028F", true}, {" 28f", true},  {"28f ", true},  {"1028f", false},    {"28", false},
        {"28g", false},   {"2 8f", false}, {"zz", false},   {"0x", false},       {"-28f", false},
        {"+28f", false},  {"", false},     {"28fz", false}, {"028f-1", false},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        dir.writePackage(
            packageWith("<Device componentID=\"1\">" + pciInfo(c.deviceID, "800", "9005", "9005") + "</Device>"));
        Devices one{kSmart};
        EXPECT_EQ(FilterSupportedDeviceInfo(one.list), c.match) << "'" << c.deviceID << "'";
        EXPECT_EQ(one.list.size(), c.match ? 1u : 0u) << "'" << c.deviceID << "'";
    }
}

TEST(SupportedDeviceFilter, MissingAttributeNeverInheritsAnEarlierEntry)
{
    // The second entry lacks subDeviceID; a controller with the first entry's sub id but the
    // second entry's device id must not match through a value left over from the first.
    ScratchDir dir;
    dir.writePackage(packageWith("<Device componentID=\"1\">" + pciInfo("28f", "800", "9005", "9005") +
                                 "</Device><Device componentID=\"2\">"
                                 "<PCIInfo deviceID=\"290\" vendorID=\"9005\" subVendorID=\"9005\"/></Device>"));
    Devices devices{{"290", "800", "9005", "9005"}};
    EXPECT_FALSE(FilterSupportedDeviceInfo(devices.list));
    EXPECT_TRUE(devices.list.empty());

    // A controller whose identifier could not be read (empty) matches no entry either.
    Devices unreadable{{"290", "", "9005", "9005"}};
    EXPECT_FALSE(FilterSupportedDeviceInfo(unreadable.list));
}

TEST(SupportedDeviceFilter, KeepsOrderAndLogsEveryDecision)
{
    ScratchDir dir;
    dir.writePackage(packageWith("<Device componentID=\"1\">" + pciInfo("028F", "0800", "9005", "9005") +
                                 "<Display>A</Display></Device>"));
    Devices devices{{"28e", "800", "9005", "9005"}, kSmart, {"28f", "800", "9005", "9006"}};
    LogMark mark;
    EXPECT_TRUE(FilterSupportedDeviceInfo(devices.list));
    ASSERT_EQ(devices.list.size(), 1u);
    EXPECT_EQ(devices.list[0], devices.at(1));

    const std::string f = "IECommonUtils::FilterDeviceInfo ";
    const std::string pkg = f + "From package.xml Device ID 028F SubDevice ID 0800 Vendor ID 9005 SubVendor ID 9005\n";
    Fields expected = {
        "IECommonUtils::GetSupportedPCIDevices Entering",
        "IECommonUtils::GetSupportedPCIDevices Leaving",
        f + "Entering",
        f + "Found 1 set of supported devies from package.xml \n",
        f + "Device vector size before filtering 3\n",
        f + "From system  Device ID 28e SubDevice ID 800 Vendor ID 9005 SubVendor ID 9005\n",
        pkg,
        f + "Failed to find a match with package.xml for device element 0 in device vector and  hence skipping this "
            "Drive \n",
        f + "From system  Device ID 28f SubDevice ID 800 Vendor ID 9005 SubVendor ID 9005\n",
        pkg,
        f + "Match Found with package.xml for device for element 1 in device vector \n",
        f + "From system  Device ID 28f SubDevice ID 800 Vendor ID 9005 SubVendor ID 9006\n",
        pkg,
        f + "Failed to find a match with package.xml for device element 2 in device vector and  hence skipping this "
            "Drive \n",
        f + "device vector size after filtering 1\n",
        f + "Leaving",
    };
    EXPECT_EQ(mark.messages("IECommonUtils.cpp"), expected);
    // The reader's own lines sit between the two GetSupportedPCIDevices lines.
    const Fields all = mark.messages();
    ASSERT_GE(all.size(), 3u);
    EXPECT_NE(std::find(all.begin(), all.end(), "CSoftwareComponentInfo::GetSupportedDevices() Exiting"), all.end());
}

TEST(SupportedDeviceFilter, EmptyListsOnEitherSide)
{
    {
        // No package.xml: the device list stays as it was.
        ScratchDir dir;
        Devices devices{kSmart, {"1", "2", "3", "4"}};
        LogMark mark;
        EXPECT_FALSE(FilterSupportedDeviceInfo(devices.list));
        EXPECT_EQ(devices.list.size(), 2u);
        Fields expected = {
            "IECommonUtils::GetSupportedPCIDevices Entering",
            "IECommonUtils::GetSupportedPCIDevices Leaving",
            "IECommonUtils::FilterDeviceInfo Entering",
            "IECommonUtils::FilterDeviceInfo Could not find any devies from package.xml or package.xml is not present "
            "\n",
        };
        EXPECT_EQ(mark.messages("IECommonUtils.cpp"), expected);
    }
    {
        // A package without PCIInfo entries counts as empty too.
        ScratchDir dir;
        dir.writePackage(packageWith("<Device componentID=\"1\"><Display>x</Display></Device>"));
        Devices devices{kSmart};
        EXPECT_FALSE(FilterSupportedDeviceInfo(devices.list));
        EXPECT_EQ(devices.list.size(), 1u);
    }
    {
        // No devices: sizes 0 and 0, no match.
        ScratchDir dir;
        dir.writePackage(
            packageWith("<Device componentID=\"1\">" + pciInfo("28f", "800", "9005", "9005") + "</Device>"));
        std::vector<CDeviceInfo*> none;
        LogMark mark;
        EXPECT_FALSE(FilterSupportedDeviceInfo(none));
        Fields lines = mark.messages("IECommonUtils.cpp");
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[4], "IECommonUtils::FilterDeviceInfo Device vector size before filtering 0\n");
        EXPECT_EQ(lines[5], "IECommonUtils::FilterDeviceInfo device vector size after filtering 0\n");
    }
}

TEST(SupportedDeviceFilter, SeveralDevicesAndPCIInfosInRealisticPackage)
{
    ScratchDir dir;
    dir.writePackage(packageWith(R"(
    <Device componentID="104766">
      <PCIInfo deviceID="28f" vendorID="9005" subDeviceID="800" subVendorID="9005" />
      <PCIInfo deviceID="28f" vendorID="9005" subDeviceID="0801" subVendorID="9005" />
      <Display lang="en">Controller A</Display>
    </Device>
    <Device componentID="104700">
      <PCIInfo deviceID="5A3E" vendorID="1D5A" subDeviceID="4b17" subVendorID="1D5A" />
      <Display lang="en">Controller B</Display>
    </Device>
)"));
    std::vector<SPCIInfo> supported = GetSupportedPCIDevicesFrmPkgXML();
    ASSERT_EQ(supported.size(), 3u);
    EXPECT_EQ(supported[2].strDisplay, "Controller B");

    Devices devices{{"28f", "801", "9005", "9005"}, {"1", "1", "1", "1"}, {"5a3e", "4b17", "1d5a", "1d5a"}, kSmart};
    EXPECT_TRUE(FilterSupportedDeviceInfo(devices.list));
    ASSERT_EQ(devices.list.size(), 3u);
    EXPECT_EQ(devices.list[0], devices.at(0));
    EXPECT_EQ(devices.list[1], devices.at(2));
    EXPECT_EQ(devices.list[2], devices.at(3));
}

TEST(DeviceNaming, BasicInfoAndLogLines)
{
    CDeviceInfo record;
    LogMark mark;
    setBasicDeviceInfo(&record, "Controller ZH-1208i", "FRMW");
    EXPECT_EQ(record.getDeviceName(), "Controller ZH-1208i");
    EXPECT_EQ(record.getDisplay(), "Controller ZH-1208i");
    EXPECT_EQ(record.getComponentType(), "FRMW");
    EXPECT_EQ(record.getDeviceType(), CDeviceInfo::PCI_DEVICE);
    EXPECT_EQ(record.getStatus(), -1);
    Fields expected = {
        "Entering IECommonUtils::setBasicDeviceInfo()",
        "IECommonUtils::setBasicDeviceInfo() Setting the Device Name: Controller ZH-1208i",
        "Setting the Component Type: FRMW",
        "Leaving IECommonUtils :: setBasicDeviceInfo()",
    };
    EXPECT_EQ(mark.messages("IECommonUtils.cpp"), expected);
}

TEST(DeviceNaming, ErrorRecordsAppendInCallOrder)
{
    std::vector<CDeviceInfo*> list;
    setErrorDeviceInfo(list, "Payload directory is not proper.");
    setErrorDeviceInfo(list, "No matching device found (PCI mismatch).");
    ASSERT_EQ(list.size(), 2u);
    std::unique_ptr<CDeviceInfo> a(list[0]), b(list[1]);
    EXPECT_EQ(a->getStatus(), 2);
    EXPECT_EQ(a->getErrorMsg(), "Payload directory is not proper.");
    EXPECT_EQ(b->getErrorMsg(), "No matching device found (PCI mismatch).");
    EXPECT_EQ(b->getDeviceType(), 0);
    EXPECT_EQ(b->getMessageID(), 0);
}
