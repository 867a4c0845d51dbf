// Package descriptor reader: supported devices, display names and the other queries.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "CSoftwareComponentInfo.h"
#include "PackageTestSupport.h"
#include "TestDeviceRecords.h"

using pkgtest::LogMark;
using pkgtest::pciFields;
using pkgtest::ScratchDir;
using Fields = std::vector<std::string>;

namespace {

// Pretty-printed as a packaging tool writes it; two devices with several PCIInfo each.
const char kRealistic[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<SoftwareComponent schemaVersion="16.4" packageID="X7G2K" releaseID="X7G2KA00" vendorVersion="4.11" dateTime="2026-01-02T10:00:00">
  <Name>
    <Display lang="en"><![CDATA[Controller firmware]]></Display>
  </Name>
  <ComponentType value="FRMW">
    <Display lang="en"><![CDATA[Firmware]]></Display>
  </ComponentType>
  <SupportedDevices>
    <Device componentID="104766" embedded="0">
      <PCIInfo deviceID="28F" vendorID="9005" subDeviceID="800" subVendorID="9005" />
      <PCIInfo deviceID="028f" vendorID="9005" subDeviceID="0801" subVendorID="9005" />
      <Display lang="en"><![CDATA[Controller A]]></Display>
      <Display lang="fr"><![CDATA[Controleur A]]></Display>
    </Device>
    <Device componentID="104700">
      <Display lang="en">Shown before the PCIInfo</Display>
      <PCIInfo deviceID="5a3e" vendorID="1d5a" subDeviceID="4b17" subVendorID="1d5a" />
      <Display lang="en"></Display>
      <Display lang="en">Controller B</Display>
      <RollbackInformation rollbackIdentifier="r1" rollbackVolume="v" />
    </Device>
    <Device componentID="7">
      <Display lang="en">No PCI identity</Display>
    </Device>
  </SupportedDevices>
</SoftwareComponent>
)";

const std::vector<Fields> kRealisticDevices = {
    {"104766", "028F", "0800", "9005", "9005", "Controller A"},
    {"104766", "028f", "0801", "9005", "9005", "Controller A"},
    {"104700", "5a3e", "4b17", "1d5a", "1d5a", "Controller B"},
};

std::vector<Fields> fieldsOf(const std::vector<SPCIInfo>& list)
{
    std::vector<Fields> out;
    for (const SPCIInfo& p : list) out.push_back(pciFields(p));
    return out;
}

// The same descriptor with no white space at all between elements.
std::string compact(const std::string& xml)
{
    std::string out;
    for (std::string::size_type i = 0; i < xml.size(); ++i) {
        if (xml[i] == '>') {
            std::string::size_type next = xml.find_first_not_of(" \t\r\n", i + 1);
            if (next != std::string::npos && next > i + 1 && xml[next] == '<') {
                out += '>';
                i = next - 1;
                continue;
            }
        }
        out += xml[i];
    }
    return out;
}

}  // namespace

TEST(PackageReader, SupportedDevicesFromWorkingDirectoryFile)
{
    ScratchDir dir;
    dir.writePackage(kRealistic);
    CSoftwareComponentInfo reader;
    EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), kRealisticDevices);
}

TEST(PackageReader, WhiteSpaceBetweenElementsChangesNothing)
{
    std::string layouts[] = {
        kRealistic,
        compact(kRealistic),
        [] {  // tabs and CRLF line ends
            std::string s = kRealistic, out;
            for (char c : s) {
                if (c == '\n')
                    out += "\r\n\t";
                else
                    out += c;
            }
            return out;
        }(),
    };
    ASSERT_EQ(layouts[1].find("\n  <"), std::string::npos);  // the compact form really is compact
    for (std::string& xml : layouts) {
        CSoftwareComponentInfo reader(xml);
        EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), kRealisticDevices) << xml;
        EXPECT_EQ(reader.GetComponentDisplayString(), "Shown before the PCIInfo");
        EXPECT_EQ(reader.GetComponentTypeDisplayString(), "Firmware");
        EXPECT_TRUE(reader.getPresenceOfRollbackInfo());
    }
}

