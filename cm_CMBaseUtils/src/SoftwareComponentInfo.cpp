#include "CSoftwareComponentInfo.h"

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libxml/xpathInternals.h>

#include "CLogger.h"
#include "CPlatformLayer.h"
#include "CStringUtils.h"

const char* const QUERYCOMPID = "/PXRInventory/Device[@componentID = \"";
const char* const XPATH_SUFFIX = "\"]";

namespace {
const char kDescriptorName[] = "package.xml";
const char kDevicePath[] = "//SoftwareComponent/SupportedDevices/Device";
const char kRollbackPath[] = "//SoftwareComponent/SupportedDevices/Device/RollbackInformation";
const char kDependencyPath[] =
    " //SoftwareComponent/SupportedDevices/Device/Dependency | "
    "//SoftwareComponent/SupportedDevices/Device/SoftDependency";

// Never touch the network, never substitute entities or load a DTD, drop blank text
// nodes, and keep libxml2's own diagnostics off the tool's standard streams.
const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Parses a descriptor held in memory; null when too large, not well-formed or when it declares a
// document type. An internal subset can declare entities whose references libxml2 leaves unexpanded,
// so an attribute value would silently lose its tail ("9005&v;" reads as "9005"): such a descriptor
// is not used at all. why receives the reason of a refusal.
xmlDocPtr parseBounded(const char* data, std::size_t size, const char* url, std::string* why = nullptr)
{
    if (size > CSoftwareComponentInfo::kMaxDescriptorBytes || size > static_cast<std::size_t>(INT_MAX)) {
        if (why != nullptr)
            *why = "larger than " + std::to_string(CSoftwareComponentInfo::kMaxDescriptorBytes) + " bytes";
        return nullptr;
    }
    xmlResetLastError();
    xmlDocPtr doc = xmlReadMemory(data, static_cast<int>(size), url, nullptr, kParseOptions);
    if (doc == nullptr) {
        if (why != nullptr) {
            const xmlError* error = xmlGetLastError();
            *why = "not well-formed";
            if (error != nullptr && error->message != nullptr) {
                std::string message = error->message;
                while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
                *why += " (line " + std::to_string(error->line) + ": " + message + ")";
            }
        }
        return nullptr;
    }
    if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
        if (why != nullptr) *why = "it declares a document type (DOCTYPE)";
        xmlFreeDoc(doc);
        return nullptr;
    }
    return doc;
}

// Reads a regular file of at most kMaxDescriptorBytes; false for anything else (why says which).
// Opened non-blocking so that a FIFO planted in its place cannot stall the tool.
bool readBoundedFile(const std::string& path, std::string& content, std::string& why)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat st;
    bool ok = true;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ok = false;
    } else if (static_cast<unsigned long long>(st.st_size) > CSoftwareComponentInfo::kMaxDescriptorBytes) {
        why = "larger than " + std::to_string(CSoftwareComponentInfo::kMaxDescriptorBytes) + " bytes";
        ok = false;
    }
    content.clear();
    char buffer[65536];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::string("cannot be read (") + std::strerror(errno) + ")";
            ok = false;
        } else if (n == 0)
            break;
        else if (content.size() + static_cast<std::size_t>(n) > CSoftwareComponentInfo::kMaxDescriptorBytes) {
            why = "larger than " + std::to_string(CSoftwareComponentInfo::kMaxDescriptorBytes) + " bytes";
            ok = false;  // grew while being read
        } else
            content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return ok;
}

