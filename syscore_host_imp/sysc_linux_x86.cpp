// Linux discovery of the controllers, the transport dispatch and the command trace.
#include "sysc_linux_x86.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------------
// Dispatch and trace

uint32_t scSendCommand(int fd, uint16_t protocol, const uint8_t address[16], SC_Command* cmd)
{
    switch (protocol) {
    case SC_PROTOCOL_CISS:
    case SC_PROTOCOL_PQI:
        return scSendCISS(fd, protocol, address, cmd);
    case SC_PROTOCOL_SIS:
        return scSendSIS(fd, address, cmd);
    case SC_PROTOCOL_CSMI:
        return scSendCSMI(fd, address, cmd);
    case SC_PROTOCOL_SCSI:
        return scSendSGIO(fd, cmd);
    default:
        return 0;  // no path: nothing is sent
    }
}

namespace {
class MonotonicClock : public SC_Clock {
public:
    uint64_t NowMs() override
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
    }
    void SleepMs(uint32_t milliseconds) override { SC_Sleep(milliseconds); }
};
}  // namespace

SC_Clock& scSystemClock()
{
    static MonotonicClock clock;
    return clock;
}

SC_BusyRetry::SC_BusyRetry(SC_Clock& clock, uint32_t budgetMs)
    : clock_(clock), budgetMs_(budgetMs), startMs_(clock.NowMs())
{
}

bool SC_BusyRetry::IsBusy(int error) { return error == EAGAIN || error == EBUSY; }

bool SC_BusyRetry::Again(int error)
{
    if (!IsBusy(error)) return false;
    uint64_t spent = clock_.NowMs() - startMs_;
    if (spent >= budgetMs_) {
        SC_DebugLog(1, "Driver still busy (errno %d) after %u ms and %u retries: giving up\n", error, (unsigned)spent,
                    retries_);
        return false;
    }
    uint32_t pause = nextPauseMs_;
    if (pause > budgetMs_ - spent) pause = (uint32_t)(budgetMs_ - spent);
    ++retries_;
    SC_DebugLog(2, "Driver busy (errno %d): sending the command again in %u ms (retry %u)\n", error, pause, retries_);
    clock_.SleepMs(pause);
    nextPauseMs_ = nextPauseMs_ * 2 > SC_BUSY_LONGEST_PAUSE_MS ? (uint32_t)SC_BUSY_LONGEST_PAUSE_MS : nextPauseMs_ * 2;
    return true;
}

const char* scProtocolName(uint16_t protocol)
{
    static const char* const names[] = {"CISS", "SIS", "PQI", "CSMI", "SCSI", "NHPSA", "NPQI"};
    return protocol < sizeof(names) / sizeof(names[0]) ? names[protocol] : "Unknown";
}

namespace {
uint8_t ByteAt(const void* buffer, uint32_t length, uint32_t i)
{
    return (buffer != nullptr && i < length) ? ((const uint8_t*)buffer)[i] : 0;
}

// A piece of text appended to a fixed buffer; a piece that does not fit is cut.
struct TraceText {
    char text[1024];
    size_t used = 0;
    void add(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text + used, sizeof(text) - used, format, args);
        va_end(args);
        if (n > 0) used += (size_t)n < sizeof(text) - used ? (size_t)n : sizeof(text) - used - 1;
    }
};
}  // namespace

void scTraceCommand(uint16_t protocol, const SC_Command* cmd, uint32_t lowLevelStatus)
{
    TraceText t;
    t.text[0] = '\0';
    t.add("__SendSCSICommand (rtn:%u)\n", lowLevelStatus);
    t.add("  Transfer Direction               : %u\n", cmd->direction);
    t.add("  Protocol Type                    : %s\n", scProtocolName(protocol));
    t.add("  CDB:%-21u        : [", (unsigned)cmd->cdbLength);
    for (uint32_t i = 0; i < 16; ++i) t.add(i ? ",%02X" : "%02X", ByteAt(cmd->cdb, cmd->cdbLength, i));
    t.add("]\n");
    t.add("  I/O Buffer:%-21u : [", cmd->dataLength);
    for (uint32_t i = 0; i < 16; ++i) t.add("%02X,", ByteAt(cmd->data, cmd->dataLength, i));
    t.add("...]\n");
    t.add("  Status                           : ScsiStatus/0x%02X, CommandStatus/0x%04X\n", cmd->scsiStatus,
          cmd->commandStatus);
    t.add("  Sense Data:%-21u : [", cmd->senseSize);
    for (uint32_t i = 0; i < 32; ++i) t.add(i ? ",%02X" : "%02X", ByteAt(cmd->sense, cmd->senseSize, i));
    t.add("]\n");
    uint8_t level = (lowLevelStatus != 0 || cmd->scsiStatus != 0) ? 1 : 3;
    SC_DebugLog(level, "%s", t.text);
}

