#include "CComm_Yaltro.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "YaltroConsole.h"
#include "base/Log.h"
#include "framework/Wait.h"

IMPLEMENT_DYNCREATE(CComm_Yaltro, CCommBase)

namespace {

constexpr const char* kLog = "yaltro";
constexpr int kIoTimeoutMs = 1000;     // every write to the port
constexpr int kFirstWaitMs = 1500;     // after the wake-up carriage return
constexpr int kAnswerWaitMs = 1500;    // after answering a login or console screen
constexpr int kTryWaitMs = 1000;       // between two looks at the console
constexpr int kHandshakeTries = 15;
constexpr int kCommandEndMs = 1500;    // 1500 polls of 1 ms for the prompt after a command
constexpr int kSliceMs = 20;           // longest single poll, so that Stop is seen quickly
constexpr int kAsksPerWord = 3;        // a word whose reply names another address is asked again, this often at most
constexpr std::size_t kMaxText = 8192; // collected console text kept (its end)

using Clock = std::chrono::steady_clock;

std::mutex g_loginLock;
std::string g_login;  // empty: the default

platform::SerialSettings Settings() {
    static const platform::SerialSettings s = *platform::ParseSerialSettings("38400", "None", "8", "1");
    return s;
}

void Append(std::string& text, const std::uint8_t* data, std::size_t n) {
    text.append(reinterpret_cast<const char*>(data), n);
    if (text.size() > kMaxText) text.erase(0, text.size() - kMaxText);
}

// A screen of the handshake that waits for an answer.
bool ShowsScreen(const std::string& text) {
    const yaltro::ConsoleScreens s = yaltro::Screens(text);
    return s.login || s.consoleProgram;
}

// Reads the port for `ms`, appending to text; true as soon as the prompt is
// there. A port that hangs up ends the wait at once. These waits are there for
// the console's next screen: paced timing also ends one as soon as the text
// shows a screen the handshake answers (original timing reads on for the full
// time).
bool Collect(platform::SerialPort& port, std::string& text, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const bool paced = !OriginalTiming();
    std::array<std::uint8_t, 1024> buffer{};
    for (;;) {
        if (text.find(yaltro::kPrompt) != std::string::npos) return true;
        if (paced && ShowsScreen(text)) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || StopRequested() || port.HungUp()) return false;
        const std::size_t n = port.Read(buffer.data(), buffer.size(), static_cast<int>(std::min<long>(left, kSliceMs)));
        Append(text, buffer.data(), n);
    }
}

// The console handshake on an open port: wake the console, answer its login
// and console-program screens, until the prompt shows or 15 looks went by.
bool Handshake(platform::SerialPort& port, const std::string& login) {
    const std::uint8_t cr = '\r';
    if (!port.Write(&cr, 1, kIoTimeoutMs)) return false;
    std::string text;
    if (Collect(port, text, kFirstWaitMs)) return true;
    for (int attempt = 0; attempt < kHandshakeTries && !StopRequested() && !port.HungUp(); ++attempt) {
        // Two independent looks at one screen: a login prompt and the
        // console-program screen shown together are both answered.
        const yaltro::ConsoleScreens screens = yaltro::Screens(text);
        text.clear();
        if (screens.login) {
            const std::string line = yaltro::LoginLine(login);
            if (!port.Write(line.data(), line.size(), kIoTimeoutMs)) return false;
            if (Collect(port, text, kAnswerWaitMs)) return true;
        }
        if (screens.consoleProgram) {
            const std::uint8_t eot = yaltro::kConsoleProgramAnswer;
            if (!port.Write(&eot, 1, kIoTimeoutMs)) return false;
            if (Collect(port, text, kAnswerWaitMs)) return true;
        }
        if (Collect(port, text, kTryWaitMs)) return true;
    }
    return false;
}

}  // namespace

CComm_Yaltro::~CComm_Yaltro() { CloseModule(); }

void CComm_Yaltro::SetLoginText(std::string text) {
    std::lock_guard<std::mutex> hold(g_loginLock);
    g_login = std::move(text);
}

std::string CComm_Yaltro::LoginText() {
    std::lock_guard<std::mutex> hold(g_loginLock);
    return g_login.empty() ? std::string(yaltro::kDefaultLogin) : g_login;
}

// Every port is probed at the same time, each by a thread of its own with its
// own handle, so that a search costs about one port's handshake however many
// ports the machine has. The found ports are listed in COM order.
BOOL CComm_Yaltro::Connect() {
    CloseModule();
    m_found.clear();
    const auto ports = platform::FindSerialPorts();
    if (ports.empty()) LOG_INFO(kLog, "no serial ports with hardware behind them");
    const std::string login = LoginText();
    const std::size_t n = ports.size();
    auto found = std::make_shared<std::vector<std::atomic<bool>>>(n);
    std::vector<std::thread> probes;
    for (std::size_t i = 0; i < n; ++i) {
        LOG_INFO(kLog, "probing %s (%s)", ports[i].comName.c_str(), ports[i].devicePath.c_str());
        probes.emplace_back([port = ports[i], login, found, i] {
            platform::SerialPort serial;
            if (!serial.Open(port.devicePath, Settings())) {
                LOG_INFO(kLog, "%s (%s): %s", port.comName.c_str(), port.devicePath.c_str(), serial.Error().c_str());
            } else {
                (*found)[i] = Handshake(serial, login);
                LOG_INFO(kLog, "%s (%s): %s", port.comName.c_str(), port.devicePath.c_str(),
                         (*found)[i] ? "console prompt" : "no console prompt");
            }
        });
    }
    // Each probe ends within its own limits, soon after a stop: the search
    // thread sleeps in the joins meanwhile.
    for (auto& t : probes) t.join();
    for (std::size_t i = 0; i < n; ++i)
        if ((*found)[i]) m_found.push_back(ports[i]);
    if (!m_found.empty()) m_current = m_found.front();
    return m_found.empty() ? FALSE : TRUE;
}

