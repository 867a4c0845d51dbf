// Dependency records read from the package descriptor.

#include <gtest/gtest.h>

#include <memory>

#include "CSoftwareComponentInfo.h"
#include "PackageTestSupport.h"

using pkgtest::LogMark;
using pkgtest::pciFields;
using Fields = std::vector<std::string>;

namespace {

const char kDependencies[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<SoftwareComponent vendorVersion="4.11">
  <SupportedDevices>
    <Device componentID="104766">
      <PCIInfo deviceID="28f" vendorID="9005" subDeviceID="800" subVendorID="9005" />
      <PCIInfo deviceID="28f" vendorID="9005" subDeviceID="801" subVendorID="9005" />
      <Display lang="en">Controller A</Display>
      <Dependency context="FW" componentID="200" componentType="DRVR" version="2.1" path="drivers\x.pkg" releaseID="R1">
        <Display lang="en">Driver X</Display>
        <Detail>Needs the driver first</Detail>
        <Brand key="3" prefix="PE"><Model systemID="0A1B" /><Model systemID="0A1C" /></Brand>
        <DepBrand><DepModel systemID="0B00" /><Model /></DepBrand>
        <OperatingSystem majorVersion="8" minorVersion="2" spMajorVersion="0" spMinorVersion="1" osVendor="RHEL" osArch="x64" />
        <DepOperatingSystem majorVersion="15" osVendor="SLES" />
      </Dependency>
      <SoftDependency componentID="300">
        <DepPCIInfo deviceID="1" vendorID="2" subDeviceID="3" subVendorID="4" />
        <pciinfo deviceID="5" vendorID="6" />
      </SoftDependency>
      <Dependency context="FW" componentID="200" componentType="DRVR" version="2.1" path="drivers\x.pkg" releaseID="R1">
        <Display lang="en">Driver X</Display>
        <Detail>Needs the driver first</Detail>
      </Dependency>
    </Device>
    <Device componentID="104767">
      <Dependency context="FW" componentID="200" componentType="DRVR" version="2.1" path="drivers\x.pkg" releaseID="R1">
        <Display lang="en">Driver X</Display>
        <Detail>Needs the driver first</Detail>
      </Dependency>
    </Device>
  </SupportedDevices>
</SoftwareComponent>
)";

using OwnedRecords = zevtest::RecordList;

Fields osFields(const SOSInfo& o)
{
    return {o.strMajorVersion, o.strMinorVersion, o.strSPMajorVersion, o.strSPMinorVersion, o.strOSVendor, o.strOSArch};
}

}  // namespace

TEST(PackageDependencies, RecordsOfRealisticDescriptor)
{
    std::string xml = kDependencies;
    CSoftwareComponentInfo reader(xml);
    OwnedRecords deps;
    deps.list = reader.getDependencyInfo();
    // hard dependency of 104766, soft one split per PCI identity, the repeated hard one dropped,
    // and the same hard dependency again for another parent.
    ASSERT_EQ(deps.list.size(), 4u);

    CDeviceInfo* hard = deps.list[0];
    EXPECT_EQ(hard->getDependencyType(), CDeviceInfo::HARD_DEPENDENCY);
    EXPECT_EQ(hard->getDeviceType(), CDeviceInfo::NON_PCI_DEVICE);
    EXPECT_EQ(hard->getParentComponentID(), "104766");
    EXPECT_EQ(hard->getParentDeviceType(), CDeviceInfo::PCI_DEVICE);
    std::vector<SPCIInfo> parents = hard->getParentPCIInfo();
    ASSERT_EQ(parents.size(), 2u);
    EXPECT_EQ(pciFields(parents[0]), (Fields{"", "28f", "800", "9005", "9005", ""}));
    EXPECT_EQ(pciFields(parents[1]), (Fields{"", "28f", "801", "9005", "9005", ""}));
    EXPECT_EQ((Fields{hard->getDependencyContext(), hard->getComponentID(), hard->getComponentType(),
                      hard->getVersion(), hard->getReleaseID(), hard->getDisplay(), hard->getDetail()}),
              (Fields{"FW", "200", "DRVR", "2.1", "R1", "Driver X", "Needs the driver first"}));
    std::string path = hard->getFilePath();
    ASSERT_GE(path.size(), 13u);
    EXPECT_EQ(path.substr(path.size() - 13), "drivers/x.pkg");
    // Each brand's systems once, in document order; a model without systemID adds nothing.
    EXPECT_EQ(hard->getDepenendencyPlatforms(), (Fields{"0x0A1B", "0x0A1C", "0x0B00"}));
    std::vector<SOSInfo> systems = hard->getDependencyOS();
    ASSERT_EQ(systems.size(), 2u);
    EXPECT_EQ(osFields(systems[0]), (Fields{"8", "2", "0", "1", "RHEL", "x64"}));
    EXPECT_EQ(osFields(systems[1]), (Fields{"15", "", "", "", "SLES", ""}));  // nothing carried over

    for (int i : {1, 2}) {
        CDeviceInfo* soft = deps.list[i];
        EXPECT_EQ(soft->getDependencyType(), CDeviceInfo::SOFT_DEPENDENCY);
        EXPECT_EQ(soft->getDependencyContext(), "OS");
        EXPECT_EQ(soft->getComponentID(), "300");
        EXPECT_EQ(soft->getDeviceType(), CDeviceInfo::PCI_DEVICE);
        EXPECT_EQ(soft->getParentComponentID(), "104766");
        EXPECT_EQ(soft->getParentPCIInfo().size(), 2u);
        EXPECT_TRUE(soft->getDepenendencyPlatforms().empty());
        EXPECT_TRUE(soft->getDependencyOS().empty());
    }
    EXPECT_EQ(pciFields(deps.list[1]->getPCIInfo()), (Fields{"", "1", "3", "2", "4", ""}));
    EXPECT_EQ(pciFields(deps.list[2]->getPCIInfo()), (Fields{"", "5", "", "6", "", ""}));

    CDeviceInfo* other = deps.list[3];
    EXPECT_EQ(other->getParentComponentID(), "104767");
    EXPECT_EQ(other->getParentDeviceType(), CDeviceInfo::NON_PCI_DEVICE);
    EXPECT_TRUE(other->getParentPCIInfo().empty());
    EXPECT_EQ(other->getComponentID(), "200");
}

