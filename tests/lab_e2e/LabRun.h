#pragma once
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Runs a command inside a simulated lab and collects what it printed.
struct LabRun {
    int status = -1;       // exit status of brevane-lab (the command's own)
    std::string out, err;  // standard output and error of the command
    double seconds = 0;    // wall time of the whole run
};

// A fresh lab directory for one test: config file, state dir, work files.
class LabDir {
public:
    explicit LabDir(const std::string& name);
    ~LabDir();
    std::filesystem::path path;
    std::filesystem::path config;
    std::filesystem::path state;
    void WriteConfig(const std::string& body) const;
};

std::filesystem::path BinDir();
// brevane-lab run --config <config> --state <state> -- command...
LabRun RunInLab(const LabDir& lab, const std::vector<std::string>& command);
// The same with the program given by full path (for a relocated copy).
LabRun Run(const std::vector<std::string>& argv);

// Runs the command inside the lab and, once `when` (asked every 20 ms) turns
// true, sends SIGINT to the lab, which passes it to the command, as a Ctrl-C
// would. `interruptedAt` receives the seconds from the start to the signal
// (-1 when it was never sent).
LabRun RunInLabInterrupted(const LabDir& lab, const std::vector<std::string>& command,
                           const std::function<bool()>& when, double* interruptedAt = nullptr);
std::string ReadFile(const std::filesystem::path& file);

// The command-line program beside the tests' binaries.
std::string CliPath();
// Every value of a string field in a JSON text, in order.
std::vector<std::string> JsonField(const std::string& json, const std::string& name);
// A 256-byte identity image with this serial text at byte 76.
std::string ImageWithSerial(const std::string& serial);
