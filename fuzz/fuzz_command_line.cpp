// Arbitrary command lines through the parser, checked against a plain model of the option table.
// Each run happens in an empty temporary working directory (the marker file that -d creates lands
// there and is removed after the run); the usage text goes to /dev/null.
//
// Input: one option byte (bit 0: the marker file exists before the run), then the arguments,
// separated by zero bytes (at most 64).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "CCommandLineParser.h"
#include "CLogger.h"
#include "fuzz_support.h"

using fuzz_support::require;

namespace {
std::string g_workDir;
int g_home = -1;

struct Outcome {
    bool result = false;
    bool inventory = false, update = false, debug = false, force = false, verify = false;
    std::string debugFile = "debug.log";
    std::string outputFile;
};

Outcome model(const std::vector<std::string>& args, bool markerBefore)
{
    Outcome o;
    if (args.size() < 2) return o;
    std::string mode;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-u") {
            o.update = true;
            mode = "debug_update.log";
        } else if (a == "-h") {
            o.result = true;
            return o;
        } else if (a == "-o") {
            if (i + 1 >= args.size()) return o;
            o.outputFile = args[++i];
        } else if (a == "-i") {
            o.inventory = true;
            mode = "debug_inv.log";
        } else if (a == "-f") {
            o.force = true;
        } else if (a == "-d") {
            markerBefore = true;
            o.debugFile = mode;
            o.debug = true;
            if (i + 1 < args.size() && args[i + 1][0] != '-') o.debugFile = args[++i];
        } else if (a == "-v") {
            o.verify = true;
        } else {
            return o;
        }
    }
    if (!o.debug && markerBefore) {
        o.debugFile = mode;
        o.debug = true;
    }
    o.result = true;
    return o;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/zev-fuzz-cli-XXXXXX";
    require(mkdtemp(pattern) != nullptr, "temporary working directory");
    g_workDir = pattern;
    g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    require(g_home >= 0, "working directory handle");
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    require(null >= 0 && dup2(null, STDOUT_FILENO) == STDOUT_FILENO, "usage text to /dev/null");
    close(null);
    std::atexit([] { rmdir(g_workDir.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const bool markerBefore = (data[0] & 1) != 0;
    std::vector<std::string> args{"zevupdate"};
    if (size > 1) {
        std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
        size_t start = 0;
        while (args.size() <= 64) {
            size_t end = rest.find('\0', start);
            args.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    require(chdir(g_workDir.c_str()) == 0, "enter the working directory");
    if (markerBefore) {
        int fd = open(strEnableLogFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        require(fd >= 0, "marker file");
        close(fd);
    }
    // Standard error is kept: a line the model accepts may still be refused for the files it names.
    FILE* errors = tmpfile();
    require(errors != nullptr, "standard error capture");
    const int savedErr = dup(STDERR_FILENO);
    require(savedErr >= 0 && dup2(fileno(errors), STDERR_FILENO) == STDERR_FILENO, "standard error capture");
    CCommandLineParser parser;
    const bool result = parser.parseCLI((int)args.size(), argv.data());
    require(dup2(savedErr, STDERR_FILENO) == STDERR_FILENO, "standard error restored");
    close(savedErr);
    const bool markerAfter = access(strEnableLogFileName.c_str(), F_OK) == 0;
    unlink(strEnableLogFileName.c_str());
    require(fchdir(g_home) == 0, "leave the working directory");
    std::string said;
    rewind(errors);
    for (int c; (c = fgetc(errors)) != EOF;) said.push_back(static_cast<char>(c));
    fclose(errors);

    const Outcome expected = model(args, markerBefore);
    if (expected.result && !result) {
        // A refusal for the files named: a line that says which (the name itself may hold a line feed),
        // and nothing created.
        const bool oneLine = !said.empty() && said.back() == '\n';
        const bool namesAFile = said.find("zevupdate: -o ") == 0 || said.find("zevupdate: debug log ") == 0 ||
                                said.find("zevupdate: marker file ") == 0;
        require(oneLine && namesAFile, "a file refusal says which file in one line");
        require(markerBefore || !markerAfter, "a refused line creates no marker");
    } else {
        require(result == expected.result, "parse result");
    }
    require(parser.isInventory() == expected.inventory && parser.isUpdate() == expected.update, "mode flags");
    require(parser.isForceMode() == expected.force && parser.isVerify() == expected.verify, "-f and -v flags");
    require(parser.isDebug() == expected.debug, "debug flag");
    require(parser.getDebugFilename() == expected.debugFile, "debug file name");
    require(parser.getOutputFileName() == expected.outputFile, "output file name");
    return 0;
}