// ---------------------------------------------------------------------------------------------
// Discovery

uint32_t scPciLocationFromInfo(const uint8_t info[8])
{
    uint32_t bus = info[0];
    uint32_t devfn = info[1];
    return (bus << 16) + ((devfn >> 3) << 8) + (devfn & 7);
}

int scPathWithin(const char* path, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (n == 0 || std::strncmp(path, prefix, n) != 0) return 0;
    return path[n] == '\0' || path[n] == '/' || prefix[n - 1] == '/';
}

int scParseAacMajorLine(const char* line, unsigned int* major)
{
    if (std::strstr(line, "aac") == nullptr) return 0;
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return 0;
    *major = (unsigned int)std::strtoul(p, nullptr, 10);
    return 1;
}

int scParsePciAddress(const char* systemPath, unsigned int* bus, unsigned int* device)
{
    const char* last = std::strrchr(systemPath, '/');
    last = last != nullptr ? last + 1 : systemPath;
    // Exactly "dddd:bb:dd.f" in hexadecimal digits.
    if (std::strlen(last) != 12 || last[4] != ':' || last[7] != ':' || last[10] != '.') return 0;
    for (int i = 0; i < 12; ++i)
        if (i != 4 && i != 7 && i != 10 && !std::isxdigit((unsigned char)last[i])) return 0;
    unsigned int domain = 0, function = 0;
    if (std::sscanf(last, "%4x:%2x:%2x.%1x", &domain, bus, device, &function) != 4) return 0;
    return *device <= 0x1F && function <= 7;
}

int scAacPciInfoMatches(const uint8_t reply[8], unsigned int bus, unsigned int device)
{
    return SC_GetLE32(reply) == bus && SC_GetLE32(reply + 4) == device;
}

int scAacCandidateMinors(int instance, int aacraidHosts, int* minors, int capacity)
{
    int n = 0;
    if (n < capacity) minors[n++] = instance;
    // Ids are the lowest free one at probe time, so after removals one may lie at the host count.
    for (int m = 0; m <= aacraidHosts && n < capacity; ++m)
        if (m != instance) minors[n++] = m;
    return n;
}

namespace {
const char kDriverRoot[] = "/sys/bus/pci/drivers/";
const char kScsiGenericRoot[] = "/sys/class/scsi_generic/";
const char kDevicesRoot[] = "/sys/devices/";

struct DriverRow {
    const char* name;
    uint16_t protocol;
};
const DriverRow kDriverRows[] = {
    {"hpsa", SC_PROTOCOL_CISS},    {"hpdsa", SC_PROTOCOL_CISS},  {"hpdsac", SC_PROTOCOL_CISS},
    {"hpdsag", SC_PROTOCOL_CISS},  {"hpdsaw", SC_PROTOCOL_CISS}, {"smartdq", SC_PROTOCOL_PQI},
    {"smartdqg", SC_PROTOCOL_PQI}, {"aacraid", SC_PROTOCOL_SIS}, {"smartpqi", SC_PROTOCOL_PQI},
};

// True for a symbolic link; falls back to lstat where the file system gives no entry type.
bool IsSymlink(const char* dir, const struct dirent* entry)
{
    if (entry->d_type == DT_LNK) return true;
    if (entry->d_type != DT_UNKNOWN) return false;
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof(path), "%s/%s", dir, entry->d_name) >= (int)sizeof(path)) return false;
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

// Reads the first line of a text file (at most size - 1 characters); false when it cannot be read.
bool ReadFirstLine(const char* path, const char* mode, char* line, int size)
{
    FILE* f = std::fopen(path, mode);
    if (f == nullptr) return false;
    bool ok = std::fgets(line, size, f) != nullptr;
    std::fclose(f);
    return ok;
}

// One symbolic link of the SCSI generic class directory, read once per discovery.
struct GenericEntry {
    char name[256];
    char* resolvedType;  // realpath of <entry>/device/type, or null
    char type[32];       // first line of the type file, or empty
};

