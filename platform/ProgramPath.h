// Where the running program lives, read from /proc/self/exe.
#pragma once

#include <string>

namespace platform {

// Absolute path of the running executable; empty if it cannot be read.
std::string programPath();

// Folder holding the running executable, without a trailing '/'; empty if unknown.
std::string programDir();

} // namespace platform
