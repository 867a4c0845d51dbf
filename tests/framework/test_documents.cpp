#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <stdexcept>

#include "CInventoryXMLWriter.h"
#include "CLogger.h"
#include "CUpdateXMLWriter.h"
#include "IECommonUtils.h"
#include "SafeFiles.h"
#include "TempDir.h"
#include "TestDeviceRecords.h"
#include "TestProgramLog.h"
#include "TestRecordList.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

CDeviceInfo* pciRecord(const std::string& enumId = "Serial Number: S1")
{
    CDeviceInfo* d = new CDeviceInfo();
    d->setPCIInfo(zevtest::pciInfo("9005", "28f", "9005", "800"));
    d->setDisplay("D");
    d->setComponentType("FRMW");
    d->setVersion("1.0");
    d->setDeviceName("N");
    d->setEnumId(enumId);
    d->setDeviceType(CDeviceInfo::PCI_DEVICE);
    d->setStatus(0);
    return d;
}

CDeviceInfo* nonPciRecord()
{
    CDeviceInfo* d = new CDeviceInfo();
    d->setComponentID("C");
    d->setDisplay("D");
    d->setComponentType("T");
    d->setVersion("V");
    d->setDeviceName("N");
    d->setDeviceType(CDeviceInfo::NON_PCI_DEVICE);
    d->setStatus(0);
    return d;
}

CDeviceInfo* failureRecord(int status, const std::string& msg, int id = 0)
{
    CDeviceInfo* d = new CDeviceInfo();
    d->setStatus(status);
    d->setErrorMsg(msg);
    d->setMessageID(id);
    return d;
}

using Records = zevtest::RecordList;

// What the writer put on standard output, writing to the named file or (no name) to standard output.
template <typename Writer>
std::string writeToStdout(const std::vector<CDeviceInfo*>& devices, const std::string& name = "")
{
    Writer writer;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(writer.GetXML(devices, name));
    return testing::internal::GetCapturedStdout();
}

const std::string kInvPci =
    "<Device  vendorID=\"9005\" deviceID=\"28f\" subVendorID=\"9005\" subDeviceID=\"800\"  "
    "display=\"D\" enum = \"Serial Number: S1\" ><Application componentType=\"FRMW\"  "
    "version=\"1.0\"  display=\"N\"/></Device>";
const std::string kInvNonPci =
    "<Device  componentID=\"C\" display=\"D\" ><Application componentType=\"T\" version=\"V\" display=\"N\"/></Device>";
const std::string kUpdPci =
    "<Device  vendorID=\"9005\" deviceID=\"28f\" subVendorID=\"9005\" subDeviceID=\"800\" "
    "display=\"D\" enum = \"Serial Number: S1\" ><Application componentType=\"FRMW\" "
    "version=\"1.0\" display=\"N\" ><SPStatus result = \"true\" ><Message id=\"0\" >Success: "
    "The operation was successful</Message></SPStatus></Application></Device>";
const std::string kUpdNonPci =
    "<Device  componentID=\"C\" display=\"D\" ><Application componentType=\"T\" "
    "version=\"V\" display=\"N\" ><SPStatus result = \"true\" ><Message id=\"7\" "
    ">ok</Message></SPStatus></Application></Device>";

TEST(InventoryDocument, Forms)
{
    Records r;
    r.list = {pciRecord(), nonPciRecord(), failureRecord(-1, ""),
              failureRecord(2, "Payload directory is not proper.", -5)};
    CDeviceInfo* silent = new CDeviceInfo();  // status 0, type 0: writes nothing
    silent->setStatus(0);
    r.list.push_back(silent);
    CDeviceInfo* noEnum = pciRecord("");
    r.list.push_back(noEnum);
    std::string noEnumFragment = kInvPci;
    noEnumFragment.replace(noEnumFragment.find("enum = \"Serial Number: S1\" "), 27, "");
    EXPECT_EQ(writeToStdout<CInventoryXMLWriter>(r.list),
              kDecl + "<PXRInventory lang=\"en\">" + kInvPci + kInvNonPci +
                  "<SPStatus result = \"false\" ><Message id=\"0\" ></Message></SPStatus>"
                  "<SPStatus result = \"false\" ><Message id=\"-5\" >Payload directory is not proper.</Message>"
                  "</SPStatus>" +
                  noEnumFragment + "</PXRInventory>");
    EXPECT_NE(noEnumFragment.find("display=\"D\" ><Application"), std::string::npos);
}

