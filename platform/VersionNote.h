#pragma once
#include <string>

namespace platform {

// Product version from the version note of an executable file; empty when
// the file has no such note.
std::string ProductVersionOfFile(const std::string& path);
// The same for the running program's own file.
std::string ProductVersionOfRunningProgram();

}  // namespace platform
