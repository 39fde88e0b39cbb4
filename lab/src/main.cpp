// brevane-lab: runs a command inside the simulated instrument lab.
#include <dirent.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config.hpp"
#include "lab.hpp"
#include "log.hpp"
#include "net_lab.hpp"
#include "protocol.hpp"
#include "record.hpp"
#include "segment_lab.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kExitUsage = 2;
constexpr int kDefaultTimeoutSec = 3600;
constexpr int kKillGraceSec = 5;
constexpr const char* kPreload = "libumockdev-preload.so.0";

void usage(FILE* to) {
    std::fprintf(to,
                 "Usage: brevane-lab run [--config FILE] [--state DIR] [--timeout SEC] -- COMMAND [ARGS...]\n"
                 "       brevane-lab --help\n\n"
                 "Sets up the simulated instrument lab (fake sysfs and USB device nodes, network\n"
                 "namespaces with lab0 = 198.18.0.1/24 and lab1 = 198.18.1.1/24), runs COMMAND inside\n"
                 "it, tears the lab down and exits with COMMAND's exit status (128+N when it was\n"
                 "killed by signal N). COMMAND always runs in a network namespace of its own.\n\n"
                 "  --config FILE  lab description (default: default-lab.ini next to this program)\n"
                 "  --state DIR    directory of the identity images (overrides [lab] state-dir)\n"
                 "  --timeout SEC  stop COMMAND after SEC seconds (default %d, 0: no limit)\n\n"
                 "Set BREVANE_LAB_VERBOSE=1 to log lab events on stderr, BREVANE_LAB_RECORD=FILE to\n"
                 "append every request and reply on the wire to FILE.\n"
                 "Device kinds:",
                 kDefaultTimeoutSec);
    for (const auto& k : lab::kinds()) std::fprintf(to, " %.*s", static_cast<int>(k.name.size()), k.name.data());
    std::fprintf(to, "\nProtocols:");
    for (const auto& p : lab::protocols()) std::fprintf(to, " %.*s", static_cast<int>(p.name.size()), p.name.data());
    std::fprintf(to, "\nFaults:");
    for (const auto& f : lab::faults()) std::fprintf(to, " %.*s", static_cast<int>(f.name.size()), f.name.data());
    std::fprintf(to, "\nNetwork kinds:");
    for (const auto& k : lab::net_kinds()) std::fprintf(to, " %.*s", static_cast<int>(k.name.size()), k.name.data());
    std::fprintf(to, "\nNetwork faults:");
    for (const auto& f : lab::net_faults()) std::fprintf(to, " %.*s", static_cast<int>(f.name.size()), f.name.data());
    std::fprintf(to, "\n");
}

fs::path program_dir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : exe.parent_path();
}

void remove_tree(const fs::path& p) {
    std::error_code ec;
    fs::remove_all(p, ec);
}

constexpr const char* kOwnerMark = ".brevane-lab-pid";

void write_owner_mark(const fs::path& dir) {
    if (FILE* f = std::fopen((dir / kOwnerMark).c_str(), "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
        std::fclose(f);
    }
}

// A lab killed with SIGKILL leaves its testbed directory behind: remove those
// that a lab marked as its own and whose lab process is gone.
void remove_orphans(const fs::path& base) {
    DIR* d = ::opendir(base.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("umockdev.", 0) != 0) continue;
        struct stat st {};
        if (::lstat((base / name).c_str(), &st) != 0 || st.st_uid != ::getuid() || !S_ISDIR(st.st_mode)) continue;
        FILE* f = std::fopen((base / name / kOwnerMark).c_str(), "r");
        if (!f) continue;
        long pid = 0;
        const bool ok = std::fscanf(f, "%ld", &pid) == 1;
        std::fclose(f);
        if (ok && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) remove_tree(base / name);
    }
    ::closedir(d);
}