TEST(PackageReader, TextConstructorAnswersFromItsOwnTextEvenWithAFileAround)
{
    ScratchDir dir;
    dir.writePackage(
        "<SoftwareComponent><SupportedDevices><Device componentID=\"1\">"
        "<PCIInfo deviceID=\"1\" vendorID=\"2\" subDeviceID=\"3\" subVendorID=\"4\"/>"
        "</Device></SupportedDevices></SoftwareComponent>");
    std::string text = kRealistic;
    CSoftwareComponentInfo reader(text);
    EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), kRealisticDevices);
}

TEST(PackageReader, EachPCIInfoStartsEmpty)
{
    // The second device lacks subDeviceID and a Display; the third lacks componentID.
    std::string xml = R"(<SoftwareComponent><SupportedDevices>
      <Device componentID="1">
        <PCIInfo deviceID="28f" vendorID="9005" subDeviceID="800" subVendorID="9005"/>
        <Display>First</Display>
      </Device>
      <Device componentID="2">
        <PCIInfo deviceID="28f" vendorID="9005" subVendorID="9005"/>
      </Device>
      <Device>
        <PCIInfo vendorID="1000"/>
        <Display>Third</Display>
      </Device>
    </SupportedDevices></SoftwareComponent>)";
    CSoftwareComponentInfo reader(xml);
    std::vector<Fields> expected = {
        {"1", "028f", "0800", "9005", "9005", "First"},
        {"2", "028f", "", "9005", "9005", ""},
        {"", "", "", "1000", "", "Third"},
    };
    EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), expected);
}

TEST(PackageReader, IdentifierPaddingAndNameMatching)
{
    // Table: the attribute as written, and what is stored.
    struct Case {
        const char* written;
        const char* stored;
    } cases[] = {
        {"8", "0008"},      {"28f", "028f"},  {"28F", "028F"}, {"9005", "9005"},
        {"19005", "19005"}, {"0x1f", "0x1f"}, {" 1f", "0 1f"}, {"", "0000"},
    };
    for (const Case& c : cases) {
        std::string xml = pkgtest::descriptor(std::string("<Device componentID=\"5\"><PCIInfo deviceID=\"") +
                                              c.written + "\" vendorID=\"9005\"/></Device>");
        CSoftwareComponentInfo reader(xml);
        std::vector<SPCIInfo> list = reader.GetSupportedDevices();
        ASSERT_EQ(list.size(), 1u) << c.written;
        EXPECT_EQ(list[0].strDeviceID, c.stored) << c.written;
    }

    // Child element names are matched without regard to case; attribute names and the
    // XPath element names are exact.
    std::string xml = R"(<SoftwareComponent><SupportedDevices>
      <Device componentID="1"><pciinfo deviceID="1" vendorID="2"/><DISPLAY>upper</DISPLAY></Device>
      <Device componentID="2"><PCIInfo DeviceID="1" VENDORID="2"/></Device>
      <device componentID="3"><PCIInfo deviceID="1" vendorID="2"/></device>
    </SupportedDevices></SoftwareComponent>)";
    CSoftwareComponentInfo reader(xml);
    std::vector<Fields> expected = {
        {"1", "0001", "", "0002", "", "upper"},
        {"2", "", "", "", "", ""},
    };
    EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), expected);
}

