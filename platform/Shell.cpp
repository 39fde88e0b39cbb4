#include "Shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

extern char** environ;

namespace platform {

void OpenUrl(const std::string& url) {
    // A short-lived shell starts xdg-open in the background and exits at once,
    // so the call returns without waiting for the browser and leaves no zombie.
    std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                               const_cast<char*>("xdg-open \"$1\" >/dev/null 2>&1 &"), const_cast<char*>("sh"),
                               const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

std::filesystem::path OutsideProgramPath(const std::string& name) {
    const auto dir = ProgramDirectory();
    std::error_code ec;
    if (std::filesystem::exists(dir / name, ec)) return dir / name;
    return (dir / BREVANE_BIN_TO_PRIVATE / name).lexically_normal();
}

std::filesystem::path UserDataDirectory() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".local" / "share";
    else
        base = std::filesystem::temp_directory_path();
    return base / "brevane";
}

}  // namespace platform
