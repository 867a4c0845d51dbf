#include "CCommandLineParser.h"

#include <unistd.h>

#include <iostream>
#include <vector>

#include "CLogger.h"
#include "CPlatformLayer.h"
#include "SafeFiles.h"

const char* const g_szUsageText =
    "\nUsage: -h\n\tProvides detailed help information\n\nUsage: -i [-o <output filename>] [-debug]\n"
    "\tProvides inventory information of all identified devices.\n\t-o Specifies the output filename.\n"
    "\t-d Specifies to create a debug log file.\n\nUsage: -u [-s <image folder>] [-f] [-o <output filename>] "
    "[-debug [filename]]\n===========================================================================\n";

CCommandLineParser::CCommandLineParser()
    : m_strDebugFileName("debug.log"),
      m_bForceMode(false),
      m_bDebug(false),
      m_bInventory(false),
      m_bUpdate(false),
      m_bVerify(false),
      m_nArgIndex(1),
      m_bMarkerRequested(false)
{
}

CCommandLineParser::~CCommandLineParser() {}

void CCommandLineParser::printUsage() { std::cout << g_szUsageText << std::flush; }

// false on a bad command line (usage printed); true for an accepted one and for -h.
bool CCommandLineParser::parseCLI(int argc, char** argv)
{
    if (argc < 2 || argv == nullptr) {
        printUsage();
        return false;
    }
    // Overwritten by each mode option; -d copies whatever it holds at that moment.
    std::string modeLogName;
    for (; m_nArgIndex < argc; ++m_nArgIndex) {
        const std::string arg = argv[m_nArgIndex] ? argv[m_nArgIndex] : "";
        if (arg == "-u") {
            m_bUpdate = true;
            modeLogName = "debug_update.log";
        } else if (arg == "-h") {
            printUsage();
            return accept();
        } else if (arg == "-o") {
            if (m_nArgIndex + 1 >= argc || argv[m_nArgIndex + 1] == nullptr) {
                printUsage();
                return false;
            }
            m_strOutputFileName = argv[++m_nArgIndex];
        } else if (arg == "-i") {
            m_bInventory = true;
            modeLogName = "debug_inv.log";
        } else if (arg == "-f") {
            m_bForceMode = true;
        } else if (arg == "-d") {
            m_bMarkerRequested = true;  // created once the whole line is accepted
            m_strDebugFileName = modeLogName;
            m_bDebug = true;
            if (m_nArgIndex + 1 < argc && argv[m_nArgIndex + 1] != nullptr && argv[m_nArgIndex + 1][0] != '-')
                m_strDebugFileName = argv[++m_nArgIndex];
        } else if (arg == "-v") {
            m_bVerify = true;
        } else {
            printUsage();
            return false;
        }
    }
    // The marker is a regular file or nothing: a FIFO or link in its place does not switch logging on.
    if (!m_bDebug && loggingMarkerPresent()) {
        m_strDebugFileName = modeLogName;
        m_bDebug = true;
    }
    return accept();
}

namespace {

struct NamedFile {
    std::string label;  // as the refusal names it
    SafeFiles::Identity id;
};

}  // namespace

// The files this run would write, checked against each other and against the package's own files
// (package.xml, the payload image and its folder, the executable): a document or log written over
// any of them would destroy it, or be flashed as firmware.
std::string CCommandLineParser::runFilesProblem()
{
    if (!m_strOutputFileName.empty()) {
        std::string problem = SafeFiles::outputTargetProblem(m_strOutputFileName);
        if (!problem.empty()) return "-o " + m_strOutputFileName + ": " + problem;
    }
    std::vector<NamedFile> written;
    if (!m_strOutputFileName.empty())
        written.push_back({"-o " + m_strOutputFileName, SafeFiles::identify(m_strOutputFileName)});
    if (m_bDebug && !m_strDebugFileName.empty()) {
        written.push_back({"debug log " + m_strDebugFileName, SafeFiles::identify(m_strDebugFileName)});
        written.push_back({"debug log debug_syscore.log", SafeFiles::identify("debug_syscore.log")});
    }
    if (m_bMarkerRequested)
        written.push_back({"marker file " + strEnableLogFileName, SafeFiles::identify(strEnableLogFileName)});
    if (written.empty()) return std::string();

    std::vector<NamedFile> kept;
    kept.push_back({"package.xml", SafeFiles::identify("package.xml")});
    kept.push_back({"the executable", SafeFiles::identify("/proc/self/exe")});
    SafeFiles::Identity payloadFolder;
    const std::string exeFolder = CPlatformLayer::getCurrentProcessDirectory();
    if (!exeFolder.empty()) {
        std::string folder = exeFolder + "payload";
        payloadFolder = SafeFiles::identify(folder);
        std::vector<std::string> entries = CPlatformLayer::GetFileList(folder);
        if (entries.size() == 1) kept.push_back({"the payload image", SafeFiles::identify(entries[0])});
    }

    for (std::size_t i = 0; i < written.size(); ++i) {
        for (const NamedFile& k : kept) {
            if (SafeFiles::sameFile(written[i].id, k.id)) return written[i].label + ": the same file as " + k.label;
        }
        if (payloadFolder.exists && !written[i].id.resolved.empty() &&
            SafeFiles::sameFile(SafeFiles::folderOf(written[i].id.resolved), payloadFolder))
            return written[i].label + ": inside the payload folder";
        for (std::size_t j = 0; j < i; ++j) {
            if (SafeFiles::sameFile(written[i].id, written[j].id))
                return written[i].label + ": the same file as " + written[j].label;
        }
    }
    return std::string();
}

// The end of an accepted command line: the files it names are checked, and only then is anything
// created. false (one line on standard error) when they may not be used.
bool CCommandLineParser::accept()
{
    const std::string problem = runFilesProblem();
    if (!problem.empty()) {
        std::string ignored;
        std::cout.flush();
        SafeFiles::writeAll(STDERR_FILENO, "zevupdate: " + problem + "\n", ignored);
        return false;
    }
    if (m_bMarkerRequested) CPlatformLayer::CreateEmptyZEPDebuLogFile();
    return true;
}
