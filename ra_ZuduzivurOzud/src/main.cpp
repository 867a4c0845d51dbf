// Process entry of zevupdate: parse the command line, start the debug log, run the requested modes.

#include <csignal>
#include <string>

#include "CCommandLineParser.h"
#include "CLogger.h"
#include "RizizavadIrerInventory.h"
#include "RizizavadIrerUpdate.h"
#include "SafeFiles.h"
#include "UpdateRunControl.h"

// Version marker kept in the executable as a global data symbol; nothing reads it.
extern "C" {
extern const char qmr_version[];
__attribute__((used)) const char qmr_version[] = "QMR_VERSION = 18.06.000 (BLD_216)";
}
static_assert(sizeof("QMR_VERSION = 18.06.000 (BLD_216)") == 34, "qmr_version is 34 bytes with its NUL");

// Log lines of the run driver carry this source name.
static const char kSourceFile[] = "ra_ZuduzivurOzud/src/RizizavadIrerMain.cpp";

int main(int argc, char** argv)
{
    // Before anything is opened: a closed standard descriptor would hand its number to the first
    // file we open, and a document meant for standard output would land in it.
    SafeFiles::openClosedStandardDescriptors();
    // A file size limit then fails the write (reported, status 1) instead of killing the run mid-way.
    ::signal(SIGXFSZ, SIG_IGN);

    CCommandLineParser parser;
    if (!parser.parseCLI(argc, argv)) return 1;

    CLogger* logger = CLogger::GetInstance();
    if (parser.isDebug()) {
        logger->Initialize(parser.getDebugFilename());
        ZEV_LOG_AS(kSourceFile, "Logger initialized");
    }

    std::string outputFileName;
    if (!parser.getOutputFileName().empty()) {
        outputFileName = parser.getOutputFileName();
        ZEV_LOG_AS(kSourceFile, "Output file name =" + outputFileName);
    }

    if (parser.isInventory()) {
        RizizavadIrerInventory inventory(outputFileName);
        ZEV_LOG_AS(kSourceFile, "Before RizizavadIrerInventory.Inventory ");
        inventory.GetInventory();
        ZEV_LOG_AS(kSourceFile, "After RizizavadIrerInventory.Inventory ");
    }

    if (parser.isUpdate()) {
        RizizavadIrerUpdate update(outputFileName);
        ZEV_LOG_AS(kSourceFile, "Before RizizavadIrerUpdate.Update ");
        update.Update();
        ZEV_LOG_AS(kSourceFile, "After RizizavadIrerUpdate.Update ");
    }
    // A termination signal deferred during the update ends the process now, as it would have.
    CDeferredSignals::raisePending();
    // The work is done and logged either way; the status tells that its document was not written.
    return SafeFiles::documentFailed() ? 1 : 0;
}