bool isElementNamed(const xmlNode* node, const char* name)
{
    return node != nullptr && node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           xmlStrcasecmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The content of the element's first child when that is a non-empty text or CDATA node.
const xmlChar* elementText(const xmlNode* node)
{
    if (node == nullptr || node->children == nullptr) return nullptr;
    const xmlNode* first = node->children;
    if (first->type != XML_TEXT_NODE && first->type != XML_CDATA_SECTION_NODE) return nullptr;
    if (first->content == nullptr || first->content[0] == '\0') return nullptr;
    return first->content;
}

std::string toString(const xmlChar* text)
{
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

// Right-aligns an identifier in a field of four, filled with '0' (an empty value gives "0000").
std::string padIdentifier(const std::string& value)
{
    if (value.size() >= 4) return value;
    return std::string(4 - value.size(), '0') + value;
}

// Reads the text as a decimal integer (surrounding white space allowed); false otherwise.
bool parseDecimal(const std::string& text, long long& value)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return false;
    while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0') return false;
    value = v;
    return true;
}

// An XPath string literal for any text: quoted with whichever quote it lacks, or built with concat().
std::string xpathLiteral(const std::string& text)
{
    if (text.find('"') == std::string::npos) return "\"" + text + "\"";
    if (text.find('\'') == std::string::npos) return "'" + text + "'";
    std::string out = "concat(";
    std::string::size_type start = 0;
    bool first = true;
    while (start <= text.size()) {
        std::string::size_type quote = text.find('"', start);
        std::string piece = text.substr(start, quote == std::string::npos ? std::string::npos : quote - start);
        if (!first) out += ", ";
        out += "\"" + piece + "\"";
        first = false;
        if (quote == std::string::npos) break;
        out += ", '\"'";
        start = quote + 1;
    }
    return out + ")";
}

bool iequals(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::string::size_type i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int nodeCount(xmlXPathObjectPtr result)
{
    return (result == nullptr || result->nodesetval == nullptr) ? 0 : result->nodesetval->nodeNr;
}

struct XPathFree {
    void operator()(xmlXPathObjectPtr result) const { xmlXPathFreeObject(result); }
};
// An XPath result that frees itself on every way out of its scope.
using XPathResult = std::unique_ptr<xmlXPathObject, XPathFree>;

int nodeCount(const XPathResult& result) { return nodeCount(result.get()); }

// The one XPath evaluator: a non-empty node set, or null. caller names the error lines; traced
// adds its entering and exiting lines.
xmlXPathObjectPtr evaluateNodeSet(xmlDocPtr doc, const xmlChar* xpath, const char* caller, bool traced)
{
    const std::string prefix = std::string("CSoftwareComponentInfo::") + caller + "() ";
    if (traced) ZEV_LOG(prefix + "Entering");
    xmlXPathContextPtr context = doc == nullptr ? nullptr : xmlXPathNewContext(doc);
    if (context == nullptr) {
        ZEV_LOG(prefix + "Error in xmlXPathNewContext");
        return nullptr;
    }
    XPathResult result(xmlXPathEvalExpression(xpath, context));
    xmlXPathFreeContext(context);
    if (result == nullptr) {
        ZEV_LOG(prefix + "Error in xmlXPathEvalExpression");
        return nullptr;
    }
    if (result->type == XPATH_NODESET && nodeCount(result) > 0) {
        if (traced) ZEV_LOG(prefix + "Exiting");
        return result.release();
    }
    if (traced) ZEV_LOG(prefix + "Empty nodeset");
    return nullptr;
}

// The element's own attribute value: DTD defaults are never consulted, and an entity reference is
// never expanded (only a leading plain text child counts); null for an empty value too. present,
// when given, tells an attribute written empty from one that is absent or unreadable.
const xmlChar* attributeOf(xmlNodePtr node, const char* name, bool* present = nullptr)
{
    if (present != nullptr) *present = false;
    if (node == nullptr || name == nullptr || node->type != XML_ELEMENT_NODE) return nullptr;
    for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns != nullptr || !xmlStrEqual(attr->name, reinterpret_cast<const xmlChar*>(name))) continue;
        xmlNodePtr first = attr->children;
        if (first == nullptr) {
            if (present != nullptr) *present = true;
            return nullptr;
        }
        if (first->type != XML_TEXT_NODE) return nullptr;
        if (present != nullptr) *present = true;
        return first->content;
    }
    return nullptr;
}

