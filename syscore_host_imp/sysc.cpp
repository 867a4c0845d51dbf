#include "sysc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>

#include "sysc_linux_x86.h"

namespace {
const char kLibraryChecksum[] = SC_HEADER_CHECKSUM;
SC_SCSICommandCallback g_scsiObserver = nullptr;
thread_local int g_lastCommandError = 0;

enum { kNodeNameSize = 4096 };

// Everything a command needs from its descriptor.
struct Target {
    uint16_t protocol;
    uint8_t address[SC_ADDRESS_SIZE];
    char node[kNodeNameSize];
};

bool DecodeTarget(const SC_DeviceDescriptor* descriptor, Target* target)
{
    target->protocol = 0;
    return __DecodeDeviceProtocolInfo(descriptor, &target->protocol, target->address, SC_ADDRESS_SIZE) &&
           __DecodeDeviceNodeName(descriptor, target->node, sizeof(target->node));
}

// Opens the node, lets prepare adjust the command for the path, sends, closes and traces.
// Result: the low-level status (the errno value when the node cannot be opened).
// A driver that answers busy gets the identical request again (SC_BusyRetry).
uint32_t Run(const Target& target, SC_Command* cmd, void (*prepare)(uint16_t protocol, SC_Command* cmd))
{
    g_lastCommandError = 0;
    int fd = -1;
    int openError = __OpenDeviceNode(target.node, &fd, 0);
    if (openError != 0) {
        g_lastCommandError = openError;
        return (uint32_t)openError;
    }
    if (prepare != nullptr) prepare(target.protocol, cmd);
    SC_BusyRetry retry(scSystemClock());
    uint32_t status = 0;
    for (;;) {
        cmd->sysError = 0;
        status = scSendCommand(fd, target.protocol, target.address, cmd);
        if (status == 0 || !retry.Again(cmd->sysError)) break;
    }
    g_lastCommandError = status != 0 ? cmd->sysError : 0;
    __CloseDeviceNode(fd);
    scTraceCommand(target.protocol, cmd, status);
    return status;
}

// The SIS firmware answers REPORT LOGICAL LUNS under its own opcode; the caller's CDB is changed.
void PrepareScsi(uint16_t protocol, SC_Command* cmd)
{
    if (protocol == SC_PROTOCOL_SIS && cmd->cdb != nullptr && cmd->cdbLength > 0 &&
        cmd->cdb[0] == SC_OP_REPORT_LOGICAL_LUNS)
        cmd->cdb[0] = SC_OP_SIS_REPORT_LOGICAL_LUNS;
}

uint8_t CanExecute(const SC_DeviceDescriptor* descriptor, bool logFailure)
{
    uint16_t protocol = 0;
    uint8_t address[SC_ADDRESS_SIZE];
    if (!__DecodeDeviceProtocolInfo(descriptor, &protocol, address, sizeof(address))) {
        if (logFailure) SC_DebugLog(1, "Unable to obtain protocol info.\n");
        return 2;
    }
    return (address[SC_ADDRESS_FLAGS] & SC_ADDRESS_FLAG_COMMANDS) ? 1 : 2;
}
}  // namespace

unsigned int InitializeSysCore(const char* checksum)
{
    char mismatch[512];
    std::snprintf(mismatch, sizeof(mismatch), "Header/library checksum mismatch for %u.%u.%u \"%s\"",
                  SC_INTERFACE_VERSION, SC_MAJOR_VERSION, SC_MINOR_VERSION, SC_BUILD_DATE);
    unsigned int match = checksum != nullptr && std::strcmp(checksum, kLibraryChecksum) == 0;
    if (!match) {
        SC_DebugLog(1, "%s: Assertion `strcmp(checksum, \"%s\") == 0' failed: %s\n", "InitializeSysCore",
                    kLibraryChecksum, mismatch);
    }
    _SC_MutexInitialize(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
    _SC_MutexInitialize(&_SC_SysCoreLocaltimeMutex, __FILE__, __LINE__);
    return match;
}

void UnInitializeSysCore(void)
{
    _SC_MutexDestroy(&_SC_SysCoreLocaltimeMutex, __FILE__, __LINE__);
    _SC_MutexDestroy(&_SC_SysCoreDebugMutex, __FILE__, __LINE__);
}

uint8_t SC_CanExecuteBMICCommand(const SC_DeviceDescriptor* descriptor) { return CanExecute(descriptor, false); }

uint8_t SC_CanExecuteSCSICommand(const SC_DeviceDescriptor* descriptor) { return CanExecute(descriptor, true); }

uint8_t SC_CanExecuteATACommand(const SC_DeviceDescriptor*) { return 2; }
uint8_t SC_CanExecuteNVMECommand(const SC_DeviceDescriptor*) { return 2; }
uint8_t SC_CanExecuteIORequest(const SC_DeviceDescriptor*) { return 1; }

int SC_GetLastCommandError(void) { return g_lastCommandError; }

void SC_SetSCSICommandCallback(SC_SCSICommandCallback callback) { g_scsiObserver = callback; }

namespace {
// The transport command of a BMIC or SCSI request, field by field; the outputs start as the request's.
template <typename Request>
SC_Command CommandFor(const Request* request, uint8_t* cdb, uint8_t cdbLength)
{
    SC_Command cmd = scMakeSCSIRequest<SC_Command>(request->direction, request->timeout, cdb, cdbLength, request->data,
                                                   request->dataLength, request->sense, request->senseSize);
    cmd.commandStatus = request->commandStatus;
    cmd.scsiStatus = request->scsiStatus;
    cmd.sysError = 0;
    return cmd;
}
}  // namespace

uint8_t SC_ExecuteBMICCommand(const SC_DeviceDescriptor* descriptor, _BMICRequest* request)
{
    if (request == nullptr) return 1;
    Target target;
    if (!DecodeTarget(descriptor, &target)) return 1;
    uint8_t cdb[10];
    scBuildBMICCDB(request, cdb);
    SC_Command cmd = CommandFor(request, cdb, sizeof(cdb));
    uint32_t status = Run(target, &cmd, nullptr);
    request->lowLevelStatus = status;
    request->commandStatus = cmd.commandStatus;
    request->scsiStatus = cmd.scsiStatus;
    return status == 0 ? 0 : 1;
}

uint8_t SC_ExecuteSCSICommand(const SC_DeviceDescriptor* descriptor, _SCSIRequest* request)
{
    if (request == nullptr) return 1;
    uint8_t result = 1;
    Target target;
    if (!DecodeTarget(descriptor, &target)) {
        SC_DebugLog(1, "Unable to decode protocol type, protocol address, or device node\n");
    } else {
        SC_Command cmd = CommandFor(request, request->cdb, request->cdbLength);
        uint32_t status = Run(target, &cmd, PrepareScsi);
        request->lowLevelStatus = status;
        request->commandStatus = cmd.commandStatus;
        request->scsiStatus = cmd.scsiStatus;
        result = status == 0 ? 0 : 1;
    }
    if (g_scsiObserver != nullptr) g_scsiObserver(request);
    return result;
}

uint8_t SC_SendResetControllerCommand(const SC_DeviceDescriptor* descriptor, uint8_t resetType)
{
    char node[kNodeNameSize];
    if (!__DecodeDeviceNodeName(descriptor, node, sizeof(node))) return 1;
    int fd = -1;
    if (__OpenDeviceNode(node, &fd, 0) != 0) return 1;
    uint8_t type = resetType;
    int rc = ioctl(fd, SC_IOCTL_AAC_RESET, &type);
    __CloseDeviceNode(fd);
    return rc == 0 ? 0 : 1;
}
