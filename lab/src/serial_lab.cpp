#include "serial_lab.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>

#include "config.hpp"
#include "image_store.hpp"
#include "log.hpp"
#include "record.hpp"

namespace lab {
namespace {

constexpr int kTtySMajor = 4;
constexpr int kTtySMinorBase = 64;

std::string get(GKeyFile* kf, const std::string& group, const char* key, const std::string& def) {
    gchar* v = g_key_file_get_string(kf, group.c_str(), key, nullptr);
    if (!v) return def;
    std::string s = v;
    g_free(v);
    return s;
}

}  // namespace

SerialConfig parse_serial(GKeyFile* kf, const std::string& group, const std::string& name) {
    SerialConfig c;
    c.name = name;
    auto fail = [&](const char* key, const std::string& why) {
        throw ConfigError("[" + group + "] " + key + ": " + why);
    };
    gsize n = 0;
    gchar** keys = g_key_file_get_keys(kf, group.c_str(), &n, nullptr);
    const std::set<std::string> known = {"kind",           "port",  "serial", "login", "login-text",
                                         "console-program", "fault", "late-ms"};
    for (gsize i = 0; i < n; ++i)
        if (!known.count(keys[i])) {
            const std::string k = keys[i];
            g_strfreev(keys);
            throw ConfigError("[" + group + "] " + k + ": unknown key");
        }
    g_strfreev(keys);
    const std::string kind = get(kf, group, "kind", "yaltro");
    if (kind == "yaltro") c.kind = SerialKind::Yaltro;
    else if (kind == "nothing") c.kind = SerialKind::Nothing;
    else if (kind == "placeholder") c.kind = SerialKind::Placeholder;
    else fail("kind", "unknown kind '" + kind + "' (yaltro | nothing | placeholder)");
    const std::string port = get(kf, group, "port", "");
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 0 || p > 31) fail("port", "must be 0-31 (the N of ttySN)");
    c.port = static_cast<int>(p);
    c.serial = get(kf, group, "serial", name);
    if (c.serial.empty() || c.serial.size() > 60) fail("serial", "must be 1-60 characters");
    const std::string login = get(kf, group, "login", "no");
    if (login != "yes" && login != "no") fail("login", "yes or no");
    c.login = login == "yes";
    c.login_text = get(kf, group, "login-text", c.login_text);
    const std::string cp = get(kf, group, "console-program", "no");
    if (cp != "yes" && cp != "no" && cp != "with-login") fail("console-program", "yes, no or with-login");
    c.console_program = cp != "no";
    c.console_program_with_login = cp == "with-login";
    if (c.console_program_with_login && !c.login) fail("console-program", "with-login needs login=yes");
    const std::string fault = get(kf, group, "fault", "none");
    if (fault == "none") c.fault = SerialFault::None;
    else if (fault == "silent") c.fault = SerialFault::Silent;
    else if (fault == "no-prompt-after-command") c.fault = SerialFault::NoPromptAfterCommand;
    else if (fault == "other-address") c.fault = SerialFault::OtherAddress;
    else if (fault == "no-addr") c.fault = SerialFault::NoAddr;
    else if (fault == "late") c.fault = SerialFault::Late;
    else if (fault == "hang-up") c.fault = SerialFault::HangUp;
    else fail("fault", "unknown fault '" + fault + "' (none | silent | no-prompt-after-command | other-address | no-addr | late | hang-up)");
    const std::string late = get(kf, group, "late-ms", "");
    if (c.fault == SerialFault::Late) {
        c.late_ms = static_cast<unsigned>(std::strtoul(late.c_str(), nullptr, 10));
        if (c.late_ms == 0 || c.late_ms > 60000) fail("late-ms", "1-60000, needed by fault=late");
    } else if (!late.empty()) {
        fail("late-ms", "only used with fault=late");
    }
    if (c.kind != SerialKind::Yaltro && (c.login || c.fault != SerialFault::None || c.console_program))
        fail("kind", "only a yaltro console takes login, console-program and fault");
    return c;
}

void check_serial_ports(const std::vector<SerialConfig>& ports) {
    std::set<int> used;
    for (const auto& c : ports)
        if (!used.insert(c.port).second)
            throw ConfigError("[serial " + c.name + "] port: ttyS" + std::to_string(c.port) + " is already in use");
}

// One console: the master side of the port's pseudo-terminal and the state
// of the conversation on it.
struct SerialLab::Console {
    SerialConfig cfg;
    int master = -1;
    std::unique_ptr<ImageStore> store;
    enum class Stage { Idle, UserName, Password, ConsoleProgram, LoggedIn } stage = Stage::Idle;
    std::string line;
    std::string user;
    bool shown_console_program = false;
    bool answered_late = false;       // fault=late: the first command's answer was held back
    std::string held;                 // that answer
    std::chrono::steady_clock::time_point due{};
    bool hang_up_pending = false;     // fault=hang-up: the port hangs up at `due`
    bool hung_up = false;
    int hold = -1;                    // the lab's own open of the terminal side
    std::string hold_path;