// The PCI identity attributes of a PCIInfo element, each starting empty so that a missing one never
// inherits an earlier entry's value. padded: the supported-device form (a present attribute
// right-aligned in four, '0'-filled); otherwise as written.
SPCIInfo readPCIInfo(xmlNodePtr element, bool padded)
{
    SPCIInfo pci;
    const std::pair<const char*, std::string*> fields[] = {{"deviceID", &pci.strDeviceID},
                                                           {"subDeviceID", &pci.strSubDeviceID},
                                                           {"vendorID", &pci.strVendorID},
                                                           {"subVendorID", &pci.strSubVendorID}};
    for (const auto& field : fields) {
        bool present = false;
        const std::string value = toString(attributeOf(element, field.first, &present));
        *field.second = padded && present ? padIdentifier(value) : value;
    }
    return pci;
}
}  // namespace

CSoftwareComponentInfo::CSoftwareComponentInfo() : m_pDoc(nullptr) { ParseXMl(); }

CSoftwareComponentInfo::CSoftwareComponentInfo(std::string& strXml) : m_pDoc(nullptr)
{
    if (loggingMarkerPresent()) CLogger::GetInstance()->Initialize(strBaseUtilsLogFileName);
    ZEV_LOG("CSoftwareComponentInfo::CSoftwareComponentInfo(String) Entering Constructor Method");
    ZEV_LOG(strXml);
    m_pDoc = parseBounded(strXml.data(), strXml.size(), nullptr);
    if (m_pDoc == nullptr)
        ZEV_LOG("CSoftwareComponentInfo::CSoftwareComponentInfo(string) Document " + m_strXmlFilePath +
                " not parsed successfully ");
    ZEV_LOG("CSoftwareComponentInfo::CSoftwareComponentInfo(string) Exiting");
}

CSoftwareComponentInfo::~CSoftwareComponentInfo()
{
    if (m_pDoc != nullptr) {
        xmlFreeDoc(m_pDoc);
        m_pDoc = nullptr;
        xmlCleanupParser();
    }
}

void CSoftwareComponentInfo::ParseXMl()
{
    if (loggingMarkerPresent()) CLogger::GetInstance()->Initialize(strBaseUtilsLogFileName);
    ZEV_LOG("CSoftwareComponentInfo::CSoftwareComponentInfo() Entering Constructor Method");
    ZEV_LOG("CSoftwareComponentInfo::Init() Entering");
    // Blank text nodes are dropped by kParseOptions on every parse of this reader, so the
    // process-wide keep-blanks default of libxml2 is left alone.
    replaceDocument(nullptr);
    m_strXmlFilePath = CPlatformLayer::getCurrentDirectory() + kDescriptorName;
    if (!CPlatformLayer::IsFileExits(kDescriptorName)) {
        ZEV_LOG("CSoftwareComponentInfo::Init() Document " + m_strXmlFilePath + " not used: not found");
        return;
    }
    std::string why;
    m_pDoc = parseDescriptorFile(&why);
    if (m_pDoc == nullptr) {
        ZEV_LOG("CSoftwareComponentInfo::Init() Document " + m_strXmlFilePath + " not used: " + why);
        ZEV_LOG("CSoftwareComponentInfo::Init() Document " + m_strXmlFilePath + " not parsed successfully ");
    }
    ZEV_LOG("CSoftwareComponentInfo::Init() Exiting");
}

xmlDocPtr CSoftwareComponentInfo::parseDescriptorFile(std::string* why)
{
    std::string content;
    std::string reason;
    if (!readBoundedFile(m_strXmlFilePath, content, reason)) {
        if (why != nullptr) *why = reason;
        return nullptr;
    }
    return parseBounded(content.data(), content.size(), m_strXmlFilePath.c_str(), why);
}

void CSoftwareComponentInfo::replaceDocument(xmlDocPtr doc)
{
    if (m_pDoc != nullptr && m_pDoc != doc) xmlFreeDoc(m_pDoc);
    m_pDoc = doc;
}

xmlXPathObjectPtr CSoftwareComponentInfo::ParseXmlUsingXpath(const char* xpath)
{
    // A reader built from text has no file to go back to: it answers from its own document.
    if (!isFromText()) {
        if (!CPlatformLayer::IsFileExits(kDescriptorName)) {
            replaceDocument(nullptr);
            return nullptr;
        }
        replaceDocument(parseDescriptorFile());
    }
    if (m_pDoc == nullptr || xpath == nullptr) return nullptr;
    return GetNodeSet(m_pDoc, reinterpret_cast<const xmlChar*>(xpath));
}

