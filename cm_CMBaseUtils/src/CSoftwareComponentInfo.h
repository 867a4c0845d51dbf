#ifndef CSOFTWARECOMPONENTINFO_H
#define CSOFTWARECOMPONENTINFO_H

// Reader of the package descriptor "package.xml": answers XPath questions about it.
//
// Parsing is hardened: no network access, no entity substitution, no external DTD,
// blank text nodes dropped, and the descriptor text is bounded in size
// (kMaxDescriptorBytes) before libxml2 sees it. A descriptor that declares a document
// type (DOCTYPE) is not used; the debug log says why a descriptor file was not used.
//
// Nodes and node sets handed out by a query stay valid until the next query that
// parses the file again or until the reader is destroyed; a node-set result must be
// freed by the caller with xmlXPathFreeObject.

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstddef>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "CDeviceInfo.h"

// Start and end of the XPath expression that selects one inventory entry by its component identifier.
extern const char* const QUERYCOMPID;
extern const char* const XPATH_SUFFIX;

class CSoftwareComponentInfo {
public:
    // Largest descriptor (file or text) the reader accepts; larger input counts as not parsed.
    static const std::size_t kMaxDescriptorBytes = 8u * 1024u * 1024u;

    // Looks for package.xml in the working directory and parses it when present.
    CSoftwareComponentInfo();
    // Parses the given descriptor text; queries then run over this text, never over a file.
    explicit CSoftwareComponentInfo(std::string& strXml);
    ~CSoftwareComponentInfo();

    CSoftwareComponentInfo(const CSoftwareComponentInfo&) = delete;
    CSoftwareComponentInfo& operator=(const CSoftwareComponentInfo&) = delete;

    // File lookup and parse of the default constructor.
    void ParseXMl();

    // Re-parses the descriptor file (or uses the held text document) and evaluates the expression;
    // null when there is no document or no node matches. The caller frees the result.
    xmlXPathObjectPtr ParseXmlUsingXpath(const char* xpath);
    // The same for "//SoftwareComponent/SupportedDevices/Device".
    xmlXPathObjectPtr ParseXmlUsingXpath();

    // Evaluates an expression over a document; null on error or empty node set (caller frees).
    xmlXPathObjectPtr GetNodeSet(xmlDocPtr doc, const xmlChar* xpath);
    // Same as GetNodeSet, without the entering/exiting lines.
    xmlXPathObjectPtr getnodeset(xmlDocPtr doc, const xmlChar* xpath);

    // Value of a non-namespaced attribute (exact name) or null; borrowed from the document.
    xmlChar* GetAttributeValue(xmlNodePtr node, const char* name);

    // First attribute value (when the name is not empty) or element text over the held document; "" if none.
    std::string GetValue(std::string xpath, std::string attribute);
    std::string GetPackageID();
    std::string GetComponentTypeDisplayString();
    std::string GetComponentVersion();
    std::string GetComponentType();
    std::string GetComponentID();
    std::string GetMinComponentID();
    std::map<std::string, std::string> getCompIDMarkNameInfo();
    std::string getMarketingNameForNonPCIDevice(std::string& strComponentID);

    // The PCI identities the package supports, one per PCIInfo; empty without a usable descriptor.
    std::vector<SPCIInfo> GetSupportedDevices();
    std::string getMarketingNameForPCIDevice(SPCIInfo& pciInfo);
    std::string GetComponentDisplayString();
    bool getPresenceOfRollbackInfo();

    // Appends the inventory Device entries with this component identifier from the input document;
    // false when the input is not a parsable document or serialisation fails.
    bool GetInvFromJVL(std::string strComponentID, std::ostream& out, std::istream& in);

    // Dependency records of every Dependency/SoftDependency node; the caller owns them.
    std::vector<CDeviceInfo*> getDependencyInfo();
    // "0x"-prefixed system identifiers of the given brand element and the brand elements after it.
    std::vector<std::string> getPlatformInfo(xmlNodePtr brand);
    // Appends the record unless an equal record for the same parent component is listed already.
    void AddDependencyInfo(std::vector<CDeviceInfo*>& vecDeps, CDeviceInfo*& pDep);

private:
    // Reads and parses the descriptor file; null when it is not used (why, when given, says why).
    xmlDocPtr parseDescriptorFile(std::string* why = nullptr);
    void replaceDocument(xmlDocPtr doc);
    bool isFromText() const { return m_strXmlFilePath.empty(); }
    // The attribute of the last node the path selects that has it, from the descriptor read afresh
    // (or the text the reader was built from); empty when none has it.
    std::string lastAttributeValue(const char* xpath, const char* attribute);
    // Parts of getDependencyInfo: the dependency element's own attributes, then its child elements
    // (display, detail, platforms, operating systems, and the PCI identities it requires).
    void readDependencyAttributes(xmlNodePtr node, CDeviceInfo* record);
    void readDependencyChildren(xmlNodePtr node, CDeviceInfo* record, std::vector<SPCIInfo>& required);

    std::string m_strXmlFilePath;
    xmlDocPtr m_pDoc;
};

#endif