TEST(PackageReader, ComponentQueries)
{
    std::string xml =
        R"(<SoftwareComponent vendorVersion="1.0 &amp; up">PKG-42<ComponentType value="FRMW"><Display>Firmware</Display></ComponentType>
      <SupportedDevices>
        <Device componentID="300"><Display>Third</Display><PCIInfo deviceID="1" vendorID="1"/></Device>
        <Device componentID="12"><PCIInfo deviceID="28f" vendorID="9005" subDeviceID="800" subVendorID="9005"/><Display>Low</Display><Display>Later</Display></Device>
        <Device componentID="abc"><Display>Letters</Display></Device>
        <Device componentID="AB12"><Display/><Display>Mixed</Display></Device>
        <Device componentID="20"><PCIInfo deviceID="28f" vendorID="9005" subDeviceID="800" subVendorID="9005"/><Display>Last &amp; &#x74;win</Display></Device>
      </SupportedDevices></SoftwareComponent>
      )";
    CSoftwareComponentInfo reader(xml);
    EXPECT_EQ(reader.GetPackageID(), "PKG-42");
    EXPECT_EQ(reader.GetComponentVersion(), "1.0 & up");  // predefined entities read whole
    EXPECT_EQ(reader.GetComponentType(), "FRMW");
    EXPECT_EQ(reader.GetComponentTypeDisplayString(), "Firmware");
    EXPECT_EQ(reader.GetComponentID(), "300");
    EXPECT_EQ(reader.GetMinComponentID(), "12");  // "abc" and "AB12" are not numbers
    EXPECT_EQ(reader.GetComponentDisplayString(), "Third");
    EXPECT_FALSE(reader.getPresenceOfRollbackInfo());

    std::map<std::string, std::string> names = reader.getCompIDMarkNameInfo();
    std::map<std::string, std::string> expectedNames = {
        {"300", "Third"}, {"12", "Low"}, {"abc", "Letters"}, {"AB12", "Mixed"}, {"20", "Last & twin"}};
    EXPECT_EQ(names, expectedNames);
    std::string id = "ab12";
    EXPECT_EQ(reader.getMarketingNameForNonPCIDevice(id), "Mixed");
    id = "999";
    EXPECT_EQ(reader.getMarketingNameForNonPCIDevice(id), "");

    // Compared as text without regard to case; the last matching entry wins.
    SPCIInfo pci = zevtest::pciInfo("9005", "028F", "9005", "0800");
    EXPECT_EQ(reader.getMarketingNameForPCIDevice(pci), "Last & twin");
    pci.strDeviceID = "28f";  // not padded: the text differs
    EXPECT_EQ(reader.getMarketingNameForPCIDevice(pci), "");
}

TEST(PackageReader, QueriesWithoutDescriptor)
{
    ScratchDir dir;
    CSoftwareComponentInfo reader;
    EXPECT_TRUE(reader.GetSupportedDevices().empty());
    EXPECT_EQ((Fields{reader.GetComponentID(), reader.GetMinComponentID(), reader.GetPackageID(),
                      reader.GetComponentVersion(), reader.GetComponentType(), reader.GetComponentDisplayString()}),
              Fields(6));
    EXPECT_TRUE(reader.getCompIDMarkNameInfo().empty());
    EXPECT_FALSE(reader.getPresenceOfRollbackInfo());
    EXPECT_EQ(reader.ParseXmlUsingXpath(), nullptr);
    EXPECT_TRUE(reader.getDependencyInfo().empty());
}

TEST(PackageReader, FileQueriesReadTheDescriptorAgain)
{
    ScratchDir dir;
    dir.writePackage(kRealistic);
    CSoftwareComponentInfo reader;
    EXPECT_EQ(reader.GetSupportedDevices().size(), 3u);
    dir.writePackage(
        "<SoftwareComponent><SupportedDevices><Device componentID=\"9\">"
        "<PCIInfo deviceID=\"1\" vendorID=\"2\" subDeviceID=\"3\" subVendorID=\"4\"/>"
        "</Device></SupportedDevices></SoftwareComponent>");
    std::vector<Fields> expected = {{"9", "0001", "0003", "0002", "0004", ""}};
    EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), expected);
    ASSERT_EQ(unlink(dir.file("package.xml").c_str()), 0);
    EXPECT_TRUE(reader.GetSupportedDevices().empty());
}

