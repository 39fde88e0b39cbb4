#pragma once
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

// Processes of this user's session, for families that start a helper program.
namespace platform {

// The first running process of our network namespace whose executable file
// name is exactly `name` (a walk over /proc); nothing when none runs.
std::optional<pid_t> FindProcess(const std::string& name);

// True while the process runs; a child that has ended is reaped here.
bool ProcessAlive(pid_t pid);

// A descriptor that turns readable once the process has ended (a pidfd), to
// wait for its end among other events; the caller closes it. -1 when the
// system has none (a wait on -1 simply runs to its deadline).
int OpenExitHandle(pid_t pid);

// Starts `program` with no arguments and `directory` as working directory;
// nothing when it cannot be started. The caller does not wait for it.
std::optional<pid_t> StartProgram(const std::filesystem::path& program, const std::filesystem::path& directory);

// The user's runtime directory for short-lived files: $XDG_RUNTIME_DIR/brevane,
// else /tmp/brevane-<uid>; created mode 0700 and refused when another user owns
// it. Empty when no safe directory could be had.
std::filesystem::path RuntimeDirectory();

}  // namespace platform
