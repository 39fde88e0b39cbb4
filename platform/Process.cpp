#include "Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

extern char** environ;

namespace platform {

namespace {
bool IsZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;  // gone
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' || line[close + 2] == 'X';
}

// A process of our network namespace (it serves our loopback). Another
// user's process, whose namespace cannot be read, counts as ours.
bool SameNetwork(const std::string& pid) {
    struct stat mine {}, theirs {};
    if (::stat("/proc/self/ns/net", &mine) != 0) return true;
    if (::stat(("/proc/" + pid + "/ns/net").c_str(), &theirs) != 0) return errno == EACCES;
    return mine.st_ino == theirs.st_ino && mine.st_dev == theirs.st_dev;
}
}  // namespace

int OpenExitHandle(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

std::optional<pid_t> FindProcess(const std::string& name) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return std::nullopt;
    std::optional<pid_t> found;
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/" + std::string(e->d_name) + "/exe", ec);
        std::string exeName = ec ? std::string() : exe.filename().string();
        if (ec) {  // another user's process: its command name is still readable
            std::ifstream comm("/proc/" + std::string(e->d_name) + "/comm");
            std::getline(comm, exeName);
        }
        if (exeName == name && !IsZombie(static_cast<pid_t>(pid)) && SameNetwork(e->d_name)) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    ::closedir(proc);
    return found;
}

bool ProcessAlive(pid_t pid) {
    if (pid <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return false;             // our child, just ended
    if (r < 0 && errno != ECHILD) return false;
    return ::kill(pid, 0) == 0 && !IsZombie(pid);
}

std::optional<pid_t> StartProgram(const std::filesystem::path& program, const std::filesystem::path& directory) {
    const std::string path = program.string();
    std::vector<char*> argv = {const_cast<char*>(path.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    // A server of its own: no terminal, no pipes of ours held open.
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::nullopt;
    return pid;
}

std::filesystem::path RuntimeDirectory() {
    std::filesystem::path dir;
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        dir = std::filesystem::path(xdg) / "brevane";
    else
        dir = std::filesystem::temp_directory_path() / ("brevane-" + std::to_string(::getuid()));
    ::mkdir(dir.c_str(), 0700);  // an existing one is checked below
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077))
        return {};
    return dir;
}

}  // namespace platform
