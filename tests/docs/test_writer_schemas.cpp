// The document writers' output, for every record form they know, is valid against the installed
// schemas (checked through ZevDocValidation.h over validate.sh, as the end-to-end tests do), and
// text with markup characters reads back unchanged from the parsed document.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <memory>
#include <string>
#include <vector>

#include "CDeviceInfo.h"
#include "CInventoryXMLWriter.h"
#include "CUpdateXMLWriter.h"
#include "ZevDocValidation.h"
#include "TempDir.h"
#include "TestDeviceRecords.h"
#include "TestFiles.h"

namespace {

const char kMarkup[] = "A&B <\"x\"> 'y' \xc3\xbc &amp;";

using zevtest::readFile;

std::unique_ptr<CDeviceInfo> pciController(const std::string& serial, bool reboot)
{
    auto d = std::make_unique<CDeviceInfo>();
    d->setPCIInfo(zevtest::pciInfo("9005", "28f", "9005", "1100"));
    d->setDeviceType(CDeviceInfo::PCI_DEVICE);
    d->setStatus(0);
    d->setComponentType("FRMW");
    d->setVersion("4.11");
    d->setDeviceName("Ozud 2400-8e Controller Firmware");
    d->setDisplay("Ozud 2400-8e Controller Slot Number 3");
    if (!serial.empty()) d->setEnumId("Serial Number: " + serial);
    d->setErrorMsg("Success: The operation was successful");
    d->setRebootRequired(reboot);
    return d;
}

// One record of every form the writers distinguish, markup characters in every free text.
std::vector<std::unique_ptr<CDeviceInfo>> everyForm()
{
    std::vector<std::unique_ptr<CDeviceInfo>> v;
    v.push_back(pciController("7A1B2C3D4E5F", false));
    v.push_back(pciController("", false));  // no enum attribute

    auto markup = pciController(kMarkup, false);
    markup->setDisplay(kMarkup);
    markup->setDeviceName(kMarkup);
    markup->setVersion(kMarkup);
    markup->setComponentType(kMarkup);
    markup->setErrorMsg(kMarkup);
    v.push_back(std::move(markup));

    auto nonPci = std::make_unique<CDeviceInfo>();
    nonPci->setDeviceType(CDeviceInfo::NON_PCI_DEVICE);
    nonPci->setStatus(0);
    nonPci->setComponentID("102345");
    nonPci->setComponentType("FRMW");
    nonPci->setVersion("2.10");
    nonPci->setDisplay("Backplane & Expander");
    nonPci->setDeviceName("Backplane & Expander Firmware");
    nonPci->setRebootRequired(true);
    v.push_back(std::move(nonPci));

    auto failed = pciController("S1", true);  // a failed record's reboot flag is not consulted
    failed->setStatus(1);
    failed->setMessageID(-3);
    failed->setErrorMsg(std::string("ERROR: <locked> & \"refused\": ") + kMarkup);
    v.push_back(std::move(failed));

    v.push_back(std::make_unique<CDeviceInfo>());  // status never set: failure form, id 0, no text

    auto typeless = std::make_unique<CDeviceInfo>();  // status 0, no device type: writes nothing
    typeless->setStatus(0);
    v.push_back(std::move(typeless));
    return v;
}

std::vector<CDeviceInfo*> raw(const std::vector<std::unique_ptr<CDeviceInfo>>& v)
{
    std::vector<CDeviceInfo*> out;
    for (const auto& d : v) out.push_back(d.get());
    return out;
}

// All string values an XPath expression selects, in document order; a number (count()) as one value.
std::vector<std::string> select(const std::string& path, const char* expr)
{
    std::vector<std::string> out;
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc) return out;
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    xmlXPathObjectPtr res = ctx ? xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expr), ctx) : nullptr;
    if (res && res->type == XPATH_NUMBER) out.push_back(std::to_string(static_cast<long>(res->floatval)));
    if (res && res->type == XPATH_NODESET && res->nodesetval) {
        for (int i = 0; i < res->nodesetval->nodeNr; ++i) {
            xmlChar* s = xmlNodeGetContent(res->nodesetval->nodeTab[i]);
            out.emplace_back(s ? reinterpret_cast<const char*>(s) : "");
            xmlFree(s);
        }
    }
    xmlXPathFreeObject(res);
    xmlXPathFreeContext(ctx);
    xmlFreeDoc(doc);
    return out;
}

template <class Writer>
std::string writeDocument(const TempDir& s, const std::string& name, const std::vector<CDeviceInfo*>& devices)
{
    const std::string path = s.path() + "/" + name;
    {
        Writer writer;
        EXPECT_TRUE(writer.GetXML(devices, path));
    }
    return path;
}

// An XPath expression and what it selects: the whole list (kAll) or the entry at.
constexpr int kAll = -1;
struct Selected {
    const char* xpath;
    int at;
    std::vector<std::string> want;
};

void expectSelected(const std::string& path, const std::vector<Selected>& rows)
{
    for (const Selected& r : rows) {
        std::vector<std::string> got = select(path, r.xpath);
        if (r.at != kAll)
            got = std::vector<std::string>(got.begin() + std::min<std::size_t>(r.at, got.size()),
                                           got.begin() + std::min<std::size_t>(r.at + 1, got.size()));
        EXPECT_EQ(got, r.want) << r.xpath;
    }
}

