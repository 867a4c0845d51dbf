// Descriptors that are broken, huge or hostile: empty results, bounded memory, no file or
// network access beyond package.xml itself.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include <libxml/xmlIO.h>
#include <libxml/xmlmemory.h>

#include "CSoftwareComponentInfo.h"
#include "IECommonUtils.h"
#include "PackageTestSupport.h"

using pkgtest::ScratchDir;

namespace {

const char kValid[] =
    "<?xml version=\"1.0\"?>\n<SoftwareComponent vendorVersion=\"1\">\n <SupportedDevices>\n"
    "  <Device componentID=\"1\">\n"
    "   <PCIInfo deviceID=\"28f\" vendorID=\"9005\" subDeviceID=\"800\" subVendorID=\"9005\"/>\n"
    "   <Display>A</Display>\n"
    "   <Dependency componentID=\"2\"/>\n"
    "  </Device>\n </SupportedDevices>\n</SoftwareComponent>\n";

// A reader of the descriptor given as text, or of package.xml in the working directory.
std::unique_ptr<CSoftwareComponentInfo> readerOf(const std::string& xml, bool fromFile)
{
    if (fromFile) return std::make_unique<CSoftwareComponentInfo>();
    std::string text = xml;
    return std::make_unique<CSoftwareComponentInfo>(text);
}

// Every field the reader returned for the descriptor, for checks over all of them.
std::vector<std::string> everyField(CSoftwareComponentInfo& reader)
{
    std::vector<std::string> out;
    for (const SPCIInfo& p : reader.GetSupportedDevices())
        for (const std::string& s : pkgtest::pciFields(p)) out.push_back(s);
    zevtest::RecordList deps(reader.getDependencyInfo());
    for (CDeviceInfo* d : deps.list) {
        for (const std::string& s : {d->getComponentID(), d->getDisplay(), d->getDetail(), d->getVersion(),
                                     d->getParentComponentID(), d->getDependencyContext()})
            out.push_back(s);
        for (const std::string& s : pkgtest::pciFields(d->getPCIInfo())) out.push_back(s);
    }
    for (const auto& entry : reader.getCompIDMarkNameInfo()) {
        out.push_back(entry.first);
        out.push_back(entry.second);
    }
    out.push_back(reader.GetComponentID());
    out.push_back(reader.GetComponentVersion());
    return out;
}

}  // namespace

TEST(HostileDescriptor, BrokenFilesGiveEmptyResults)
{
    const std::string valid = kValid;
    std::string binary("\x00\x01\xff\xfe<\x00S\x00", 8);
    const std::string cases[] = {
        "",
        "   \n\t",
        valid.substr(0, valid.size() / 2),
        valid.substr(0, valid.size() - 3),
        "not xml at all",
        binary,
        "<SoftwareComponent>",
        "<SoftwareComponent></SupportedDevices>",
        "<SoftwareComponent/><SoftwareComponent/>",
        "<?xml version=\"1.0\" encoding=\"no-such-charset\"?><SoftwareComponent/>",
        // a different root: the supported devices are not where the format puts them
        "<Package><SupportedDevices><Device componentID=\"1\"><PCIInfo deviceID=\"28f\" vendorID=\"9005\"/>"
        "</Device></SupportedDevices></Package>",
        // element names of the XPath part are exact
        "<softwarecomponent><supporteddevices><device componentID=\"1\"><PCIInfo deviceID=\"28f\"/>"
        "</device></supporteddevices></softwarecomponent>",
    };
    for (const std::string& content : cases) {
        ScratchDir dir;
        dir.writePackage(content);
        {
            CSoftwareComponentInfo reader;
            EXPECT_TRUE(reader.GetSupportedDevices().empty()) << content;
            EXPECT_TRUE(zevtest::RecordList(reader.getDependencyInfo()).list.empty()) << content;
            EXPECT_EQ(reader.GetComponentID(), "") << content;
        }
        EXPECT_TRUE(readerOf(content, false)->GetSupportedDevices().empty()) << content;

        std::vector<CDeviceInfo*> devices;
        CDeviceInfo controller;
        controller.setPCIInfo(0x28f, 0x800, 0x9005, 0x9005);
        devices.push_back(&controller);
        EXPECT_FALSE(FilterSupportedDeviceInfo(devices)) << content;
        EXPECT_EQ(devices.size(), 1u);
    }
}