xmlXPathObjectPtr CSoftwareComponentInfo::ParseXmlUsingXpath()
{
    ZEV_LOG("CSoftwareComponentInfo::ParseXmlUsingXpath() Entering");
    xmlXPathObjectPtr result = ParseXmlUsingXpath(kDevicePath);
    ZEV_LOG("CSoftwareComponentInfo::ParseXmlUsingXpath() Exiting");
    return result;
}

xmlXPathObjectPtr CSoftwareComponentInfo::GetNodeSet(xmlDocPtr doc, const xmlChar* xpath)
{
    return evaluateNodeSet(doc, xpath, "GetNodeSet", true);
}

xmlXPathObjectPtr CSoftwareComponentInfo::getnodeset(xmlDocPtr doc, const xmlChar* xpath)
{
    return evaluateNodeSet(doc, xpath, "getnodeset", false);
}

xmlChar* CSoftwareComponentInfo::GetAttributeValue(xmlNodePtr node, const char* name)
{
    return const_cast<xmlChar*>(attributeOf(node, name));
}

std::string CSoftwareComponentInfo::GetValue(std::string xpath, std::string attribute)
{
    ZEV_LOG("Entering GetStringFromPackageXML function");
    std::string value;
    XPathResult result(m_pDoc == nullptr ? nullptr
                                         : GetNodeSet(m_pDoc, reinterpret_cast<const xmlChar*>(xpath.c_str())));
    bool found = false;
    for (int i = 0; i < nodeCount(result) && !found; ++i) {
        xmlNodePtr node = result->nodesetval->nodeTab[i];
        xmlChar* attr = attribute.empty() ? nullptr : GetAttributeValue(node, attribute.c_str());
        if (attr != nullptr) {
            // An attribute value ends the search at once, without the exiting line.
            return toString(attr);
        }
        const xmlChar* text = node->type == XML_ELEMENT_NODE ? elementText(node) : nullptr;
        if (text != nullptr) {
            value = toString(text);
            ZEV_LOG(value);
            found = true;
        }
    }
    ZEV_LOG("Exiting GetStringFromPackageXML function");
    return value;
}

std::string CSoftwareComponentInfo::GetPackageID() { return GetValue("//SoftwareComponent", ""); }

std::string CSoftwareComponentInfo::GetComponentTypeDisplayString()
{
    return GetValue("//SoftwareComponent/ComponentType/Display", "");
}

std::string CSoftwareComponentInfo::lastAttributeValue(const char* xpath, const char* attribute)
{
    if (!isFromText()) replaceDocument(parseDescriptorFile());
    std::string found;
    XPathResult result(m_pDoc == nullptr ? nullptr : GetNodeSet(m_pDoc, reinterpret_cast<const xmlChar*>(xpath)));
    for (int i = 0; i < nodeCount(result); ++i) {
        xmlChar* value = GetAttributeValue(result->nodesetval->nodeTab[i], attribute);
        if (value != nullptr) found = toString(value);
    }
    return found;
}

std::string CSoftwareComponentInfo::GetComponentVersion()
{
    return lastAttributeValue("//SoftwareComponent", "vendorVersion");
}

std::string CSoftwareComponentInfo::GetComponentType()
{
    return lastAttributeValue("//SoftwareComponent/ComponentType", "value");
}

std::string CSoftwareComponentInfo::GetComponentID()
{
    ZEV_LOG("Entering CSoftwareComponentInfo::GetComponentID()");
    std::string componentID;
    XPathResult result(ParseXmlUsingXpath(kDevicePath));
    if (nodeCount(result) > 0) {
        componentID = toString(GetAttributeValue(result->nodesetval->nodeTab[0], "componentID"));
        ZEV_LOG("Found the component id as " + componentID);
    }
    ZEV_LOG("Leaving CSoftwareComponentInfo::GetComponentID()");
    return componentID;
}