// The SCSI generic class directory as one discovery sees it, in directory order.
struct GenericScan {
    bool read = false;
    bool opened = false;
    GenericEntry* entries = nullptr;
    size_t count = 0;

    ~GenericScan()
    {
        for (size_t i = 0; i < count; ++i) std::free(entries[i].resolvedType);
        _SA_free(entries, __FILE__, __LINE__);
    }

    void Load()
    {
        if (read) return;
        read = true;
        DIR* dir = opendir(kScsiGenericRoot);
        if (dir == nullptr) return;
        opened = true;
        size_t capacity = 0;
        // readdir on a stream of our own: re-entrant with respect to other threads' streams.
        while (struct dirent* entry = readdir(dir)) {
            if (!IsSymlink(kScsiGenericRoot, entry)) continue;
            if (count == capacity) {
                size_t grown = capacity ? capacity * 2 : 16;
                void* bigger = _SA_realloc(entries, grown * sizeof(GenericEntry), __FILE__, __LINE__);
                if (bigger == nullptr) break;
                entries = (GenericEntry*)bigger;
                capacity = grown;
            }
            GenericEntry& e = entries[count];
            std::memset(&e, 0, sizeof(e));
            std::snprintf(e.name, sizeof(e.name), "%s", entry->d_name);
            char typePath[PATH_MAX];
            if (std::snprintf(typePath, sizeof(typePath), "%s%s/device/type", kScsiGenericRoot, entry->d_name) <
                (int)sizeof(typePath)) {
                e.resolvedType = realpath(typePath, nullptr);
                if (e.resolvedType != nullptr && !ReadFirstLine(typePath, "rt", e.type, sizeof(e.type)))
                    e.type[0] = '\0';
            }
            ++count;
        }
        closedir(dir);
    }

    // First entry in directory order under the controller whose type line starts with the prefix.
    const GenericEntry* Find(const char* systemPath, const char* typePrefix)
    {
        Load();
        for (size_t i = 0; i < count; ++i) {
            const GenericEntry& e = entries[i];
            if (e.resolvedType == nullptr || !scPathWithin(e.resolvedType, systemPath)) continue;
            if (std::strncmp(e.type, typePrefix, std::strlen(typePrefix)) == 0) return &e;
        }
        return nullptr;
    }
};

// Reads the PCI location through the node; 0 when any step fails (*openError: errno of a failed open).
uint32_t ReadPciLocation(const char* node, int* openError)
{
    int fd = -1;
    *openError = __OpenDeviceNode(node, &fd, 0);
    if (*openError != 0) return 0;
    uint8_t info[8];
    std::memset(info, 0, sizeof(info));
    uint32_t location = ioctl(fd, SC_IOCTL_CCISS_GETPCIINFO, info) == 0 ? scPciLocationFromInfo(info) : 0;
    __CloseDeviceNode(fd);
    return location;
}

// SCSI host number N of the first "host<N>" entry under the PCI device; false when there is none.
bool FindHostNumber(const char* systemPath, int* host)
{
    DIR* dir = opendir(systemPath);
    if (dir == nullptr) return false;
    bool found = false;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "host", 4) == 0) {
            *host = std::atoi(entry->d_name + 4);
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Number of aacraid hosts among hosts 0 to host - 1.
int CountAacraidHostsBelow(int host)
{
    int count = 0;
    for (int h = 0; h < host; ++h) {
        char path[128];
        std::snprintf(path, sizeof(path), "/sys/class/scsi_host/host%d/proc_name", h);
        char line[80];
        if (ReadFirstLine(path, "r", line, sizeof(line)) && std::strncmp(line, "aacraid", 7) == 0) ++count;
    }
    return count;
}

// Number of SCSI hosts of the aacraid driver.
int CountAacraidHosts()
{
    DIR* dir = opendir("/sys/class/scsi_host");
    if (dir == nullptr) return 0;
    int count = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "host", 4) != 0) continue;
        char path[PATH_MAX];
        std::snprintf(path, sizeof(path), "/sys/class/scsi_host/%s/proc_name", entry->d_name);
        char line[80];
        if (ReadFirstLine(path, "r", line, sizeof(line)) && std::strncmp(line, "aacraid", 7) == 0) ++count;
    }
    closedir(dir);
    return count;
}