TEST(PackageReader, LogLinesOfConstructionAndSupportedDevices)
{
    ScratchDir dir;
    const std::string ctor = "CSoftwareComponentInfo::CSoftwareComponentInfo() Entering Constructor Method";
    const std::string init = "CSoftwareComponentInfo::Init() ";
    const std::string query = "CSoftwareComponentInfo::GetSupportedDevices() ";
    const std::string document = init + "Document " + dir.file("package.xml");
    // One row per descriptor (null: none, and no query asked): the lines construction and query log.
    const struct {
        const char* package;
        std::vector<std::string> expected;
    } cases[] = {
        {"<SoftwareComponent><SupportedDevices><Device componentID=\"5\">"
         "<PCIInfo deviceID=\"28f\" vendorID=\"9005\" subDeviceID=\"800\" subVendorID=\"9005\"/>"
         "<Display>Name</Display></Device></SupportedDevices></SoftwareComponent>",
         {ctor, init + "Entering", init + "Exiting", query + "Entering",
          "CSoftwareComponentInfo::GetNodeSet() Entering", "CSoftwareComponentInfo::GetNodeSet() Exiting",
          query + "Found Some Device Nodes", query + "Finding the Component ID and PCI Info",
          query + "Found a PCI Device", query + "Found a Display element under Device element",
          query + "Got the marketing name/Display name for a PCI Device as Name", query + "Exiting"}},
        // Malformed: the parse failure names the path; the query finds nothing.
        {"<SoftwareComponent><SupportedDevices>",
         {ctor, init + "Entering",
          document + " not used: not well-formed (line 1: Premature end of data in tag SupportedDevices line 1)",
          document + " not parsed successfully ", init + "Exiting", query + "Entering",
          query + "Error during calculating xpath expression", query + "Exiting"}},
        // None: construction stops after the two entering lines and the reason.
        {nullptr, {ctor, init + "Entering", document + " not used: not found"}},
    };
    for (const auto& c : cases) {
        if (c.package != nullptr)
            dir.writePackage(c.package);
        else
            ASSERT_EQ(unlink(dir.file("package.xml").c_str()), 0);
        LogMark mark;
        {
            CSoftwareComponentInfo reader;
            if (c.package != nullptr) reader.GetSupportedDevices();
        }
        EXPECT_EQ(mark.messages("SoftwareComponentInfo.cpp"), c.expected) << (c.package ? c.package : "(none)");
    }
}

TEST(PackageReader, TextConstructorLogLines)
{
    std::string bad = "<SoftwareComponent>";
    LogMark mark;
    {
        CSoftwareComponentInfo reader(bad);
    }
    std::vector<std::string> expected = {
        "CSoftwareComponentInfo::CSoftwareComponentInfo(String) Entering Constructor Method",
        "<SoftwareComponent>",
        "CSoftwareComponentInfo::CSoftwareComponentInfo(string) Document  not parsed successfully ",
        "CSoftwareComponentInfo::CSoftwareComponentInfo(string) Exiting",
    };
    EXPECT_EQ(mark.messages("SoftwareComponentInfo.cpp"), expected);
}

TEST(PackageReader, RollbackAndValueLogLines)
{
    std::string xml = pkgtest::descriptor("<Device><RollbackInformation/></Device>");
    CSoftwareComponentInfo reader(xml);
    LogMark mark;
    EXPECT_TRUE(reader.getPresenceOfRollbackInfo());
    EXPECT_EQ(reader.GetValue("//Device", "missing"), "");
    std::vector<std::string> expected = {
        "Entering getPresenceOfGuid function",
        "CSoftwareComponentInfo::GetNodeSet() Entering",
        "CSoftwareComponentInfo::GetNodeSet() Exiting",
        "GUID Tag found in package.xml",
        "Leaving getPresenceOfGuid function",
        "Entering GetStringFromPackageXML function",
        "CSoftwareComponentInfo::GetNodeSet() Entering",
        "CSoftwareComponentInfo::GetNodeSet() Exiting",
        "Exiting GetStringFromPackageXML function",
    };
    EXPECT_EQ(mark.messages("SoftwareComponentInfo.cpp"), expected);
}