TEST(HostileDescriptor, NotARegularFile)
{
    {
        ScratchDir dir;
        ASSERT_EQ(mkdir(dir.file("package.xml").c_str(), 0755), 0);
        CSoftwareComponentInfo reader;
        EXPECT_TRUE(reader.GetSupportedDevices().empty());
    }
    {
        // An endless device or a FIFO without writer in the descriptor's place must not hang the reader.
        ScratchDir dir;
        ASSERT_EQ(symlink("/dev/zero", dir.file("package.xml").c_str()), 0);
        CSoftwareComponentInfo reader;
        EXPECT_TRUE(reader.GetSupportedDevices().empty());
        ASSERT_EQ(unlink(dir.file("package.xml").c_str()), 0);
        ASSERT_EQ(mkfifo(dir.file("package.xml").c_str(), 0644), 0);
        CSoftwareComponentInfo fifoReader;
        EXPECT_TRUE(fifoReader.GetSupportedDevices().empty());
    }
    {
        // Larger than the bound: refused before libxml2 sees it, even though well-formed.
        ScratchDir dir;
        std::string big = kValid;
        big.insert(big.find("<SoftwareComponent"),
                   "<!--" + std::string(CSoftwareComponentInfo::kMaxDescriptorBytes, 'x') + "-->");
        dir.writePackage(big);
        for (bool fromFile : {true, false}) EXPECT_TRUE(readerOf(big, fromFile)->GetSupportedDevices().empty());
    }
}

TEST(HostileDescriptor, DeepNestingIsRefusedShallowNestingIsRead)
{
    auto nested = [](int depth) {
        std::string s =
            "<SoftwareComponent><SupportedDevices><Device componentID=\"1\">"
            "<PCIInfo deviceID=\"28f\" vendorID=\"9005\" subDeviceID=\"800\" subVendorID=\"9005\"/>";
        for (int i = 0; i < depth; ++i) s += "<a>";
        for (int i = 0; i < depth; ++i) s += "</a>";
        return s + "</Device></SupportedDevices></SoftwareComponent>";
    };
    EXPECT_TRUE(readerOf(nested(200000), false)->GetSupportedDevices().empty());
    EXPECT_EQ(readerOf(nested(100), false)->GetSupportedDevices().size(), 1u);
}

TEST(HostileDescriptor, ThousandsOfDevices)
{
    const int count = 5000;
    std::string xml = "<SoftwareComponent><SupportedDevices>";
    char buf[256];
    for (int i = 0; i < count; ++i) {
        snprintf(buf, sizeof buf,
                 "<Device componentID=\"%d\"><PCIInfo deviceID=\"%x\" vendorID=\"9005\" subDeviceID=\"800\" "
                 "subVendorID=\"9005\"/><Display>D%d</Display></Device>\n",
                 100000 + i, 0x1000 + i, i);
        xml += buf;
    }
    xml += "</SupportedDevices></SoftwareComponent>";

    ScratchDir dir;
    dir.writePackage(xml);
    std::vector<SPCIInfo> supported = GetSupportedPCIDevicesFrmPkgXML();
    ASSERT_EQ(supported.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(pkgtest::pciFields(supported.back()),
              (std::vector<std::string>{"104999", "2387", "0800", "9005", "9005", "D4999"}));

    CDeviceInfo last, none;
    last.setPCIInfo(0x2387, 0x800, 0x9005, 0x9005);
    none.setPCIInfo(0x0fff, 0x800, 0x9005, 0x9005);
    std::vector<CDeviceInfo*> devices = {&none, &last};
    EXPECT_TRUE(FilterSupportedDeviceInfo(devices));
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0], &last);

    CSoftwareComponentInfo reader;
    EXPECT_EQ(reader.GetMinComponentID(), "100000");
}