bool FindAacMajor(unsigned int* major)
{
    FILE* f = std::fopen("/proc/devices", "r");
    if (f == nullptr) return false;
    char line[80];
    bool found = false;
    while (!found && std::fgets(line, sizeof(line), f) != nullptr) found = scParseAacMajorLine(line, major);
    std::fclose(f);
    return found;
}

// Leaves a node with the right major in place, replaces a stale one, creates a missing one.
// *error: errno of a failed mknod, else 0.
bool EnsureAacNode(const char* node, unsigned int major, int instance, int* error)
{
    *error = 0;
    struct stat st;
    bool present = lstat(node, &st) == 0 && S_ISCHR(st.st_mode);
    if (present && major(st.st_rdev) == major) return true;
    if (present) unlink(node);
    if (mknod(node, S_IFCHR | 0000, makedev(major, (unsigned int)instance)) != 0) *error = errno;
    return lstat(node, &st) == 0 && S_ISCHR(st.st_mode);
}

bool IsAccessError(int error) { return error == EACCES || error == EPERM; }

// 1 when the node reaches the controller at this PCI bus and device, as aacraid's PCI information
// request says; nothing else is sent through a node before it is confirmed. *error: errno of a
// failed open or request.
bool ConfirmAacNode(const char* node, unsigned int bus, unsigned int device, int* error)
{
    int fd = -1;
    *error = __OpenDeviceNode(node, &fd, 0);
    if (*error != 0) return false;
    uint8_t reply[8];
    std::memset(reply, 0, sizeof(reply));
    bool answered = ioctl(fd, SC_IOCTL_AAC_GET_PCI_INFO, reply) == 0;
    if (!answered) *error = errno;
    __CloseDeviceNode(fd);
    if (!answered) {
        SC_DebugLog(2, "%s does not answer the PCI information request (errno %d)\n", node, *error);
        return false;
    }
    if (scAacPciInfoMatches(reply, bus, device)) return true;
    SC_DebugLog(2, "%s reaches the adapter on PCI bus %u slot %u, not bus %u slot %u\n", node, SC_GetLE32(reply),
                SC_GetLE32(reply + 4), bus, device);
    return false;
}

// *error: errno when the request fails.
bool SendAdapterFib(int fd, uint8_t* fib, uint16_t command, int* error)
{
    scBuildAdapterFib(fib, command);
    if (ioctl(fd, SC_IOCTL_AAC_SEND_FIB, fib) == 0) return true;
    *error = errno;
    return false;
}

// The controller's own bus, target and LUN from the two adapter information FIBs.
// *error: errno of a failed open or FIB request.
bool ReadSisAddress(const char* node, uint8_t address[16], int* error)
{
    int fd = -1;
    *error = __OpenDeviceNode(node, &fd, 0);
    if (*error != 0) return false;
    uint8_t* fib = (uint8_t*)_SA_malloc(SC_FIB_SIZE, __FILE__, __LINE__);
    bool ok = false;
    if (fib != nullptr) {
        std::memset(fib, 0, SC_FIB_SIZE);
        const uint8_t* data = fib + SC_FIB_HEADER_SIZE;
        if (SendAdapterFib(fd, fib, SC_FIB_ADAPTER_INFO, error) &&
            (SC_GetLE32(data + SC_FIB_INFO_OPTIONS) & SC_FIB_OPTION_SUPPLEMENT) != 0 &&
            SendAdapterFib(fd, fib, SC_FIB_SUPPLEMENT_ADAPTER_INFO, error)) {
            std::memset(address, 0, SC_ADDRESS_SIZE);
            address[SC_ADDRESS_BUS] = data[SC_FIB_SUPPLEMENT_BUS];
            address[SC_ADDRESS_TARGET] = data[SC_FIB_SUPPLEMENT_TARGET];
            address[SC_ADDRESS_LUN] = data[SC_FIB_SUPPLEMENT_LUN];
            address[SC_ADDRESS_FLAGS] = SC_ADDRESS_FLAG_COMMANDS;
            ok = true;
        }
        _SA_free(fib, __FILE__, __LINE__);
    }
    __CloseDeviceNode(fd);
    return ok;
}

uint16_t ReadSysfsId(const char* systemPath, const char* name)
{
    char path[PATH_MAX];
    char line[32];
    if (std::snprintf(path, sizeof(path), "%s/%s", systemPath, name) >= (int)sizeof(path)) return 0;
    if (!ReadFirstLine(path, "r", line, sizeof(line))) return 0;
    return (uint16_t)std::strtoul(line, nullptr, 16);
}