TEST(PackageReader, InventoryEntriesByComponentID)
{
    const std::string inventory =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRInventory lang=\"en\" schemaVersion=\"1.0\">"
        "<Device componentID=\"5\" display=\"A &amp; B\"><Application version=\"1.0\"/></Device>"
        "<Device componentID=\"6\"/>"
        "<Device componentID=\"5\" display=\"second\"/>"
        "<Device componentID='q\"x' display=\"quoted\"/>"
        "</PXRInventory>";
    std::string ignored = "<x/>";
    CSoftwareComponentInfo reader(ignored);

    struct Case {
        const char* id;
        bool result;
        const char* output;
    } cases[] = {
        {"5", true,
         "<Device componentID=\"5\" display=\"A &amp; B\">\n  <Application version=\"1.0\"/>\n</Device>"
         "<Device componentID=\"5\" display=\"second\"/>"},
        {"7", true, ""},
        {"q\"x", true, "<Device componentID=\"q&quot;x\" display=\"quoted\"/>"},
        // A quote cannot widen the expression to other entries.
        {"5\"] | //Device[@componentID=\"6", true, ""},
        {"5' or '1'='1\" or \"1\"=\"1", true, ""},
    };
    for (const Case& c : cases) {
        std::istringstream in(inventory);
        std::ostringstream out;
        EXPECT_EQ(reader.GetInvFromJVL(c.id, out, in), c.result) << c.id;
        EXPECT_EQ(out.str(), c.output) << c.id;
    }

    for (const char* bad : {"", "<PXRInventory>", "not xml", "<PXRInventory></Device>"}) {
        std::istringstream in(bad);
        std::ostringstream out;
        EXPECT_FALSE(reader.GetInvFromJVL("5", out, in)) << bad;
        EXPECT_EQ(out.str(), "");
    }
}

TEST(PackageReader, EmptyIdentityAttributesReadAsZerosInSupportedDevicesOnly)
{
    // One row per identity attribute written empty: the supported-device list pads it to "0000"
    // (an absent attribute stays empty), while the dependency reader takes it as written.
    struct Case {
        const char* attribute;
        Fields supported;
    } cases[] = {
        {"deviceID", {"7", "0000", "", "9005", "", ""}},
        {"subDeviceID", {"7", "", "0000", "9005", "", ""}},
        {"vendorID", {"7", "", "", "0000", "", ""}},
        {"subVendorID", {"7", "", "", "9005", "0000", ""}},
    };
    for (const Case& c : cases) {
        const std::string vendor = std::string(c.attribute) == "vendorID" ? "" : " vendorID=\"9005\"";
        std::string xml = pkgtest::descriptor(std::string("<Device componentID=\"7\"><PCIInfo ") + c.attribute +
                                              "=\"\"" + vendor + "/><Dependency componentID=\"8\"><DepPCIInfo " +
                                              c.attribute + "=\"\"/></Dependency></Device>");
        CSoftwareComponentInfo reader(xml);
        EXPECT_EQ(fieldsOf(reader.GetSupportedDevices()), std::vector<Fields>{c.supported}) << c.attribute;

        const zevtest::RecordList deps(reader.getDependencyInfo());
        ASSERT_EQ(deps.list.size(), 1u) << c.attribute;
        const SPCIInfo required = deps.list[0]->getPCIInfo();
        const SPCIInfo parent = deps.list[0]->getParentPCIInfo().at(0);
        for (const SPCIInfo* pci : {&required, &parent}) {
            EXPECT_EQ(pci->strDeviceID + pci->strSubDeviceID + pci->strSubVendorID, "") << c.attribute;
        }
        EXPECT_EQ(parent.strVendorID, vendor.empty() ? "" : "9005") << c.attribute;
    }
}