TEST(InventoryDocument, EmptyList)
{
    EXPECT_EQ(writeToStdout<CInventoryXMLWriter>({}), kDecl + "<PXRInventory lang=\"en\"></PXRInventory>");
}

TEST(UpdateDocument, Forms)
{
    Records r;
    CDeviceInfo* ok = pciRecord();
    ok->setErrorMsg("Success: The operation was successful");
    CDeviceInfo* np = nonPciRecord();
    np->setErrorMsg("ok");
    np->setMessageID(7);
    CDeviceInfo* failed = pciRecord();
    failed->setStatus(1);
    failed->setErrorMsg("ERROR: Failed to update Firmware");
    failed->setRebootRequired(true);  // a failed record never asks for a reboot
    r.list = {ok, np, failed};
    EXPECT_EQ(writeToStdout<CUpdateXMLWriter>(r.list),
              kDecl + "<PXRExecution lang=\"en\">" + kUpdPci + kUpdNonPci +
                  "<SPStatus result = \"false\" ><Message id=\"0\" >ERROR: Failed to update Firmware</Message>"
                  "</SPStatus></PXRExecution>");
}

TEST(UpdateDocument, RebootElementOnceBeforeRootEnd)
{
    Records r;
    r.list = {pciRecord(), pciRecord()};
    r.list[0]->setRebootRequired(true);
    r.list[1]->setRebootRequired(true);
    std::string doc = writeToStdout<CUpdateXMLWriter>(r.list);
    const std::string tail = "</Device><RebootRequired>1</RebootRequired></PXRExecution>";
    ASSERT_GE(doc.size(), tail.size());
    EXPECT_EQ(doc.substr(doc.size() - tail.size()), tail);
    EXPECT_EQ(doc.find("<RebootRequired>"), doc.rfind("<RebootRequired>"));
    // The flag lives for one document only.
    r.list[0]->setRebootRequired(false);
    r.list[1]->setRebootRequired(false);
    EXPECT_EQ(writeToStdout<CUpdateXMLWriter>(r.list).find("RebootRequired"), std::string::npos);
}

TEST(UpdateDocument, EmptyListAndLoneFailureRecord)
{
    EXPECT_EQ(writeToStdout<CUpdateXMLWriter>({}), kDecl + "<PXRExecution lang=\"en\"></PXRExecution>");
    Records r;
    r.list = {failureRecord(2, "No matching device found (PCI mismatch).")};
    EXPECT_EQ(writeToStdout<CUpdateXMLWriter>(r.list),
              kDecl +
                  "<PXRExecution lang=\"en\"><SPStatus result = \"false\" ><Message id=\"0\" >No matching device "
                  "found (PCI mismatch).</Message></SPStatus></PXRExecution>");
}

