#pragma once
// SHA-256 as lower-case hex, as the emulator's report gives it.

#include <string>

namespace zevtest {

std::string sha256Hex(const std::string& bytes);
// Of a file's content; empty when it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace zevtest