const char* UnusableText(uint32_t reason)
{
    switch (reason) {
    case SC_UNUSABLE_NO_SCSI_GENERIC:
        return "no SCSI generic class (sg module not loaded)";
    case SC_UNUSABLE_NO_ACCESS:
        return "access denied";
    default:
        return "no aacraid node confirmed";
    }
}

// Copies text, cut to fit with its terminator.
void CopyText(char* destination, size_t size, const char* text)
{
    size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(destination, text, n);
    destination[n] = '\0';
}

void FillUnusable(const char* systemPath, const char* driver, uint32_t reason, int error, SC_UnusableController* u)
{
    const char* last = std::strrchr(systemPath, '/');
    last = last != nullptr ? last + 1 : systemPath;
    SC_DebugLog(1, "Controller %s (%s) cannot be used: %s (errno %d)\n", last, driver, UnusableText(reason), error);
    std::memset(u, 0, sizeof(*u));
    CopyText(u->pciAddress, sizeof(u->pciAddress), last);
    CopyText(u->driver, sizeof(u->driver), driver);
    u->reason = reason;
    u->error = error;
    u->vendorId = ReadSysfsId(systemPath, "vendor");
    u->deviceId = ReadSysfsId(systemPath, "device");
    u->subsystemVendorId = ReadSysfsId(systemPath, "subsystem_vendor");
    u->subsystemDeviceId = ReadSysfsId(systemPath, "subsystem_device");
}

// The controllers one discovery left out, in order.
struct UnusableList {
    SC_UnusableController* head = nullptr;
    SC_UnusableController** tail = &head;

    void Note(const char* systemPath, const char* driver, uint32_t reason, int error)
    {
        auto* u = (SC_UnusableController*)_SA_malloc(sizeof(SC_UnusableController), __FILE__, __LINE__);
        if (u == nullptr) return;
        FillUnusable(systemPath, driver, reason, error, u);
        *tail = u;
        tail = &u->next;
    }
};

// The aacraid node that reaches this controller, confirmed by its PCI bus and slot: the host-order
// instance first, then every other minor. The kernel numbers adapters by the lowest id free when each
// was probed (aac_probe_one), so after a rebind or a removal the host order can point elsewhere.
bool FindAacNode(const char* systemPath, const char* driver, int instance, unsigned int major, char* node,
                 size_t nodeSize, UnusableList* unusable)
{
    unsigned int bus = 0, device = 0;
    int accessError = 0;
    if (scParsePciAddress(systemPath, &bus, &device)) {
        int minors[64];
        int count = scAacCandidateMinors(instance, CountAacraidHosts(), minors, 64);
        for (int i = 0; i < count; ++i) {
            std::snprintf(node, nodeSize, "/dev/aac%d", minors[i]);
            int error = 0;
            if (EnsureAacNode(node, major, minors[i], &error) && ConfirmAacNode(node, bus, device, &error)) return true;
            if (IsAccessError(error)) accessError = error;
        }
    }
    unusable->Note(systemPath, driver, accessError ? SC_UNUSABLE_NO_ACCESS : SC_UNUSABLE_NODE_UNCONFIRMED, accessError);
    return false;
}

// Finds the node and protocol address of one controller; false skips it.
bool ResolveController(const char* systemPath, const DriverRow& row, GenericScan* generic, char* node, size_t nodeSize,
                       uint8_t address[16], UnusableList* unusable)
{
    const uint16_t protocol = row.protocol;
    std::memset(address, 0, SC_ADDRESS_SIZE);
    if (protocol == SC_PROTOCOL_SIS) {
        int host = 0;
        if (!FindHostNumber(systemPath, &host)) return false;
        int instance = CountAacraidHostsBelow(host);
        std::snprintf(node, nodeSize, "/dev/aac%d", instance);
        unsigned int major = 0;
        if (!FindAacMajor(&major)) {
            SC_DebugLog(1, "Did not find device major number\n");
            return false;
        }
        if (!FindAacNode(systemPath, row.name, instance, major, node, nodeSize, unusable)) return false;
        int error = 0;
        if (ReadSisAddress(node, address, &error)) return true;
        if (IsAccessError(error)) unusable->Note(systemPath, row.name, SC_UNUSABLE_NO_ACCESS, error);
        return false;
    }
    // CISS and PQI controllers answer on their own SCSI generic device (array controller, type 12);
    // the SCSI protocol would use the enclosure services device (type 13).
    const GenericEntry* entry = generic->Find(systemPath, protocol == SC_PROTOCOL_SCSI ? "13" : "12");
    if (entry == nullptr && !generic->opened) unusable->Note(systemPath, row.name, SC_UNUSABLE_NO_SCSI_GENERIC, 0);
    if (entry == nullptr) return false;
    std::snprintf(node, nodeSize, "/dev/%s", entry->name);
    address[SC_ADDRESS_FLAGS] = SC_ADDRESS_FLAG_COMMANDS;
    return true;
}