TEST(Documents, EscapeExactlyFourCharacters)
{
    EXPECT_EQ(EscapeXMLText("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
    EXPECT_EQ(EscapeXMLText("&amp;"), "&amp;amp;");
    EXPECT_EQ(EscapeXMLText(""), "");
    EXPECT_EQ(EscapeXMLText("ERROR: Failed to update firmware. The target controller's firmware is locked."),
              "ERROR: Failed to update firmware. The target controller's firmware is locked.");
}

// Parses the document and returns the attribute/text values in document order, as the receiver sees them.
std::vector<std::string> parsedValues(const std::string& doc)
{
    std::vector<std::string> values;
    xmlDocPtr x = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "doc.xml", nullptr, XML_PARSE_NONET);
    if (x == nullptr) {
        ADD_FAILURE() << "not well-formed: " << doc;
        return values;
    }
    std::vector<xmlNodePtr> stack{xmlDocGetRootElement(x)};
    while (!stack.empty()) {
        xmlNodePtr n = stack.back();
        stack.pop_back();
        if (n->type == XML_ELEMENT_NODE) {
            for (xmlAttrPtr a = n->properties; a; a = a->next) {
                xmlChar* v = xmlNodeListGetString(x, a->children, 1);
                values.push_back(std::string(reinterpret_cast<const char*>(a->name)) + "=" +
                                 (v ? reinterpret_cast<const char*>(v) : ""));
                xmlFree(v);
            }
        } else if (n->type == XML_TEXT_NODE) {
            values.push_back(std::string("text=") + reinterpret_cast<const char*>(n->content));
        }
        std::vector<xmlNodePtr> kids;
        for (xmlNodePtr c = n->children; c; c = c->next) kids.push_back(c);
        stack.insert(stack.end(), kids.rbegin(), kids.rend());
    }
    xmlFreeDoc(x);
    return values;
}

TEST(Documents, SpecialCharactersRoundTripThroughAParser)
{
    const std::string nasty = "A&B <x> \"q\" it's";
    Records r;
    CDeviceInfo* p = pciRecord(nasty);
    SPCIInfo pci = p->getPCIInfo();
    pci.strVendorID = "9<0";
    p->setPCIInfo(pci);
    p->setDisplay(nasty + "1");
    p->setDeviceName(nasty + "2");
    p->setVersion("v&" + nasty);
    p->setComponentType("T\"");
    p->setErrorMsg(nasty + "3");
    CDeviceInfo* n = nonPciRecord();
    n->setComponentID("c>id");
    n->setErrorMsg("m&m");
    r.list = {p, n, failureRecord(2, "<fail> & \"quote\"")};

    // Both documents carry the PCI record alike.
    const std::vector<std::string> pciValues = {"lang=en",
                                                "vendorID=9<0",
                                                "deviceID=28f",
                                                "subVendorID=9005",
                                                "subDeviceID=800",
                                                "display=" + nasty + "1",
                                                "enum=" + nasty,
                                                "componentType=T\"",
                                                "version=v&" + nasty,
                                                "display=" + nasty + "2"};
    std::vector<std::string> inventoryExpected = pciValues, updateExpected = pciValues;
    inventoryExpected.insert(inventoryExpected.end(), {"componentID=c>id", "display=D", "componentType=T", "version=V",
                                                       "display=N", "result=false", "id=0", "text=<fail> & \"quote\""});
    EXPECT_EQ(parsedValues(writeToStdout<CInventoryXMLWriter>(r.list)), inventoryExpected);

    updateExpected.insert(
        updateExpected.end(),
        {"result=true", "id=0", "text=" + nasty + "3", "componentID=c>id", "display=D", "componentType=T", "version=V",
         "display=N", "result=true", "id=0", "text=m&m", "result=false", "id=0", "text=<fail> & \"quote\""});
    EXPECT_EQ(parsedValues(writeToStdout<CUpdateXMLWriter>(r.list)), updateExpected);
}

TEST(Documents, OutputFileAndFallbackToStandardOutput)
{
    TempDir dir;
    Records r;
    r.list = {pciRecord()};
    const std::string expected = kDecl + "<PXRInventory lang=\"en\">" + kInvPci + "</PXRInventory>";
    EXPECT_EQ(writeToStdout<CInventoryXMLWriter>(r.list, dir.file("inv.xml")), "");
    EXPECT_EQ(readFile(dir.file("inv.xml")), expected);
    // An existing file is replaced, not appended to.
    writeFile(dir.file("upd.xml"), std::string(500, 'x'));
    {
        CUpdateXMLWriter writer;
        EXPECT_TRUE(writer.GetXML({}, dir.file("upd.xml")));
    }
    EXPECT_EQ(readFile(dir.file("upd.xml")), kDecl + "<PXRExecution lang=\"en\"></PXRExecution>");
    // A directory that does not exist: not written, and said so on standard error; nothing goes to
    // standard output in its place.
    {
        CInventoryXMLWriter writer;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(writer.GetXML(r.list, dir.file("missing/inv.xml")));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "zevupdate: cannot write the result document to " +
                                                              dir.file("missing/inv.xml") +
                                                              ": No such file or directory\n");
        EXPECT_TRUE(SafeFiles::documentFailed());
    }
    EXPECT_FALSE(pathExists(dir.file("missing")));
}