void CComm_Yaltro::SetModuleIndex(std::int32_t index) {
    if (index >= 0 && index < GetModuleCount()) m_current = m_found[static_cast<std::size_t>(index)];
}

BOOL CComm_Yaltro::OpenModule() {
    CloseModule();
    if (m_current.devicePath.empty()) return FALSE;
    LOG_INFO(kLog, "opening %s (%s)", m_current.comName.c_str(), m_current.devicePath.c_str());
    if (!m_port.Open(m_current.devicePath, Settings())) {
        LOG_WARN(kLog, "%s (%s): %s", m_current.comName.c_str(), m_current.devicePath.c_str(), m_port.Error().c_str());
        return FALSE;
    }
    if (Handshake(m_port, LoginText())) return TRUE;
    LOG_WARN(kLog, "%s (%s): no console prompt", m_current.comName.c_str(), m_current.devicePath.c_str());
    m_port.Close();
    return FALSE;
}

void CComm_Yaltro::CloseModule() { m_port.Close(); }

bool CComm_Yaltro::SendText(const std::string& text) {
    // Whatever is still waiting belongs to an earlier command.
    std::array<std::uint8_t, 1024> drop{};
    for (int k = 0; k < 64 && m_port.Read(drop.data(), drop.size(), 0) > 0; ++k) {
    }
    return m_port.Write(text.data(), text.size(), kIoTimeoutMs);
}

bool CComm_Yaltro::WaitCommandEnd(std::string& text, bool stoppable) {
    text.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(kCommandEndMs);
    std::array<std::uint8_t, 1024> buffer{};
    for (;;) {
        if (text.find(yaltro::kPrompt) != std::string::npos) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || (stoppable && StopRequested()) || m_port.HungUp()) return false;
        Append(text, buffer.data(), m_port.Read(buffer.data(), buffer.size(), static_cast<int>(std::min<long>(left, kSliceMs))));
    }
}

BOOL CComm_Yaltro::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if (length <= 0) return TRUE;
    if (!buffer || !m_port.IsOpen()) return FALSE;
    std::array<std::uint8_t, 256> image{};
    const auto usable = static_cast<std::size_t>(std::min<std::int32_t>(length, 256));
    std::copy_n(buffer, usable, image.begin());
    std::string text;
    for (int word : yaltro::ReadWords()) {
        for (int ask = 1;; ++ask) {
            if (StopRequested()) return FALSE;
            if (!SendText(yaltro::ReadCommand(word)) || !WaitCommandEnd(text, true)) {
                LOG_WARN(kLog, "read word %d on %s: %s", word, m_current.comName.c_str(),
                         m_port.HungUp() ? "the port hung up" : "no prompt after the command");
                return FALSE;
            }
            const yaltro::WordReply reply = yaltro::ParseWordReply(text);
            if (reply.kind == yaltro::WordReply::Kind::Word && reply.address == word) {
                image[static_cast<std::size_t>(2 * word)] = static_cast<std::uint8_t>(reply.value);
                image[static_cast<std::size_t>(2 * word + 1)] = static_cast<std::uint8_t>(reply.value >> 8);
                break;
            }
            if (ask >= kAsksPerWord) {
                LOG_WARN(kLog, "read word %d on %s: %s %d times", word, m_current.comName.c_str(),
                         reply.kind == yaltro::WordReply::Kind::Word ? "the reply names another address"
                                                                    : "no address and value in the reply",
                         ask);
                return FALSE;
            }
        }
    }
    yaltro::ConsoleToImage(image);
    std::copy_n(image.begin(), usable, buffer);
    return TRUE;
}

// A write runs to its end once started; it stops only when the console stops answering.
BOOL CComm_Yaltro::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length <= 0) return TRUE;
    if (!buffer || !m_port.IsOpen()) return FALSE;
    std::array<std::uint8_t, 256> image{};
    const auto usable = static_cast<std::size_t>(std::min<std::int32_t>(length, 256));
    std::copy_n(buffer, usable, image.begin());
    yaltro::ImageToConsole(image);
    std::string text;
    for (int word : yaltro::WrittenWords()) {
        if (static_cast<std::size_t>(2 * word + 1) >= usable) break;  // not given by the caller
        const auto value = static_cast<std::uint16_t>(image[static_cast<std::size_t>(2 * word)] |
                                                      (image[static_cast<std::size_t>(2 * word + 1)] << 8));
        if (!SendText(yaltro::WriteCommand(word, value)) || !WaitCommandEnd(text, false)) {
            LOG_WARN(kLog, "write word %d on %s: %s", word, m_current.comName.c_str(),
                     m_port.HungUp() ? "the port hung up" : "no prompt after the command");
            return FALSE;
        }
    }
    return TRUE;
}

std::vector<ByteRange> CComm_Yaltro::WritableRanges() const { return yaltro::WrittenByteRanges(); }

std::vector<std::string> CComm_Yaltro::ReachOptions() const {
    // The option asks for the text; the text itself is never printed.
    if (LoginText() != yaltro::kDefaultLogin) return {"--yaltro-password"};
    return {};
}