TEST(PackageDependencies, DuplicateRuleOfAddDependencyInfo)
{
    std::string xml = "<x/>";
    CSoftwareComponentInfo reader(xml);
    auto make = [](const char* parent, const char* version) {
        CDeviceInfo* r = new CDeviceInfo();
        r->setParentComponentID(parent);
        r->setComponentID("200");
        r->setVersion(version);
        return r;
    };
    OwnedRecords deps;
    CDeviceInfo* first = make("1", "2.1");
    reader.AddDependencyInfo(deps.list, first);
    ASSERT_EQ(deps.list.size(), 1u);

    std::unique_ptr<CDeviceInfo> sameButName(make("1", "2.1"));
    sameButName->setDeviceName("other name");  // the name takes no part in equality
    CDeviceInfo* candidate = sameButName.get();
    LogMark mark;
    reader.AddDependencyInfo(deps.list, candidate);
    EXPECT_EQ(deps.list.size(), 1u);
    EXPECT_EQ(mark.messages("SoftwareComponentInfo.cpp"),
              (Fields{"CSoftwareComponentInfo::AddDependencyInfo() Found a duplicate entry"}));

    CDeviceInfo* otherParent = make("2", "2.1");
    reader.AddDependencyInfo(deps.list, otherParent);
    CDeviceInfo* otherVersion = make("1", "2.2");
    reader.AddDependencyInfo(deps.list, otherVersion);
    ASSERT_EQ(deps.list.size(), 3u);
    EXPECT_EQ(deps.list[1], otherParent);
    EXPECT_EQ(deps.list[2], otherVersion);
}

TEST(PackageDependencies, LogLinesOfOneBareDependency)
{
    std::string xml = pkgtest::descriptor("<Device><SoftDependency><Display/><Other/></SoftDependency></Device>");
    CSoftwareComponentInfo reader(xml);
    LogMark mark;
    OwnedRecords deps;
    deps.list = reader.getDependencyInfo();
    ASSERT_EQ(deps.list.size(), 1u);
    const std::string p = "CSoftwareComponentInfo::getDependencyInfo() ";
    Fields expected = {
        "CSoftwareComponentInfo::GetNodeSet() Entering",
        "CSoftwareComponentInfo::GetNodeSet() Exiting",
        p + "Entered Method",
        p + "Found SoftDependecny",
        p + "failed to get the parent componentID info from package.xml",
        p + "failed to get the context info from package.xml for dependent device so setting Deafult as OS",
        p + "failed to get the componentID info from package.xml for dependent device",
        p + "failed to get the componentType info from package.xml for dependent device",
        p + "failed to get the version info from package.xml for dependent device",
        p + "failed to get the path info from package.xml for dependent device",
        p + "failed to get the releaseID info from package.xml for dependent device",
        p + "failed to get the Display info from package.xml for dependent device",
        p + "unable to get the Platform info from package.xml for dependent device",
        p + "unable to get the Platform info from package.xml for dependent device or Opernating System "
            "Information Is not mentioned in the Dependency Node",
        p + "unable to get the Platform info from package.xml for dependent device",
        p + "unable to get the Platform info from package.xml for dependent device or Opernating System "
            "Information Is not mentioned in the Dependency Node",
        p + "Exiting",
    };
    EXPECT_EQ(mark.messages("SoftwareComponentInfo.cpp"), expected);
    EXPECT_EQ(deps.list[0]->getParentDeviceType(), CDeviceInfo::NON_PCI_DEVICE);
    EXPECT_EQ(deps.list[0]->getDisplay(), "");
}

TEST(PackageDependencies, NoDependencyNodes)
{
    std::string xml = pkgtest::descriptor("<Device componentID=\"1\"/>");
    CSoftwareComponentInfo reader(xml);
    LogMark mark;
    EXPECT_TRUE(reader.getDependencyInfo().empty());
    Fields expected = {
        "CSoftwareComponentInfo::GetNodeSet() Entering",
        "CSoftwareComponentInfo::GetNodeSet() Empty nodeset",
        "CSoftwareComponentInfo::getDependencyInfo() Entered Method",
        "CSoftwareComponentInfo::getDependencyInfo() ParseXmlUsingXpath failed",
    };
    EXPECT_EQ(mark.messages("SoftwareComponentInfo.cpp"), expected);
}