std::string CSoftwareComponentInfo::GetMinComponentID()
{
    ZEV_LOG("Entering CSoftwareComponentInfo::GetMinComponentID()");
    bool any = false;
    long long smallest = 0;
    XPathResult result(ParseXmlUsingXpath(kDevicePath));
    for (int i = 0; i < nodeCount(result); ++i) {
        long long value = 0;
        // Identifiers that are not decimal numbers take no part in the minimum.
        if (!parseDecimal(toString(GetAttributeValue(result->nodesetval->nodeTab[i], "componentID")), value)) continue;
        if (!any || value < smallest) smallest = value;
        any = true;
    }
    ZEV_LOG("Leaving CSoftwareComponentInfo::GetMinComponentID()");
    return any ? std::to_string(smallest) : std::string();
}

std::map<std::string, std::string> CSoftwareComponentInfo::getCompIDMarkNameInfo()
{
    std::map<std::string, std::string> names;
    XPathResult result(ParseXmlUsingXpath(kDevicePath));
    for (int i = 0; i < nodeCount(result); ++i) {
        xmlNodePtr device = result->nodesetval->nodeTab[i];
        for (xmlNodePtr child = device->children; child != nullptr; child = child->next) {
            const xmlChar* text = isElementNamed(child, "Display") ? elementText(child) : nullptr;
            if (text == nullptr) continue;
            // The first device that names an identifier keeps it.
            names.emplace(toString(GetAttributeValue(device, "componentID")), toString(text));
            break;
        }
    }
    return names;
}

std::string CSoftwareComponentInfo::getMarketingNameForNonPCIDevice(std::string& strComponentID)
{
    std::map<std::string, std::string> names = getCompIDMarkNameInfo();
    for (const auto& entry : names)
        if (iequals(entry.first, strComponentID)) return entry.second;
    return std::string();
}

std::vector<SPCIInfo> CSoftwareComponentInfo::GetSupportedDevices()
{
    std::vector<SPCIInfo> devices;
    ZEV_LOG("CSoftwareComponentInfo::GetSupportedDevices() Entering");
    XPathResult result(ParseXmlUsingXpath(kDevicePath));
    if (result == nullptr) {
        ZEV_LOG("CSoftwareComponentInfo::GetSupportedDevices() Error during calculating xpath expression");
    } else {
        ZEV_LOG("CSoftwareComponentInfo::GetSupportedDevices() Found Some Device Nodes");
        for (int i = 0; i < nodeCount(result); ++i) {
            xmlNodePtr device = result->nodesetval->nodeTab[i];
            ZEV_LOG("CSoftwareComponentInfo::GetSupportedDevices() Finding the Component ID and PCI Info");
            const std::string componentID = toString(GetAttributeValue(device, "componentID"));
            for (xmlNodePtr child = device->children; child != nullptr; child = child->next) {
                if (!isElementNamed(child, "PCIInfo")) continue;
                ZEV_LOG("CSoftwareComponentInfo::GetSupportedDevices() Found a PCI Device");
                SPCIInfo entry = readPCIInfo(child, true);
                entry.strComponentID = componentID;
                for (xmlNodePtr sibling = child->next; sibling != nullptr; sibling = sibling->next) {
                    if (!isElementNamed(sibling, "Display")) continue;
                    ZEV_LOG(
                        "CSoftwareComponentInfo::GetSupportedDevices() Found a Display element under Device element");
                    const xmlChar* text = elementText(sibling);
                    if (text != nullptr) {
                        entry.strDisplay = toString(text);
                        ZEV_LOG(
                            "CSoftwareComponentInfo::GetSupportedDevices() Got the marketing name/Display name for a "
                            "PCI Device as " +
                            entry.strDisplay);
                        break;
                    }
                }
                devices.push_back(entry);
            }
        }
    }
    ZEV_LOG("CSoftwareComponentInfo::GetSupportedDevices() Exiting");
    return devices;
}