    // Hangs the terminal up, as a USB serial adapter does when it is pulled:
    // every open file of the port then reads end of file and fails writes.
    // The lab opens the terminal again, so the master side stays usable.
    void hang_up() {
        hang_up_pending = false;
        hung_up = true;
        if (hold < 0 || ::ioctl(hold, TIOCVHANGUP) != 0) {
            log_error("%s: hang-up failed (%s)", cfg.name.c_str(), std::strerror(errno));
            return;
        }
        log_event("%s: fault hang-up: the port hangs up", cfg.name.c_str());
        ::close(hold);
        hold = ::open(hold_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }

    void say(const std::string& text) {
        if (text.empty()) return;
        record(cfg.name, false, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        std::size_t done = 0;
        for (int spins = 0; done < text.size() && spins < 100; ++spins) {
            const ssize_t n = ::write(master, text.data() + done, text.size() - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
            else ::poll(nullptr, 0, 1);
        }
    }

    std::uint16_t word(int i) const {
        const Image& im = store->image();
        return static_cast<std::uint16_t>(im[static_cast<std::size_t>(2 * i)] | (im[static_cast<std::size_t>(2 * i + 1)] << 8));
    }

    void after_login() {
        if (cfg.console_program_with_login && !shown_console_program) {
            stage = Stage::ConsoleProgram;  // its screen was shown with the login prompt
            return;
        }
        if (cfg.console_program && !shown_console_program) {
            stage = Stage::ConsoleProgram;
            say("\r\n*** Console Program ***\r\nPress Ctrl-D to leave\r\n");
            return;
        }
        stage = Stage::LoggedIn;
        say("\r\nYaltro>");
    }

    void command(const std::string& text) {
        const std::string end = cfg.fault == SerialFault::NoPromptAfterCommand ? "\r\n" : "\r\nYaltro>";
        int address = 0;
        unsigned value = 0;
        char hex[8] = {};
        if (std::sscanf(text.c_str(), "eeprom read %d", &address) == 1 && address >= 0 && address < 128) {
            const int shown = cfg.fault == SerialFault::OtherAddress ? (address + 1) % 128 : address;
            char reply[64];
            if (cfg.fault == SerialFault::NoAddr)
                std::snprintf(reply, sizeof reply, "\r\nword %d read", address);
            else
                std::snprintf(reply, sizeof reply, "\r\nAddr = %03d  value = %04X", shown, word(shown));
            if (cfg.fault == SerialFault::HangUp) {
                // Part of the answer, then the port hangs up while the host reads.
                if (hung_up) return;
                say("\r\nAddr = ");
                hang_up_pending = true;
                due = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangUpAfterMs);
                return;
            }
            if (cfg.fault == SerialFault::Late && !answered_late) {
                answered_late = true;
                held = reply + end;
                due = std::chrono::steady_clock::now() + std::chrono::milliseconds(cfg.late_ms);
                return;
            }
            say(reply + end);
        } else if (std::sscanf(text.c_str(), "eeprom write %d %7s", &address, hex) == 2 && address >= 0 &&
                   address < 128 && std::strlen(hex) == 4 &&
                   std::sscanf(hex, "%4X", &value) == 1) {
            Image& im = store->image();
            im[static_cast<std::size_t>(2 * address)] = static_cast<std::uint8_t>(value);
            im[static_cast<std::size_t>(2 * address + 1)] = static_cast<std::uint8_t>(value >> 8);
            store->save(false);
            say("\r\nOK" + end);
        } else if (text.empty()) {
            say("\r\nYaltro>");
        } else {
            say("\r\nUnknown command" + end);
        }
    }

    void on_line(const std::string& text) {
        switch (stage) {
        case Stage::Idle:
            if (cfg.login) {
                stage = Stage::UserName;
                say(cfg.console_program_with_login && !shown_console_program
                        ? "\r\n*** Console Program ***\r\nPress Ctrl-D to leave\r\nuser name:"
                        : "\r\nuser name:");
            } else {
                after_login();
            }
            break;
        case Stage::UserName:
            user = text;
            stage = Stage::Password;
            say("\r\nuser password:");
            break;
        case Stage::Password:
            if (user == cfg.login_text && text == cfg.login_text) {
                log_event("%s: logged in", cfg.name.c_str());
                after_login();
            } else {
                log_event("%s: login refused", cfg.name.c_str());
                stage = Stage::UserName;
                say("\r\nLogin incorrect\r\nuser name:");
            }
            break;
        case Stage::ConsoleProgram: break;
        case Stage::LoggedIn: command(text); break;
        }
    }

    void on_bytes(const std::uint8_t* data, std::size_t n) {
        record(cfg.name, true, std::span(data, n));
        if (cfg.fault == SerialFault::Silent) return;
        for (std::size_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(data[i]);
            if (cfg.console_program_with_login && c == 0x04 &&
                (stage == Stage::UserName || stage == Stage::Password)) {
                shown_console_program = true;  // left before the login ends
                continue;
            }
            if (stage == Stage::ConsoleProgram && c == 0x04) {
                shown_console_program = true;
                after_login();
                continue;
            }
            if (c == '\r' || c == '\n') {
                if (c == '\n' && line.empty()) continue;
                on_line(line);
                line.clear();
            } else if (line.size() < 256) {
                line.push_back(c);
            }
        }
    }
};

SerialLab::SerialLab(UMockdevTestbed* testbed, const std::string& root_dir, const std::vector<SerialConfig>& ports,
                     const std::filesystem::path& state_dir) {
    namespace fs = std::filesystem;
    if (ports.empty()) return;
    GError* err = nullptr;
    const std::string parent =
        "P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\nE: DRIVER=serial8250\n\n";
    if (!umockdev_testbed_add_from_string(testbed, parent.c_str(), &err)) {
        std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error("sysfs: serial8250: " + msg);
    }
    for (const auto& c : ports) {
        const std::string tty = "ttyS" + std::to_string(c.port);
        const int minor = kTtySMinorBase + c.port;
        std::string t = "P: /devices/platform/serial8250/tty/" + tty + "\n";
        t += "N: " + tty + "\n";
        t += "E: DEVNAME=/dev/" + tty + "\nE: SUBSYSTEM=tty\n";
        t += "E: MAJOR=" + std::to_string(kTtySMajor) + "\nE: MINOR=" + std::to_string(minor) + "\n";
        t += "A: dev=" + std::to_string(kTtySMajor) + ":" + std::to_string(minor) + "\\n\n";
        // UART type: 4 = 16550A; 0 = unknown (a legacy placeholder).
        t += std::string("A: type=") + (c.kind == SerialKind::Placeholder ? "0" : "4") + "\\n\n\n";
        if (!umockdev_testbed_add_from_string(testbed, t.c_str(), &err)) {
            std::string msg = err ? err->message : "?";
            g_clear_error(&err);
            throw std::runtime_error("sysfs: " + tty + ": " + msg);
        }
        // umockdev makes no `device` links.
        std::error_code ec;
        fs::create_symlink("../..", fs::path(root_dir) / "sys/devices/platform/serial8250/tty" / tty / "device", ec);
        if (ec) throw std::runtime_error("sysfs: " + tty + "/device: " + ec.message());
        const int master = umockdev_testbed_get_dev_fd(testbed, ("/dev/" + tty).c_str());
        if (master < 0) throw std::runtime_error("/dev/" + tty + ": no pseudo-terminal");
        log_event("serial %s (%s) on /dev/%s", c.name.c_str(),
                  c.kind == SerialKind::Yaltro ? "yaltro" : c.kind == SerialKind::Nothing ? "nothing attached" : "placeholder",
                  tty.c_str());
        if (c.kind != SerialKind::Yaltro) continue;
        // The lab holds the terminal side open too, so that the master never
        // hangs up between the product's opens.
        auto con = std::make_unique<Console>();
        con->hold_path = root_dir + "/dev/" + tty;
        con->hold = ::open(con->hold_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        con->cfg = c;
        con->master = master;
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        con->store = std::make_unique<ImageStore>(state_dir / (c.name + ".bin"), c.name, c.serial);
        consoles_.push_back(std::move(con));
    }
    if (consoles_.empty()) return;
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

SerialLab::~SerialLab() {
    stop_ = true;
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        if (::write(wake_fd_, &one, sizeof one) < 0) {
        }
    }
    if (thread_.joinable()) thread_.join();
    if (wake_fd_ >= 0) ::close(wake_fd_);
    for (const auto& c : consoles_)
        if (c->hold >= 0) ::close(c->hold);
}

void SerialLab::run() {
    std::vector<pollfd> fds;
    for (const auto& c : consoles_) fds.push_back({c->master, POLLIN, 0});
    fds.push_back({wake_fd_, POLLIN, 0});
    while (!stop_) {
        int timeout = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const auto& c : consoles_)
            if (!c->held.empty() || c->hang_up_pending) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->due - now).count() + 1;
                timeout = timeout < 0 ? static_cast<int>(std::max<long>(left, 0)) : std::min(timeout, static_cast<int>(std::max<long>(left, 0)));
            }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        for (auto& c : consoles_)
            if (!c->held.empty() && std::chrono::steady_clock::now() >= c->due) {
                c->say(c->held);
                c->held.clear();
            }
        for (auto& c : consoles_)
            if (c->hang_up_pending && std::chrono::steady_clock::now() >= c->due) c->hang_up();
        for (std::size_t i = 0; i < consoles_.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                std::uint8_t buf[512];
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) consoles_[i]->on_bytes(buf, static_cast<std::size_t>(n));
            } else if (fds[i].revents & (POLLHUP | POLLERR)) {
                // No one has the port open: nothing to read until someone does.
                fds[i].events = POLLIN;
                ::poll(nullptr, 0, 50);
            }
        }
    }
}

}  // namespace lab
