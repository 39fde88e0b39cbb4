#pragma once
#include <filesystem>
#include <string>

namespace platform {

// Asks the desktop to open a web address in the default browser; returns at
// once, the result is not waited for.
void OpenUrl(const std::string& url);

// Directory of the running program file.
std::filesystem::path ProgramDirectory();

// Per-user directory for files the program keeps (created on demand):
// $XDG_DATA_HOME/brevane, else ~/.local/share/brevane.
std::filesystem::path UserDataDirectory();

}  // namespace platform