std::string CSoftwareComponentInfo::getMarketingNameForPCIDevice(SPCIInfo& pciInfo)
{
    std::string name;
    for (const SPCIInfo& entry : GetSupportedDevices()) {
        if (iequals(entry.strDeviceID, pciInfo.strDeviceID) && iequals(entry.strSubDeviceID, pciInfo.strSubDeviceID) &&
            iequals(entry.strVendorID, pciInfo.strVendorID) && iequals(entry.strSubVendorID, pciInfo.strSubVendorID))
            name = entry.strDisplay;
    }
    return name;
}

std::string CSoftwareComponentInfo::GetComponentDisplayString()
{
    std::string display;
    XPathResult result(ParseXmlUsingXpath(kDevicePath));
    for (int i = 0; i < nodeCount(result) && display.empty(); ++i) {
        xmlNodePtr first = result->nodesetval->nodeTab[i]->children;
        if (isElementNamed(first, "Display")) display = toString(elementText(first));
    }
    return display;
}

bool CSoftwareComponentInfo::getPresenceOfRollbackInfo()
{
    ZEV_LOG("Entering getPresenceOfGuid function");
    bool present = false;
    XPathResult result(ParseXmlUsingXpath(kRollbackPath));
    if (result == nullptr) {
        ZEV_LOG("ParseXmlUsingXpath failed");
    } else {
        present = true;
        ZEV_LOG("GUID Tag found in package.xml");
    }
    ZEV_LOG("Leaving getPresenceOfGuid function");
    return present;
}