class ThrowingWriter : public IDeviceXMLWriter {
public:
    explicit ThrowingWriter(bool standard) : m_standard(standard) {}
    bool GetXML(const std::vector<CDeviceInfo*>&, std::string) override
    {
        if (m_standard) throw std::runtime_error("disk on fire");
        throw 42;
    }

private:
    bool m_standard;
};

class FixedWriter : public IDeviceXMLWriter {
public:
    explicit FixedWriter(bool result) : m_result(result) {}
    bool GetXML(const std::vector<CDeviceInfo*>& devices, std::string name) override
    {
        seenSize = devices.size();
        seenName = name;
        return m_result;
    }
    std::size_t seenSize = 0;
    std::string seenName;

private:
    bool m_result;
};

TEST(GenerateXML, ResultsAndLogLines)
{
    zevtest::LogMark tail;
    ASSERT_TRUE(CLogger::GetInstance()->m_bInitialized);
    std::vector<CDeviceInfo*> none;
    std::string name = "out.xml";

    std::unique_ptr<IDeviceXMLWriter> missing;
    EXPECT_FALSE(generateXML(missing, none, name));
    EXPECT_EQ(tail.messages(), (std::vector<std::string>{"Entering IECommonUtils::generateXML()",
                                                         "ERROR: Failed to create auto_ptr to CUpdateXMLWriter"}));

    zevtest::LogMark tail2;
    auto* fixed = new FixedWriter(true);
    std::unique_ptr<IDeviceXMLWriter> ok(fixed);
    EXPECT_TRUE(generateXML(ok, none, name));
    EXPECT_EQ(fixed->seenName, "out.xml");
    EXPECT_NE(ok.get(), nullptr);  // ownership stays with the caller
    EXPECT_EQ(tail2.messages(), (std::vector<std::string>{"Entering IECommonUtils::generateXML()",
                                                          "INFO: Successfully created XML file for update.",
                                                          "WARNING: deviceInfo is empty. There seems to be no device.",
                                                          "Leaving IECommonUtils::generateXML()"}));

    zevtest::LogMark tail3;
    Records r;
    r.list = {pciRecord()};
    std::unique_ptr<IDeviceXMLWriter> bad(new FixedWriter(false));
    EXPECT_FALSE(generateXML(bad, r.list, name));
    EXPECT_EQ(tail3.messages(), (std::vector<std::string>{"Entering IECommonUtils::generateXML()",
                                                          "ERROR: Failed to create XML file for update.",
                                                          "Leaving IECommonUtils::generateXML()"}));
}

TEST(GenerateXMLDeathTest, ThrowingWriterEndsProcessWithStatusOne)
{
    std::vector<CDeviceInfo*> none;
    std::string name;
    for (bool standardException : {true, false}) {
        EXPECT_EXIT(
            {
                std::unique_ptr<IDeviceXMLWriter> w(new ThrowingWriter(standardException));
                generateXML(w, none, name);
            },
            ::testing::ExitedWithCode(1), "")
            << standardException;
    }
}

}  // namespace