// Probes one driver directory; returns the running count of descriptors added.
int ProbeDriver(const DriverRow& row, SC_DescriptorList* list, GenericScan* generic, int count, UnusableList* unusable)
{
    char driverPath[1024];
    std::snprintf(driverPath, sizeof(driverPath), "%s%s", kDriverRoot, row.name);
    DIR* dir = opendir(driverPath);
    if (dir == nullptr) return count;
    while (struct dirent* entry = readdir(dir)) {
        if (!IsSymlink(driverPath, entry)) continue;
        char linkPath[PATH_MAX];
        if (std::snprintf(linkPath, sizeof(linkPath), "%s/%s", driverPath, entry->d_name) >= (int)sizeof(linkPath))
            continue;
        char systemPath[PATH_MAX];
        if (realpath(linkPath, systemPath) == nullptr) continue;
        if (std::strncmp(systemPath, kDevicesRoot, sizeof(kDevicesRoot) - 1) != 0) continue;

        char node[PATH_MAX];
        uint8_t address[SC_ADDRESS_SIZE];
        if (!ResolveController(systemPath, row, generic, node, sizeof(node), address, unusable)) continue;
        int openError = 0;
        uint32_t location = ReadPciLocation(node, &openError);
        // Every command opens the node: a controller whose node we may not open is out of reach.
        if (IsAccessError(openError)) {
            unusable->Note(systemPath, row.name, SC_UNUSABLE_NO_ACCESS, openError);
            continue;
        }
        SC_DeviceDescriptor* d = SC_BuildControllerDescriptor(systemPath, node, row.protocol, address, location);
        if (d == nullptr) continue;
        if (!scAppendDescriptor(list, d)) {
            SC_DestroyDeviceDescriptor(d);
            continue;
        }
        ++count;
    }
    closedir(dir);
    return count;
}
}  // namespace

SC_DescriptorList* SC_CreateControllerDescriptorListReporting(SC_UnusableController** unusable)
{
    if (unusable != nullptr) *unusable = nullptr;
    SC_DescriptorList* list = scCreateEmptyDescriptorList();
    if (list == nullptr) return nullptr;
    GenericScan generic;
    UnusableList left;
    int count = 0;
    for (const DriverRow& row : kDriverRows) count = ProbeDriver(row, list, &generic, count, &left);
    if (unusable != nullptr) {
        *unusable = left.head;
    } else {
        SC_DestroyUnusableControllers(left.head);
    }
    return list;
}

SC_DescriptorList* SC_CreateControllerDescriptorList(void)
{
    return SC_CreateControllerDescriptorListReporting(nullptr);
}

uint8_t SC_DescribeUnusableController(const SC_DeviceDescriptor* controller, uint32_t reason, int error,
                                      SC_UnusableController* record)
{
    if (record == nullptr) return 0;
    char systemPath[PATH_MAX];
    if (SC_GetDeviceSystemProperty(controller, SC_PROPERTY_SYSTEM_PATH, systemPath, sizeof(systemPath) - 1) != 0)
        return 0;
    char link[PATH_MAX + 8];
    std::snprintf(link, sizeof(link), "%s/driver", systemPath);
    char driverPath[PATH_MAX];
    const char* driver = "";
    if (realpath(link, driverPath) != nullptr) {
        const char* slash = std::strrchr(driverPath, '/');
        driver = slash != nullptr ? slash + 1 : driverPath;
    }
    FillUnusable(systemPath, driver, reason, error, record);
    return 1;
}

void SC_DestroyUnusableControllers(SC_UnusableController* list)
{
    while (list != nullptr) {
        SC_UnusableController* next = list->next;
        _SA_free(list, __FILE__, __LINE__);
        list = next;
    }
}

SC_DescriptorList* SC_CreateHostBusAdapterDescriptorList(void) { return scCreateEmptyDescriptorList(); }