bool CSoftwareComponentInfo::GetInvFromJVL(std::string strComponentID, std::ostream& out, std::istream& in)
{
    // Read at most one byte past the bound, so an endless stream cannot exhaust memory.
    std::string text;
    char buffer[65536];
    while (in && text.size() <= kMaxDescriptorBytes) {
        in.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    xmlDocPtr doc = parseBounded(text.data(), text.size(), nullptr);
    if (doc == nullptr) return false;

    // The identifier is quoted so that it can only ever be compared, never alter the expression.
    std::string expression = QUERYCOMPID;
    if (strComponentID.find('"') != std::string::npos)
        expression = "/PXRInventory/Device[@componentID = " + xpathLiteral(strComponentID) + "]";
    else
        expression += strComponentID + XPATH_SUFFIX;

    bool ok = true;
    XPathResult result(getnodeset(doc, reinterpret_cast<const xmlChar*>(expression.c_str())));
    if (result == nullptr) {
        ZEV_LOG("CSoftwareComponentInfo::GetInvFromJVL() componentID " + strComponentID + " not found");
    } else {
        ZEV_LOG("CSoftwareComponentInfo::GetInvFromJVL() componentID " + strComponentID + " found");
        for (int i = 0; i < nodeCount(result) && ok; ++i) {
            xmlBufferPtr serialised = xmlBufferCreate();
            if (serialised == nullptr) {
                ok = false;
                break;
            }
            if (xmlNodeDump(serialised, doc, result->nodesetval->nodeTab[i], 0, 1) >= 0)
                out << reinterpret_cast<const char*>(xmlBufferContent(serialised));
            xmlBufferFree(serialised);
        }
    }
    result.reset();  // its node set points into the document
    xmlFreeDoc(doc);
    return ok;
}

std::vector<CDeviceInfo*> CSoftwareComponentInfo::getDependencyInfo()
{
    std::vector<CDeviceInfo*> dependencies;
    XPathResult result(ParseXmlUsingXpath(kDependencyPath));
    ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() Entered Method");
    if (result == nullptr) {
        ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() ParseXmlUsingXpath failed");
        return dependencies;
    }

    for (int i = 0; i < nodeCount(result); ++i) {
        xmlNodePtr node = result->nodesetval->nodeTab[i];
        CDeviceInfo* record = new (std::nothrow) CDeviceInfo();
        if (record == nullptr) {
            ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() new  ( std::nothrow ) CDeviceInfo() failed");
            return dependencies;
        }
        record->setDeviceType(CDeviceInfo::NON_PCI_DEVICE);

        if (isElementNamed(node, "SoftDependency")) {
            ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() Found SoftDependecny");
            record->setDependencyType(CDeviceInfo::SOFT_DEPENDENCY);
        } else {
            ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() Found HardDependency");
            record->setDependencyType(CDeviceInfo::HARD_DEPENDENCY);
        }

        xmlNodePtr device = node->parent;
        xmlChar* parentID = GetAttributeValue(device, "componentID");
        if (parentID != nullptr) {
            record->setParentComponentID(toString(parentID));
            ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() got the parent componentID info from package.xml");
        } else {
            ZEV_LOG(
                "CSoftwareComponentInfo::getDependencyInfo() failed to get the parent componentID info from "
                "package.xml");
        }

        record->setParentDeviceType(CDeviceInfo::NON_PCI_DEVICE);
        std::vector<SPCIInfo> parentPCI;
        for (xmlNodePtr child = device == nullptr ? nullptr : device->children; child != nullptr; child = child->next) {
            if (!isElementNamed(child, "PCIInfo")) continue;
            record->setParentDeviceType(CDeviceInfo::PCI_DEVICE);
            parentPCI.push_back(readPCIInfo(child, false));
        }
        record->setParentPCIInfo(parentPCI);

        readDependencyAttributes(node, record);
        std::vector<SPCIInfo> required;
        readDependencyChildren(node, record, required);

        if (required.empty()) {
            std::size_t before = dependencies.size();
            AddDependencyInfo(dependencies, record);
            if (dependencies.size() == before) delete record;  // a duplicate: not listed, so nobody else holds it
            continue;
        }
        for (const SPCIInfo& pci : required) {
            CDeviceInfo* copy = new (std::nothrow) CDeviceInfo(*record);
            if (copy == nullptr) continue;
            copy->setPCIInfo(pci);
            std::size_t before = dependencies.size();
            AddDependencyInfo(dependencies, copy);
            if (dependencies.size() == before) delete copy;
            ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() Adding dependency info for a PCI Device");
        }
        delete record;  // only its per-identity copies are listed
    }
    ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() Exiting");
    return dependencies;
}

void CSoftwareComponentInfo::readDependencyAttributes(xmlNodePtr node, CDeviceInfo* record)
{
    xmlChar* value = GetAttributeValue(node, "context");
    if (value != nullptr)
        record->setDependencyContext(toString(value));
    else {
        ZEV_LOG(
            "CSoftwareComponentInfo::getDependencyInfo() failed to get the context info from package.xml for dependent "
            "device so setting Deafult as OS");
        record->setDependencyContext("OS");
    }
    // Each attribute in the order its missing-attribute line is logged.
    static const std::pair<const char*, void (CDeviceInfo::*)(std::string)> kAttributes[] = {
        {"componentID", &CDeviceInfo::setComponentID},
        {"componentType", &CDeviceInfo::setComponentType},
        {"version", &CDeviceInfo::setVersion},
        {"path", &CDeviceInfo::setFilePath},
        {"releaseID", &CDeviceInfo::setReleaseID}};
    for (const auto& attribute : kAttributes) {
        if ((value = GetAttributeValue(node, attribute.first)) != nullptr)
            (record->*attribute.second)(toString(value));
        else
            ZEV_LOG(std::string("CSoftwareComponentInfo::getDependencyInfo() failed to get the ") + attribute.first +
                    " info from package.xml for dependent device");
    }
}

void CSoftwareComponentInfo::readDependencyChildren(xmlNodePtr node, CDeviceInfo* record,
                                                    std::vector<SPCIInfo>& required)
{
    std::vector<std::string> platforms;
    std::vector<SOSInfo> systems;
    bool brandSeen = false;
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        // Display and Detail: the element's text; one without text is logged under its name.
        static const struct {
            const char* element;
            void (CDeviceInfo::*set)(std::string);
        } kTexts[] = {{"Display", &CDeviceInfo::setDisplay}, {"Detail", &CDeviceInfo::setDetail}};
        for (const auto& t : kTexts) {
            if (!isElementNamed(child, t.element)) continue;
            const xmlChar* text = elementText(child);
            if (text != nullptr)
                (record->*t.set)(toString(text));
            else
                ZEV_LOG(std::string("CSoftwareComponentInfo::getDependencyInfo() failed to get the ") + t.element +
                        " info from package.xml for dependent device");
        }
        if (isElementNamed(child, "Brand") || isElementNamed(child, "DepBrand")) {
            // getPlatformInfo already walks every later brand element, so it runs once,
            // from the first brand; a second call would list the later brands twice.
            if (!brandSeen) {
                std::vector<std::string> ids = getPlatformInfo(child);
                platforms.insert(platforms.end(), ids.begin(), ids.end());
                record->setDependencyPlatforms(platforms);
                brandSeen = true;
            }
        } else {
            ZEV_LOG(
                "CSoftwareComponentInfo::getDependencyInfo() unable to get the Platform info from package.xml for "
                "dependent device");
        }
        if (isElementNamed(child, "OperatingSystem") || isElementNamed(child, "DepOperatingSystem")) {
            static const char* const kOSAttributes[] = {"majorVersion",   "minorVersion", "spMajorVersion",
                                                        "spMinorVersion", "osVendor",     "osArch"};
            SOSInfo os;  // starts empty, see GetSupportedDevices
            std::string* fields[] = {&os.strMajorVersion,   &os.strMinorVersion, &os.strSPMajorVersion,
                                     &os.strSPMinorVersion, &os.strOSVendor,     &os.strOSArch};
            for (int a = 0; a < 6; ++a) {
                xmlChar* attr = GetAttributeValue(child, kOSAttributes[a]);
                if (attr != nullptr)
                    *fields[a] = toString(attr);
                else
                    ZEV_LOG(
                        "CSoftwareComponentInfo::getDependencyInfo() failed to get the MajorVersion info from "
                        "package.xml for dependent device");
            }
            systems.push_back(os);
        } else {
            ZEV_LOG(
                "CSoftwareComponentInfo::getDependencyInfo() unable to get the Platform info from package.xml for "
                "dependent device or Opernating System Information Is not mentioned in the Dependency Node");
        }
        if (isElementNamed(child, "PCIInfo") || isElementNamed(child, "DepPCIInfo")) {
            ZEV_LOG("CSoftwareComponentInfo::getDependencyInfo() Found a PCI Device");
            record->setDeviceType(CDeviceInfo::PCI_DEVICE);
            const SPCIInfo pci = readPCIInfo(child, false);
            record->setPCIInfo(pci);
            required.push_back(pci);
        }
    }
    record->setDependencyOS(systems);
}

