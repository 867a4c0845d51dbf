// Linked into test executables that run an emulated host in-process: umockdev's preload has to be in
// place from process start, so a process started without it re-executes itself with LD_PRELOAD set
// (the emulator's guard first, then libumockdev-preload). Also keeps TMPDIR short for umockdev's
// socket paths and, in sanitizer builds, lets AddressSanitizer accept the preloads.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emu_host.hpp"

namespace {

void ReexecWithPreload(int argc, char** argv, char** /*envp*/)
{
    const char* cur = std::getenv("LD_PRELOAD");
    if (cur && std::strstr(cur, "libumockdev-preload")) return;
    if (std::getenv("ZEV_EMU_REEXEC")) {
        std::fprintf(stderr, "emulator: LD_PRELOAD could not be set up; start the test under umockdev-wrapper\n");
        return;
    }
    if (argc < 1 || !argv || !argv[0]) return;
    const std::string preload = zev::emu::Host::ChildPreload();
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("ZEV_EMU_REEXEC", "1", 1);
    const char* tmp = std::getenv("TMPDIR");
    if (!tmp || std::strlen(tmp) > 40) setenv("TMPDIR", "/tmp", 1);
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "" : ":";
        asan += "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    execv("/proc/self/exe", argv);
    std::perror("emulator: re-exec with LD_PRELOAD failed");
}

}  // namespace

// glibc passes argc, argv and envp to functions of .init_array.
__attribute__((section(".init_array"), used)) static void (*const zev_emu_autopreload)(int, char**,
                                                                                       char**) = ReexecWithPreload;
