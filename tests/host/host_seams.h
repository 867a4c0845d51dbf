// Test-only redirection of the fixed host paths the platform layer reads (see host_seams.cpp).
#pragma once

#include <string>

namespace host_seams {
// "/opt/vorn/..." and "/scratch/opt/vorn/..." are looked up under root.
void setRoot(const std::string& root);
// "/etc/vmware-release" is this file (empty: absent).
void setReleaseFile(const std::string& path);
// Bare library names are looked up in this folder only (empty: never found).
void setLibraryPath(const std::string& folder);
// uname reports this system name (empty: the real one).
void setSystemName(const std::string& name);
// Number of sleep calls since reset (sleep returns at once).
unsigned sleeps();
void reset();
}  // namespace host_seams