std::vector<std::string> CSoftwareComponentInfo::getPlatformInfo(xmlNodePtr brand)
{
    ZEV_LOG("CSoftwareComponentInfo::getPlatformInfo() Entering");
    std::vector<std::string> platforms;
    for (xmlNodePtr node = brand; node != nullptr; node = node->next) {
        if (!isElementNamed(node, "Brand") && !isElementNamed(node, "DepBrand")) continue;
        for (xmlNodePtr model = node->children; model != nullptr; model = model->next) {
            if (!isElementNamed(model, "Model") && !isElementNamed(model, "DepModel")) continue;
            xmlChar* systemID = GetAttributeValue(model, "systemID");
            if (systemID != nullptr)  // a model without an identifier names no platform
                platforms.push_back("0x" + toString(systemID));
        }
    }
    ZEV_LOG("CSoftwareComponentInfo::getPlatformInfo() Exiting");
    return platforms;
}

void CSoftwareComponentInfo::AddDependencyInfo(std::vector<CDeviceInfo*>& vecDeps, CDeviceInfo*& pDep)
{
    if (pDep == nullptr) return;
    for (CDeviceInfo* listed : vecDeps) {
        if (listed != nullptr && *listed == *pDep && listed->getParentComponentID() == pDep->getParentComponentID()) {
            ZEV_LOG("CSoftwareComponentInfo::AddDependencyInfo() Found a duplicate entry");
            return;
        }
    }
    vecDeps.push_back(pDep);
}
