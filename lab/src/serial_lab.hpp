// Serial instruments of the lab: emulated ttyS ports (umockdev tty devices
// backed by pseudo-terminals) found through sysfs like real ones, and the
// Yaltro console simulator that answers on them. Configured by [serial NAME]
// sections.
#pragma once

#include <glib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace lab {

enum class SerialKind { Yaltro, Nothing, Placeholder };
enum class SerialFault { None, Silent, NoPromptAfterCommand, OtherAddress, NoAddr, Late, HangUp };

struct SerialConfig {
    std::string name;
    SerialKind kind = SerialKind::Yaltro;
    int port = 0;                     // ttyS<port>
    std::string serial;               // serial text of a new image
    bool login = false;               // asks "user name" and "user password"
    std::string login_text = "mopradelkin";
    bool console_program = false;     // shows the "Console Program" screen once after login
    // console-program=with-login: the "Console Program" screen shows on the
    // login screen instead, once; after login the console stays silent until
    // the byte 0x04 has come (at any time since that screen).
    bool console_program_with_login = false;
    SerialFault fault = SerialFault::None;
    unsigned late_ms = 0;             // fault=late: delay of the first command's answer
};

// fault=hang-up: the port hangs up this long after the first command's partial answer.
inline constexpr int kHangUpAfterMs = 200;

// Parses one [serial NAME] section; throws ConfigError (declared in config.hpp).
SerialConfig parse_serial(GKeyFile* kf, const std::string& group, const std::string& name);
void check_serial_ports(const std::vector<SerialConfig>& ports);

class SerialLab {
public:
    SerialLab(UMockdevTestbed* testbed, const std::string& root_dir, const std::vector<SerialConfig>& ports,
              const std::filesystem::path& state_dir);
    ~SerialLab();
    SerialLab(const SerialLab&) = delete;
    SerialLab& operator=(const SerialLab&) = delete;

private:
    struct Console;
    void run();

    std::vector<std::unique_ptr<Console>> consoles_;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace lab
