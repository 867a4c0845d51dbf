#include "CCommandLineParser.h"

#include <iostream>

#include "CLogger.h"
#include "CPlatformLayer.h"

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
      m_nArgIndex(1)
{
}

CCommandLineParser::~CCommandLineParser() {}

void CCommandLineParser::printUsage()
{
    std::cout << g_szUsageText << std::flush;
}

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
            return true;
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
            CPlatformLayer::CreateEmptyZEPDebuLogFile();
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
    if (!m_bDebug && CPlatformLayer::IsFileExits(strEnableLogFileName)) {
        m_strDebugFileName = modeLogName;
        m_bDebug = true;
    }
    return true;
}
