#pragma once
// Static facade over the operating system; forwards to one IPlatformImpl created on first use.

#include <string>
#include <vector>

#include "IPlatformImpl.h"

class CPlatformLayer {
public:
    static IPlatformImpl* GetPlatform();

    // Creates or truncates the marker file strEnableLogFileName in the working directory, never
    // following a symbolic link in its place. True when the file could be opened.
    static bool CreateEmptyZEPDebuLogFile();

    // Working directory followed by "/".
    static std::string getCurrentDirectory();
    // Directory of the running executable followed by "/" (the working directory if unknown).
    static std::string getCurrentProcessDirectory();
    // chdir; always true.
    static bool setCurrentDirectory(std::string path);
    // True when working directory + name can be opened for reading.
    static bool IsFileExits(std::string name);
    // True when the path can be opened for reading.
    static bool IsFileExistsAbs(std::string path);
    // Full paths (folder + "/" + name) of the folder's entries except "." and ".."; empty on failure.
    static std::vector<std::string> GetFileList(std::string& folder);
    // Status that system() gives; wait and timeout are not used.
    static int ExecuteCmd(std::string command, bool wait, const long& timeout);
    // Runs the command in the background ("command &").
    static int ExecuteCmdNoWait(std::string command, bool wait, const long& timeout);
    static void Sleep(int seconds);
    // dlopen(RTLD_NOW) handle or null; a path with '/' must exist first.
    static void* Load_Library(std::string name);
    // dlsym, null for a null handle.
    static void* GetProcAddress(void* handle, std::string symbol);
    static void FreeLibrary(void* handle);

    static bool isBRIXInstalled();
    static int InstallBrix();
    static bool UninstallBrix();
    static void* LoadBrixLibrary(std::string name);
    static bool isUSBblacklisted();
    static void unloadUSB();

    static IPlatformImpl* m_pPlatformImpl;
};
