#include "LabRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

fs::path BinDir() { return BREVANE_BIN_DIR; }

LabDir::LabDir(const std::string& name) {
    path = fs::temp_directory_path() / ("brevane-e2e-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(path);
    fs::create_directories(path / "state");
    config = path / "lab.ini";
    state = path / "state";
}

LabDir::~LabDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void LabDir::WriteConfig(const std::string& body) const { std::ofstream(config) << body; }

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

LabRun RunWatched(const std::vector<std::string>& argv, const std::function<bool()>& when, double* interruptedAt) {
    LabRun r;
    char outName[] = "/tmp/brevane-e2e-outXXXXXX";
    char errName[] = "/tmp/brevane-e2e-errXXXXXX";
    int outFd = ::mkstemp(outName);
    int errFd = ::mkstemp(errName);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        // Keep the program's per-user files (backups, last search) out of $HOME;
        // a test that needs them apart from other tests names its own place.
        const char* own = ::getenv("BREVANE_E2E_DATA_HOME");
        ::setenv("XDG_DATA_HOME", own && *own ? own : "/tmp/brevane-e2e-data", 1);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    if (interruptedAt) *interruptedAt = -1;
    bool sent = !when;
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, sent ? 0 : WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) break;
        if (!sent && when()) {
            ::kill(pid, SIGINT);
            sent = true;
            if (interruptedAt)
                *interruptedAt = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } else if (!sent) {
            ::usleep(20000);
        }
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::close(outFd);
    ::close(errFd);
    r.out = ReadFile(outName);
    r.err = ReadFile(errName);
    ::unlink(outName);
    ::unlink(errName);
    return r;
}

}  // namespace

LabRun Run(const std::vector<std::string>& argv) { return RunWatched(argv, {}, nullptr); }

LabRun RunInLabInterrupted(const LabDir& lab, const std::vector<std::string>& command,
                           const std::function<bool()>& when, double* interruptedAt) {
    std::vector<std::string> argv = {(BinDir() / "brevane-lab").string(), "run", "--config", lab.config.string(),
                                     "--state", lab.state.string(), "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    return RunWatched(argv, when, interruptedAt);
}

LabRun RunInLab(const LabDir& lab, const std::vector<std::string>& command) {
    std::vector<std::string> argv = {(BinDir() / "brevane-lab").string(), "run", "--config", lab.config.string(),
                                     "--state", lab.state.string(), "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    return Run(argv);
}

std::string CliPath() { return (BinDir() / "brevane-cli").string(); }

std::vector<std::string> JsonField(const std::string& json, const std::string& name) {
    std::vector<std::string> values;
    const std::regex re("\"" + name + "\":\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), re); it != std::sregex_iterator(); ++it)
        values.push_back((*it)[1]);
    return values;
}

std::string ImageWithSerial(const std::string& serial) {
    std::string image(256, '\0');
    for (int i = 0; i < 76; ++i) image[static_cast<std::size_t>(i)] = static_cast<char>(0x30 + i);
    std::copy(serial.begin(), serial.end(), image.begin() + 76);
    for (std::size_t i = 76 + serial.size() + 1; i < 256; ++i) image[i] = static_cast<char>(i);
    return image;
}
