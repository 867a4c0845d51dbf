#pragma once
#include <string>

// The tool's command line: -h, -i, -u, -o <file>, -d [file], -f, -v.
class CCommandLineParser {
public:
    CCommandLineParser();
    virtual ~CCommandLineParser();

    // False on a bad command line: usage printed, or one line on standard error when the files it
    // names may not be used (see runFilesProblem). True otherwise, also after -h (usage printed).
    // Nothing is created (the marker file of -d) unless the result is true.
    bool parseCLI(int argc, char** argv);
    void printUsage();

    bool isInventory() { return m_bInventory; }
    bool isUpdate() { return m_bUpdate; }
    bool isDebug() { return m_bDebug; }
    bool isForceMode() { return m_bForceMode; }
    bool isVerify() { return m_bVerify; }
    std::string getOutputFileName() { return m_strOutputFileName; }
    std::string getDebugFilename() { return m_strDebugFileName; }

private:
    std::string m_strDebugFileName;
    std::string m_strOutputFileName;
    bool m_bForceMode;
    bool m_bDebug;
    bool m_bInventory;
    bool m_bUpdate;
    bool m_bVerify;
    int m_nArgIndex;
    bool m_bMarkerRequested;  // -d was given: create the marker once the line is accepted

    bool accept();
    // "" when the files of this run may be written; else what is wrong, naming the option.
    std::string runFilesProblem();
};

// The usage text, byte for byte.
extern const char* const g_szUsageText;