namespace {

// Counts the bytes libxml2 holds through its allocation hooks, and the peak.
std::atomic<long long> g_heldBytes{0};
std::atomic<long long> g_peakBytes{0};

// Returns p, for the allocating hooks to pass it on.
void* noteAllocated(void* p)
{
    if (p == nullptr) return p;
    long long now = g_heldBytes += static_cast<long long>(malloc_usable_size(p));
    long long peak = g_peakBytes.load();
    while (now > peak && !g_peakBytes.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void noteFreed(void* p)
{
    if (p != nullptr) g_heldBytes -= static_cast<long long>(malloc_usable_size(p));
}

class CountingAllocator {
public:
    CountingAllocator()
    {
        xmlMemGet(&m_free, &m_malloc, &m_realloc, &m_strdup);
        xmlMemSetup(
            [](void* p) {
                noteFreed(p);
                free(p);
            },
            [](size_t n) { return noteAllocated(malloc(n)); },
            [](void* p, size_t n) {
                noteFreed(p);
                void* q = realloc(p, n);
                noteAllocated(q != nullptr ? q : p);
                return q;
            },
            [](const char* s) { return static_cast<char*>(noteAllocated(strdup(s))); });
        g_heldBytes = 0;
        g_peakBytes = 0;
    }
    ~CountingAllocator() { xmlMemSetup(m_free, m_malloc, m_realloc, m_strdup); }
    long long peak() const { return g_peakBytes.load(); }

private:
    xmlFreeFunc m_free;
    xmlMallocFunc m_malloc;
    xmlReallocFunc m_realloc;
    xmlStrdupFunc m_strdup;
};

std::string entityBomb()
{
    std::string s =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE SoftwareComponent [\n"
        " <!ENTITY lol0 \"lollollollollollollollollollollollollollollollollollol\">\n";
    for (int i = 1; i <= 12; ++i) {
        s += " <!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) s += "&lol" + std::to_string(i - 1) + ";";
        s += "\">\n";
    }
    s += "]>\n<SoftwareComponent vendorVersion=\"&lol12;\"><SupportedDevices>"
         "<Device componentID=\"&lol12;\"><PCIInfo deviceID=\"&lol12;\" vendorID=\"9005\"/>"
         "<Display>&lol12;</Display>"
         "<Dependency componentID=\"&lol12;\" version=\"x&lol12;\"><Display>&lol12;</Display><Detail>&lol11;</Detail>"
         "<Brand><Model systemID=\"&lol12;\"/></Brand></Dependency>"
         "</Device></SupportedDevices></SoftwareComponent>\n";
    return s;
}

std::string quadraticBlowup()
{
    std::string s = "<!DOCTYPE SoftwareComponent [<!ENTITY big \"" + std::string(50000, 'B') +
                    "\">]>"
                    "<SoftwareComponent><SupportedDevices><Device componentID=\"1\">"
                    "<PCIInfo deviceID=\"28f\" vendorID=\"9005\"/><Display>";
    for (int i = 0; i < 50000; ++i) s += "&big;";
    return s + "</Display></Device></SupportedDevices></SoftwareComponent>";
}

}  // namespace

TEST(HostileDescriptor, EntityExpansionStaysBounded)
{
    const long long bound = 64ll * 1024 * 1024;
    for (const std::string& doc : {entityBomb(), quadraticBlowup()}) {
        CountingAllocator counting;
        for (bool fromFile : {false, true}) {
            ScratchDir dir;
            dir.writePackage(doc);
            for (const std::string& field : everyField(*readerOf(doc, fromFile))) EXPECT_LT(field.size(), 100000u);
        }
        EXPECT_LT(counting.peak(), bound) << "peak bytes held by the XML library";
        EXPECT_GT(counting.peak(), 0) << "the allocation hooks were not used";
    }
}

namespace {

std::vector<std::string> g_requestedResources;

int recordRequest(const char* uri)
{
    g_requestedResources.push_back(uri != nullptr ? uri : "");
    return 0;  // not ours: libxml2 goes on to its own handlers
}
void* neverOpen(const char*) { return nullptr; }
int neverRead(void*, char*, int) { return -1; }
int neverClose(void*) { return 0; }

// Records every resource libxml2 asks for by URI while it lives.
class RequestRecorder {
public:
    RequestRecorder()
    {
        g_requestedResources.clear();
        xmlInitParser();
        xmlRegisterInputCallbacks(recordRequest, neverOpen, neverRead, neverClose);
    }
    void stop() { xmlPopInputCallbacks(); }
};

}  // namespace

TEST(HostileDescriptor, ExternalEntitiesAndDtdsAreNeverLoaded)
{
    ScratchDir dir;
    pkgtest::writeFile(dir.file("secret.txt"), "SECRET-MARKER");
    pkgtest::writeFile(dir.file("pkg.dtd"), "<!ATTLIST PCIInfo subDeviceID CDATA \"0800\">");
    pkgtest::writeFile(dir.file("param.ent"), "<!ATTLIST PCIInfo subVendorID CDATA \"9005\">");

    // Listening but never accepting: any network fetch would leave a pending connection.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string http = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    // The external subset, a general and a parameter entity, all under one base: local files, then the socket.
    auto doctypeUnder = [](const std::string& base) {
        return "<!DOCTYPE SoftwareComponent SYSTEM \"" + base + "pkg.dtd\" [\n <!ENTITY ext SYSTEM \"" + base +
               "secret.txt\">\n <!ENTITY % pe SYSTEM \"" + base + "param.ent\">\n %pe;\n]>\n";
    };
    const std::string docs[] = {
        doctypeUnder("file://" + dir.file("")),
        doctypeUnder(http + "/"),
        "<!DOCTYPE SoftwareComponent SYSTEM \"pkg.dtd\" [<!ENTITY ext SYSTEM \"secret.txt\">]>\n",
    };
    for (const std::string& doctype : docs) {
        const std::string xml = doctype +
                                "<SoftwareComponent><SupportedDevices><Device componentID=\"1\">"
                                "<PCIInfo deviceID=\"28f\" vendorID=\"9005\"/><Display>&ext;</Display>"
                                "<Dependency><Display>&ext;</Display></Dependency>"
                                "</Device></SupportedDevices></SoftwareComponent>";
        dir.writePackage(xml);
        for (bool fromFile : {false, true}) {
            RequestRecorder recorder;
            std::unique_ptr<CSoftwareComponentInfo> reader = readerOf(xml, fromFile);
            std::vector<SPCIInfo> supported = reader->GetSupportedDevices();
            std::vector<std::string> fields = everyField(*reader);
            recorder.stop();
            reader.reset();

            EXPECT_TRUE(g_requestedResources.empty()) << doctype << " asked for " << g_requestedResources[0];
            // A descriptor with a document type is not used at all.
            EXPECT_TRUE(supported.empty()) << doctype;
            for (const std::string& f : fields) EXPECT_EQ(f.find("SECRET"), std::string::npos) << f;
        }
    }
    int pending = accept(listener, nullptr, nullptr);
    EXPECT_EQ(pending, -1) << "a network connection was attempted";
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    if (pending >= 0) close(pending);
    close(listener);
}

TEST(HostileDescriptor, RequestRecorderSeesALoadWhenOneIsAllowed)
{
    // Control for the test above: with DTD loading switched on, the recorder does see the request.
    ScratchDir dir;
    pkgtest::writeFile(dir.file("pkg.dtd"), "<!ATTLIST PCIInfo subDeviceID CDATA \"0800\">");
    const std::string xml = "<!DOCTYPE SoftwareComponent SYSTEM \"" + dir.file("pkg.dtd") + "\"><SoftwareComponent/>";
    RequestRecorder recorder;
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                  XML_PARSE_DTDLOAD | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    recorder.stop();
    if (doc != nullptr) xmlFreeDoc(doc);
    EXPECT_FALSE(g_requestedResources.empty());
}