std::vector<std::string> child_environment(const char* old_tmpdir, const std::string& umockdev_dir) {
    std::vector<std::string> env;
    std::string preload = kPreload;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        if (kv.rfind("LD_PRELOAD=", 0) == 0) {
            if (kv.size() > 11) preload += ":" + kv.substr(11);
            continue;
        }
        if (kv.rfind("UMOCKDEV_DIR=", 0) == 0 || kv.rfind("TMPDIR=", 0) == 0) continue;
        env.push_back(kv);
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + umockdev_dir);
    if (old_tmpdir) env.push_back(std::string("TMPDIR=") + old_tmpdir);
    return env;
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    lab::set_verbose([] {
        const char* v = std::getenv("BREVANE_LAB_VERBOSE");
        return v && std::strcmp(v, "1") == 0;
    }());

    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        usage(stderr);
        return kExitUsage;
    }
    fs::path config_file;
    std::string state_override;
    long timeout_sec = kDefaultTimeoutSec;
    int i = 2;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* opt) -> std::string {
            const std::string eq = std::string(opt) + "=";
            if (a.rfind(eq, 0) == 0) return a.substr(eq.size());
            if (i + 1 >= argc) {
                std::fprintf(stderr, "brevane-lab: %s needs a value\n", opt);
                std::exit(kExitUsage);
            }
            return argv[++i];
        };
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--config" || a.rfind("--config=", 0) == 0) {
            config_file = value("--config");
        } else if (a == "--state" || a.rfind("--state=", 0) == 0) {
            state_override = value("--state");
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            const std::string v = value("--timeout");
            char* end = nullptr;
            timeout_sec = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || timeout_sec < 0) {
                std::fprintf(stderr, "brevane-lab: --timeout: '%s' is not a number of seconds\n", v.c_str());
                return kExitUsage;
            }
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "brevane-lab: unknown option %s\n", a.c_str());
            return kExitUsage;
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "brevane-lab: no command to run (brevane-lab run [OPTIONS] -- COMMAND...)\n");
        return kExitUsage;
    }
    if (config_file.empty()) config_file = program_dir() / "default-lab.ini";

    lab::LabConfig cfg;
    try {
        cfg = lab::load_config(config_file);
    } catch (const lab::ConfigError& e) {
        std::fprintf(stderr, "brevane-lab: config %s: %s\n", config_file.c_str(), e.what());
        return kExitUsage;
    }
    if (!state_override.empty()) cfg.state_dir = fs::absolute(state_override);
    if (const char* rec = std::getenv("BREVANE_LAB_RECORD"); rec && *rec) cfg.record = fs::absolute(rec);
    if (!lab::open_record(cfg.record)) {
        std::fprintf(stderr, "brevane-lab: record file %s: %s\n", cfg.record.c_str(), std::strerror(errno));
        return kExitUsage;
    }

    // The testbed directory goes in /tmp whatever TMPDIR says: umockdev puts
    // its ioctl sockets at <testbed>/ioctl/<device node>, and a socket path
    // holds at most 107 bytes. TMPDIR must be set before GLib first reads it;
    // the command gets its own TMPDIR back.
    const char* old_tmpdir_env = std::getenv("TMPDIR");
    const std::string old_tmpdir = old_tmpdir_env ? old_tmpdir_env : "";
    const fs::path base = "/tmp";
    remove_orphans(base);
    ::setenv("TMPDIR", base.c_str(), 1);
    // The testbed sets UMOCKDEV_DIR after its own worker thread has started,
    // and that thread reads the environment. Adding a variable may move the
    // environment under a reader; replacing one that exists does not. So it
    // exists from here on, set before any thread (the command gets its own).
    ::setenv("UMOCKDEV_DIR", base.c_str(), 1);

    // Signals are taken synchronously by this thread; block them before any
    // thread (the testbed's worker) exists so that none of them gets one.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&sigs, s);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // The network first, on this thread before any other exists: the command,
    // the lab's threads and the instruments all live in namespaces made here.
    lab::NetLab* the_net = nullptr;
    try {
        the_net = new lab::NetLab(cfg);  // lives until _exit, like the testbed
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brevane-lab: setting up the lab's network: %s\n", e.what());
        return 1;
    }

    // Raw Ethernet instruments: more namespaces, entered from and left back to the command's.
    try {
        std::error_code ec;
        if (!cfg.segment_devices.empty()) fs::create_directories(cfg.state_dir, ec);
        new lab::SegmentLab(cfg.segment_devices, the_net->command_ns(), cfg.state_dir);  // lives until _exit
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brevane-lab: setting up the lab's raw Ethernet segment: %s\n", e.what());
        return 1;
    }

    lab::Lab* the_lab = nullptr;
    try {
        the_lab = new lab::Lab(cfg);  // lives until _exit: handlers may run to the end
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brevane-lab: setting up the lab: %s\n", e.what());
        return 1;
    }
    const fs::path workdir = the_lab->root_dir();
    write_owner_mark(workdir);

    const auto env = child_environment(old_tmpdir_env ? old_tmpdir.c_str() : nullptr, the_lab->root_dir());
    std::vector<char*> envp;
    for (const auto& s : env) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    try {
        the_net->command_ns().require_current("running the command");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brevane-lab: %s\n", e.what());
        remove_tree(workdir);
        return 1;
    }
    const int rc = posix_spawnp(&child, argv[i], nullptr, &attr, argv + i, envp.data());
    posix_spawnattr_destroy(&attr);
    int code = 0;
    if (rc != 0) {
        std::fprintf(stderr, "brevane-lab: %s: %s\n", argv[i], std::strerror(rc));
        code = rc == ENOENT ? 127 : 126;
    } else {
        lab::log_event("running %s (pid %d) in %s", argv[i], static_cast<int>(child), the_lab->root_dir().c_str());
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        auto elapsed = [&] {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
        };
        double kill_at = -1;  // when a stopping child gets SIGKILL
        for (;;) {
            int status = 0;
            const pid_t w = ::waitpid(child, &status, WNOHANG);
            if (w == child) {
                code = exit_code(status);
                break;
            }
            double wait_s = 3600;
            if (kill_at >= 0) wait_s = kill_at - elapsed();
            else if (timeout_sec > 0) wait_s = static_cast<double>(timeout_sec) - elapsed();
            if (wait_s <= 0) {
                if (kill_at >= 0) {
                    lab::log_error("%s did not stop: killing it", argv[i]);
                    ::kill(child, SIGKILL);
                    kill_at = elapsed() + 3600;
                } else {
                    lab::log_error("%s ran longer than %ld s: stopping it", argv[i], timeout_sec);
                    ::kill(child, SIGTERM);
                    kill_at = elapsed() + kKillGraceSec;
                }
                continue;
            }
            timespec ts{static_cast<time_t>(wait_s), static_cast<long>((wait_s - static_cast<long>(wait_s)) * 1e9)};
            siginfo_t info{};
            const int sig = ::sigtimedwait(&sigs, &info, &ts);
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
                lab::log_event("signal %d: passing it to %s", sig, argv[i]);
                ::kill(child, sig);
                if (kill_at < 0) kill_at = elapsed() + kKillGraceSec;
            }
        }
    }

    // Tear down: the testbed lives in workdir.
    if (the_net) the_net->end_leftovers();
    std::fflush(stdout);
    std::fflush(stderr);
    lab::log_event("%s ended with status %d; removing %s", argv[i], code, workdir.c_str());
    remove_tree(workdir);
    lab::log_event("lab removed");
    _exit(code);
}
