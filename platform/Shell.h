#pragma once
#include <filesystem>
#include <string>

namespace platform {

// Asks the desktop to open a web address in the default browser; returns at
// once, the result is not waited for.
void OpenUrl(const std::string& url);

// Directory of the running program file.
std::filesystem::path ProgramDirectory();

// Where a helper program of the outside libraries (the chassis server) is:
// beside the running program when it is there (the build tree), else in the
// private library directory of an installed tree.
std::filesystem::path OutsideProgramPath(const std::string& name);

// Per-user directory for files the program keeps (created on demand):
// $XDG_DATA_HOME/brevane, else ~/.local/share/brevane.
std::filesystem::path UserDataDirectory();

}  // namespace platform