TEST(WriterSchemas, InventoryOfEveryFormIsValid)
{
    TempDir s;
    auto records = everyForm();
    const std::string path = writeDocument<CInventoryXMLWriter>(s, "inventory.xml", raw(records));
    EXPECT_TRUE(zevdocs::ValidDocumentFile(path));
    expectSelected(
        path,
        {
            {"count(/PXRInventory/Device)", kAll, {"4"}},
            {"count(/PXRInventory/SPStatus)", kAll, {"2"}},
            {"/PXRInventory/Device/@display", 2, {kMarkup}},
            {"/PXRInventory/Device/@enum", 1, {std::string("Serial Number: ") + kMarkup}},
            {"/PXRInventory/Device/Application/@version", 2, {kMarkup}},
            {"/PXRInventory/Device/Application/@componentType", 2, {kMarkup}},
            {"/PXRInventory/Device[3]/Application/@display", kAll, {kMarkup}},
            {"/PXRInventory/SPStatus/Message/@id", kAll, {"-3", "0"}},
            {"/PXRInventory/SPStatus/Message", kAll, {std::string("ERROR: <locked> & \"refused\": ") + kMarkup, ""}},
            {"/PXRInventory/Device[4]/@display", kAll, {"Backplane & Expander"}},
        });
}

TEST(WriterSchemas, UpdateResultOfEveryFormIsValid)
{
    TempDir s;
    auto records = everyForm();
    const std::string path = writeDocument<CUpdateXMLWriter>(s, "result.xml", raw(records));
    EXPECT_TRUE(zevdocs::ValidDocumentFile(path));
    expectSelected(path, {
                             {"count(/PXRExecution/Device)", kAll, {"4"}},
                             {"count(/PXRExecution/Device/Application/SPStatus[@result='true'])", kAll, {"4"}},
                             {"count(/PXRExecution/SPStatus[@result='false'])", kAll, {"2"}},
                             {"/PXRExecution/RebootRequired", kAll, {"1"}},
                             {"/PXRExecution/Device/Application/SPStatus/Message", 2, {kMarkup}},
                             {"/PXRExecution/Device/@display", 2, {kMarkup}},
                             {"/PXRExecution/Device/@enum", 1, {std::string("Serial Number: ") + kMarkup}},
                         });
}

TEST(WriterSchemas, EdgeListsAreValid)
{
    TempDir s;
    const std::vector<CDeviceInfo*> none;
    const std::string inv = writeDocument<CInventoryXMLWriter>(s, "empty-inventory.xml", none);
    EXPECT_EQ(readFile(inv), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRInventory lang=\"en\"></PXRInventory>");
    EXPECT_TRUE(zevdocs::ValidDocumentFile(inv));
    const std::string res = writeDocument<CUpdateXMLWriter>(s, "empty-result.xml", none);
    EXPECT_EQ(readFile(res), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRExecution lang=\"en\"></PXRExecution>");
    EXPECT_TRUE(zevdocs::ValidDocumentFile(res));

    CDeviceInfo early;
    early.setStatus(2);
    early.setErrorMsg("Payload directory is not proper.");
    const std::string one = writeDocument<CUpdateXMLWriter>(s, "early.xml", {&early});
    EXPECT_TRUE(zevdocs::ValidDocumentFile(one));
    EXPECT_EQ(select(one, "/PXRExecution/SPStatus/Message"),
              std::vector<std::string>{"Payload directory is not proper."});

    auto failed = pciController("S2", true);
    failed->setStatus(1);
    const std::string noReboot = writeDocument<CUpdateXMLWriter>(s, "failed-reboot.xml", {failed.get()});
    EXPECT_TRUE(zevdocs::ValidDocumentFile(noReboot));
    EXPECT_TRUE(select(noReboot, "/PXRExecution/RebootRequired").empty());
}

// The assertions themselves: they fail, with the reason, on what the schema or the form rejects,
// and they take file names that need quoting.
TEST(WriterSchemas, AssertionsRejectBrokenDocuments)
{
    TempDir s;
    auto records = everyForm();
    const std::string good = readFile(writeDocument<CUpdateXMLWriter>(s, "it's a result.xml", raw(records)));
    EXPECT_TRUE(zevdocs::ValidDocumentFile(s.path() + "/it's a result.xml"));
    EXPECT_TRUE(zevdocs::ValidDocumentText(good));

    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    };
    std::string unescaped = good;
    unescaped.replace(unescaped.find("&amp;"), 5, "&");
    std::string wrongStatus = good;
    wrongStatus.replace(wrongStatus.find("result = \"true\""), 15, "result = \"yes\"");
    const Case cases[] = {
        {"trailing newline", good + "\n", "not a single line"},
        {"unescaped ampersand", unescaped, "parser error"},
        {"status neither true nor false", wrongStatus, "fixed value constraint 'true'"},
        {"unknown root", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><PXRReport/>", "unknown root element"},
    };
    for (const Case& c : cases) {
        const ::testing::AssertionResult r = zevdocs::ValidDocumentText(c.text);
        EXPECT_FALSE(r) << c.what;
        EXPECT_NE(std::string(r.message()).find(c.reason), std::string::npos) << c.what << ": " << r.message();
    }
    const ::testing::AssertionResult missing = zevdocs::ValidDocumentFile(s.path() + "/none.xml");
    EXPECT_FALSE(missing);
    EXPECT_NE(std::string(missing.message()).find("status 2"), std::string::npos) << missing.message();
}

}  // namespace
