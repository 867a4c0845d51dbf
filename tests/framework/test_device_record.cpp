#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CDeviceInfo.h"
#include "CStringUtils.h"
#include "TestDeviceRecords.h"
#include "TestRecordList.h"

namespace {

TEST(DeviceInfo, FreshRecordDefaults)
{
    CDeviceInfo d;
    EXPECT_EQ(d.getStatus(), -1);
    EXPECT_EQ(static_cast<int>(d.getDeviceType()), 0);
    EXPECT_EQ(d.getDependencyType(), CDeviceInfo::HARD_DEPENDENCY);
    EXPECT_EQ(d.getMessageID(), 0);
    EXPECT_FALSE(d.getRebootRequired());
    for (const std::string& s :
         {d.getReleaseID(), d.getComponentID(), d.getParentComponentID(), d.getComponentType(), d.getDeviceName(),
          d.getVersion(), d.getDependencyContext(), d.getErrorMsg(), d.getDisplay(), d.getDetail(),
          d.getCurrentVersion(), d.getEnumId(), d.getDeviceIdentifier()})
        EXPECT_EQ(s, "");
    EXPECT_EQ(zevtest::pciFields(d.getPCIInfo()), std::vector<std::string>(6));
    EXPECT_TRUE(d.getDepenendencyPlatforms().empty());
    EXPECT_TRUE(d.getParentPCIInfo().empty());
    EXPECT_TRUE(d.getDependencyOS().empty());
    EXPECT_EQ(static_cast<int>(CDeviceInfo::PCI_DEVICE), 1);
    EXPECT_EQ(static_cast<int>(CDeviceInfo::NON_PCI_DEVICE), 2);
    EXPECT_EQ(static_cast<int>(CDeviceInfo::SOFT_DEPENDENCY), 2);
    EXPECT_EQ(sizeof(CDeviceInfo::eDeviceType), 4u);
    EXPECT_EQ(sizeof(CDeviceInfo::eDependencyType), 4u);
}

CDeviceInfo baseRecord()
{
    CDeviceInfo d;
    d.setComponentType("FRMW");
    d.setComponentID("cid");
    d.setVersion("1.0");
    d.setDisplay("disp");
    d.setDetail("detail");
    d.setFilePath("a\\b");
    SPCIInfo p = zevtest::pciInfo("9005", "28f", "9005", "800");
    p.strComponentID = "pc";
    p.strDisplay = "pdisp";
    d.setPCIInfo(p);
    return d;
}

TEST(DeviceInfo, EqualityComparesExactlyTheIdentityFields)
{
    using Mutator = std::function<void(CDeviceInfo&)>;
    const auto pci = [](std::string SPCIInfo::*field, const char* value) -> Mutator {
        return [=](CDeviceInfo& d) {
            SPCIInfo p = d.getPCIInfo();
            p.*field = value;
            d.setPCIInfo(p);
        };
    };
    // Fields outside the identity: records still compare equal.
    const Mutator ignored[] = {
        [](CDeviceInfo& d) { d.setDeviceName("other"); },
        [](CDeviceInfo& d) { d.setStatus(1); },
        [](CDeviceInfo& d) { d.setErrorMsg("boom"); },
        [](CDeviceInfo& d) { d.setEnumId("x"); },
        [](CDeviceInfo& d) { d.setReleaseID("r"); },
        pci(&SPCIInfo::strDisplay, "other"),
        [](CDeviceInfo& d) {
            std::vector<std::string> v{"plat"};
            d.setDependencyPlatforms(v);
        },
    };
    for (const Mutator& m : ignored) {
        CDeviceInfo a = baseRecord(), b = baseRecord();
        m(b);
        EXPECT_TRUE(a == b);
    }
    // Identity fields: any difference, including letter case of a PCI id, makes them unequal.
    const Mutator compared[] = {
        [](CDeviceInfo& d) { d.setComponentType("frmw"); },
        [](CDeviceInfo& d) { d.setComponentID("cid2"); },
        [](CDeviceInfo& d) { d.setDependencyType(CDeviceInfo::SOFT_DEPENDENCY); },
        [](CDeviceInfo& d) { d.setVersion("1.1"); },
        [](CDeviceInfo& d) { d.setDisplay("DISP"); },
        [](CDeviceInfo& d) { d.setDetail(""); },
        [](CDeviceInfo& d) { d.setFilePath("a/b"); },
        pci(&SPCIInfo::strComponentID, "x"),
        pci(&SPCIInfo::strDeviceID, "28F"),
        pci(&SPCIInfo::strSubDeviceID, "0800"),
        pci(&SPCIInfo::strVendorID, "9004"),
        pci(&SPCIInfo::strSubVendorID, ""),
    };
    for (std::size_t i = 0; i < sizeof(compared) / sizeof(compared[0]); ++i) {
        CDeviceInfo a = baseRecord(), b = baseRecord();
        compared[i](b);
        EXPECT_FALSE(a == b) << "identity field #" << i;
    }
}

TEST(DeviceInfo, SetPCIInfoFromNumbers)
{
    CDeviceInfo d = baseRecord();
    // Arguments in the order device, sub-device, vendor, sub-vendor; the component id and name are cleared.
    d.setPCIInfo(0x9005, 0x028F, 0x1000, 0);
    EXPECT_EQ(zevtest::pciFields(d.getPCIInfo()), (std::vector<std::string>{"", "9005", "28f", "1000", "0", ""}));
    d.setPCIInfo(0x0A3C, 0xFFFF, 1, 0x10);
    EXPECT_EQ(zevtest::pciFields(d.getPCIInfo()), (std::vector<std::string>{"", "a3c", "ffff", "1", "10", ""}));
}

TEST(DeviceInfo, GettersReturnCopies)
{
    CDeviceInfo d = baseRecord();
    SPCIInfo p = d.getPCIInfo();
    p.strDeviceID = "changed";
    EXPECT_EQ(d.getPCIInfo().strDeviceID, "28f");
    std::vector<SOSInfo> os(1);
    os[0].strOSVendor = "v";
    d.setDependencyOS(os);
    std::vector<SOSInfo> got = d.getDependencyOS();
    got[0].strOSVendor = "w";
    EXPECT_EQ(d.getDependencyOS()[0].strOSVendor, "v");
}

TEST(DeviceInfo, BDFInfo)
{
    CDeviceInfo d;
    d.setBDFInfo(3, 0, 7);
    _BDFInfo b = d.getBDFInfo();
    EXPECT_EQ(b.nBus, 3);
    EXPECT_EQ(b.nDevice, 0);
    EXPECT_EQ(b.nFunction, 7);
    CDeviceInfo copy(d);
    EXPECT_EQ(copy.getBDFInfo().nFunction, 7);
}

TEST(DeviceInfo, FilePathUsesForwardSlashesBehindBaseURL)
{
    const std::string base = CDeviceInfo::DOWNLOAD_BASE_URL;
    ASSERT_FALSE(base.empty());
    EXPECT_EQ(base.back(), '/');
    CDeviceInfo d;
    d.setFilePath("fw\\ctrl\\image.bin");
    EXPECT_EQ(d.getFilePath(), base + "fw/ctrl/image.bin");
    EXPECT_EQ(d.getFilePath(), base + "fw/ctrl/image.bin");  // stored path keeps the forward slashes
    CDeviceInfo other;
    other.setFilePath("fw/ctrl/image.bin");
    EXPECT_TRUE(d == other);
    other.setFilePath("plain.bin");
    EXPECT_EQ(other.getFilePath(), base + "plain.bin");
}

TEST(StringUtils, Hex2Dec)
{
    const struct {
        const char* text;
        long value;
    } cases[] = {
        {"9005", 36869},
        {"ffff", 65535},
        {"FFFF", 65535},
        {"0x1000", 4096},
        {"0X1000", 4096},
        {"028F", 655},
        {"28f", 655},
        {"  800", 2048},
        {"\t0800", 2048},
        {"0", 0},
        {"00", 0},
        {"12zz", 18},
        {"0x", 0},
        {"a3c ", 2620},
        {"", -1},
        {"   ", -1},
        {"xyz", -1},
        {"-1", -1},
        {"+5", -1},
        {"0xg", 0},
        {"g1", -1},
        {"FFFFFFFFFFFFFFFFFF", -1},
        {"7fffffffffffffff", 0x7fffffffffffffffL},
    };
    for (const auto& c : cases) EXPECT_EQ(CStringUtils::Hex2Dec(c.text), c.value) << '"' << c.text << '"';
}

TEST(StringUtils, TrimAndLowerCase)
{
    const struct {
        const char* in;
        const char* trimmed;
    } trims[] = {{"", ""}, {"   ", ""}, {" a b ", "a b"}, {"\t\n x\r\n", "x"}, {"abc", "abc"}, {"\v\fz", "z"}};
    for (const auto& t : trims) EXPECT_EQ(CStringUtils::trim_string(t.in), t.trimmed) << '"' << t.in << '"';
    EXPECT_EQ(CStringUtils::toLowerCase("VMware ESX 4.1 Ab-Z"), "vmware esx 4.1 ab-z");
    EXPECT_EQ(CStringUtils::toLowerCase(""), "");
    EXPECT_EQ(CStringUtils::toLowerCase("\xC4X"), "\xC4x");
}

}  // namespace
