#include "SerialSequence.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Shell.h"

namespace serialseq {
namespace {

constexpr const char* kHeader = "brevane serial sequence 1";
constexpr std::size_t kMaxWidth = 18;  // 10^18 - 1 still fits 64 bits

std::uint64_t Power10(std::size_t n) {
    std::uint64_t p = 1;
    for (std::size_t i = 0; i < n; ++i) p *= 10;
    return p;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
    return name;
}

std::string Me() { return std::to_string(getpid()) + "@" + HostName(); }

// Whether `serial` is one of the sequence's serials already counted out.
bool BelongsTo(const State& s, const std::string& serial) {
    std::string error;
    const auto c = ParseCounter(serial, error);
    return c && c->prefix == s.start.prefix && c->width == s.start.width && c->value >= s.start.value &&
           c->value - s.start.value < s.taken;
}

bool Used(const State& s, const std::string& serial) {
    return s.given.count(serial) || s.failed.count(serial) || s.held.count(serial);
}

// Takes the next serial from `s` (changing it); see Sequence::Take.
Sequence::Taken TakeFrom(State& s, const std::set<std::string>& inUse, const std::string& holder,
                         const std::string& name) {
    Sequence::Taken t;
    for (auto it = s.returned.begin(); it != s.returned.end(); ++it) {
        if (inUse.count(*it)) {
            t.skipped.push_back(*it);
            continue;
        }
        t.serial = *it;
        s.held[*it] = holder;
        s.returned.erase(it);
        return t;
    }
    const std::uint64_t left = SerialsLeft(s.start);
    while (s.taken < left) {
        const std::string serial = SerialText(s.start, s.start.value + s.taken);
        ++s.taken;
        if (Used(s, serial) || inUse.count(serial)) {
            t.skipped.push_back(serial);
            continue;
        }
        t.serial = serial;
        s.held[serial] = holder;
        return t;
    }
    t.error = (name.empty() ? std::string("the sequence") : "sequence " + name) + " has no serial left: " +
              SerialText(s.start, s.start.value + left - 1) + " is the last of its " +
              std::to_string(s.start.width) + " digits";
    return t;
}

// flock on NAME.lock; while held it names its holder, and it is emptied
// before it is let go. A lock file that still names someone when the lock is
// had is the trace of a program that ended while changing the sequence.
class FileLock {
public:
    ~FileLock() {
        if (m_fd < 0) return;
        if (m_mine && ftruncate(m_fd, 0) != 0) { /* the next taker will say it is stale */ }
        flock(m_fd, LOCK_UN);
        close(m_fd);
    }

    bool Acquire(const std::filesystem::path& file, int waitMs, std::string& error) {
        m_fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            error = "cannot open the lock " + file.string() + ": " + std::strerror(errno);
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error = "cannot lock " + file.string() + ": " + std::strerror(errno);
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                const std::string who = Holder();
                error = file.filename().string() + " stays locked" +
                        (who.empty() ? std::string() : " by " + who) + " (waited " +
                        std::to_string(waitMs / 1000.0).substr(0, 4) + " s)";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (const std::string left = Holder(); !left.empty()) {
            error = "stale lock: " + file.string() + " was left by " + left + ", which " + Fate(left) +
                    " and ended while changing the sequence; check the sequence file, then remove the lock file";
            return false;
        }
        const std::string me = Me() + "\n";
        m_mine = true;
        if (write(m_fd, me.data(), me.size()) != static_cast<ssize_t>(me.size())) {
            error = "cannot write the lock " + file.string() + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

private:
    // "process 123 on host" from the lock file's text; empty when it names nobody.
    std::string Holder() const {
        char text[300] = {};
        const ssize_t n = pread(m_fd, text, sizeof text - 1, 0);
        if (n <= 0) return {};
        std::string s(text, static_cast<std::size_t>(n));
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        if (s.empty()) return {};
        const auto at = s.find('@');
        if (at == std::string::npos) return "\"" + s + "\"";
        return "process " + s.substr(0, at) + " on " + s.substr(at + 1);
    }
    static std::string Fate(const std::string& holder) {
        // holder: "process PID on HOST"
        std::istringstream in(holder);
        std::string word, host;
        long pid = 0;
        if (!(in >> word >> pid >> word >> host) || pid <= 0) return "no longer holds it";
        if (host != HostName()) return "no longer holds it";
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return "is gone";
        return "no longer holds it";
    }

    int m_fd = -1;
    bool m_mine = false;
};

bool ReadText(const std::filesystem::path& file, std::string& text, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file.string();
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

bool WriteText(const std::filesystem::path& file, const std::string& text, std::string& error) {
    const std::filesystem::path temp = file.string() + ".new";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temp.string() + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
        error = "cannot write " + file.string() + ": " + std::strerror(ok ? errno : saved);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

std::filesystem::path LockFileOf(const std::filesystem::path& file) { return file.string() + ".lock"; }

}  // namespace

std::optional<Counter> ParseCounter(const std::string& text, std::string& error) {
    std::size_t digits = 0;
    while (digits < text.size() && text[text.size() - 1 - digits] >= '0' && text[text.size() - 1 - digits] <= '9')
        ++digits;
    if (digits == 0) {
        error = "\"" + text + "\" does not end in decimal digits to count with";
        return std::nullopt;
    }
    if (digits > kMaxWidth) {
        error = "\"" + text + "\" ends in " + std::to_string(digits) + " digits; at most " +
                std::to_string(kMaxWidth) + " can be counted";
        return std::nullopt;
    }
    Counter c;
    c.width = digits;
    c.prefix = text.substr(0, text.size() - digits);
    c.value = std::stoull(text.substr(text.size() - digits));
    return c;
}

std::string SerialText(const Counter& start, std::uint64_t value) {
    std::string digits = std::to_string(value);
    if (digits.size() < start.width) digits.insert(0, start.width - digits.size(), '0');
    return start.prefix + digits;
}

std::uint64_t SerialsLeft(const Counter& start) { return Power10(start.width) - start.value; }

std::string NameProblem(const std::string& name) {
    if (name.empty() || name.size() > 64) return "a sequence name has 1 to 64 characters";
    if (name[0] == '.') return "a sequence name does not begin with '.'";
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
            return "a sequence name is made of letters, digits, '.', '-' and '_' (\"" + name + "\")";
    return {};
}

std::filesystem::path DefaultDirectory() { return platform::UserDataDirectory() / "sequences"; }

std::string FormatState(const State& s) {
    std::string out = std::string(kHeader) + "\n";
    out += "start " + SerialText(s.start, s.start.value) + "\n";
    out += "taken " + std::to_string(s.taken) + "\n";
    for (const auto& g : s.given) out += "given " + g + "\n";
    for (const auto& f : s.failed) out += "failed " + f + "\n";
    for (const auto& r : s.returned) out += "returned " + r + "\n";
    for (const auto& [serial, holder] : s.held) out += "held " + serial + " " + holder + "\n";
    return out;
}

std::optional<State> ParseState(const std::string& text, std::string& error) {
    std::istringstream in(text);
    std::string line;
    State s;
    bool haveStart = false, haveTaken = false;
    int number = 0;
    auto bad = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++number;
        if (number == 1) {
            if (line != kHeader) return bad("not a serial sequence file (\"" + std::string(kHeader) + "\" expected)");
            continue;
        }
        std::istringstream fields(line);
        std::string key, value, extra, more;
        fields >> key >> value;
        if (key.empty()) return bad("empty line");
        if (key == "held") fields >> extra;
        if (fields >> more) return bad("more than expected in \"" + line + "\"");
        if (value.empty()) return bad("\"" + key + "\" without its value");
        if (key == "start") {
            if (haveStart) return bad("a second start");
            const auto c = ParseCounter(value, error);
            if (!c) return bad(error);
            s.start = *c;
            haveStart = true;
            continue;
        }
        if (key == "taken") {
            if (!haveStart || haveTaken) return bad("\"taken\" out of place");
            if (value.size() > 19 || value.find_first_not_of("0123456789") != std::string::npos)
                return bad("\"" + value + "\" is not a count");
            s.taken = std::stoull(value);
            if (s.taken > SerialsLeft(s.start)) return bad("more taken than the width holds");
            haveTaken = true;
            continue;
        }
        if (!haveTaken) return bad("\"" + key + "\" before start and taken");
        if (!BelongsTo(s, value)) return bad("\"" + value + "\" is not a serial taken from this sequence");
        if (Used(s, value) || s.returned.count(value)) return bad("\"" + value + "\" is listed twice");
        if (key == "given")
            s.given.insert(value);
        else if (key == "failed")
            s.failed.insert(value);
        else if (key == "returned")
            s.returned.insert(value);
        else if (key == "held") {
            if (extra.empty()) return bad("held without its holder");
            s.held[value] = extra;
        } else
            return bad("unknown entry \"" + key + "\"");
    }
    if (number == 0) {
        error = "the file is empty";
        return std::nullopt;
    }
    if (!haveTaken) {
        error = "no start and taken lines";
        return std::nullopt;
    }
    return s;
}

std::optional<Sequence> Sequence::InMemory(const std::string& startText, std::string& error) {
    const auto c = ParseCounter(startText, error);
    if (!c) return std::nullopt;
    Sequence seq;
    seq.m_memory.start = *c;
    return seq;
}

bool Sequence::Update(const std::function<bool(State&)>& change, std::string& error) const {
    if (m_file.empty()) return change(m_memory);
    FileLock lock;
    if (!lock.Acquire(LockFileOf(m_file), m_lockWaitMs, error)) {
        error = "sequence " + m_name + ": " + error;
        return false;
    }
    std::string text;
    if (!ReadText(m_file, text, error)) return false;
    auto state = ParseState(text, error);
    if (!state) {
        error = "sequence " + m_name + ": " + m_file.string() + " is corrupt (" + error + ")";
        return false;
    }
    if (!change(*state)) return false;
    return WriteText(m_file, FormatState(*state), error);
}

std::optional<Sequence> Sequence::Open(const std::string& name, const std::optional<std::string>& startText,
                                       std::string& error, const std::filesystem::path& dir) {
    if (const auto problem = NameProblem(name); !problem.empty()) {
        error = problem;
        return std::nullopt;
    }
    std::optional<Counter> start;
    if (startText && !(start = ParseCounter(*startText, error))) return std::nullopt;
    Sequence seq;
    seq.m_name = name;
    seq.m_file = dir / name;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    FileLock lock;
    if (!lock.Acquire(LockFileOf(seq.m_file), seq.m_lockWaitMs, error)) {
        error = "sequence " + name + ": " + error;
        return std::nullopt;
    }
    if (!std::filesystem::exists(seq.m_file, ec)) {
        if (!start) {
            error = "there is no sequence " + name + " (" + seq.m_file.string() +
                    "); start one with --serial-from TEXT";
            return std::nullopt;
        }
        State s;
        s.start = *start;
        if (!WriteText(seq.m_file, FormatState(s), error)) return std::nullopt;
        return seq;
    }
    std::string text;
    if (!ReadText(seq.m_file, text, error)) return std::nullopt;
    const auto state = ParseState(text, error);
    if (!state) {
        error = "sequence " + name + ": " + seq.m_file.string() + " is corrupt (" + error + ")";
        return std::nullopt;
    }
    if (startText && SerialText(state->start, state->start.value) != *startText) {
        error = "sequence " + name + " exists and starts at " + SerialText(state->start, state->start.value) +
                ", not " + *startText + "; leave out --serial-from to go on with it";
        return std::nullopt;
    }
    return seq;
}

Sequence::Taken Sequence::Take(const std::set<std::string>& inUse) {
    Taken t;
    std::string error;
    const std::string holder = Me();
    const bool ok = Update(
        [&](State& s) {
            t = TakeFrom(s, inUse, holder, m_name);
            return true;  // skipped serials are passed over for good
        },
        error);
    if (!ok) {
        t.serial.reset();
        t.error = error;
    }
    return t;
}

std::vector<Sequence::Taken> Sequence::Preview(std::size_t count, const std::set<std::string>& inUse,
                                               std::string& error) const {
    std::vector<Taken> plan;
    auto state = Current(error);
    if (!state) return plan;
    for (std::size_t i = 0; i < count; ++i) {
        plan.push_back(TakeFrom(*state, inUse, "preview", m_name));
        if (!plan.back().serial) break;
    }
    return plan;
}

bool Sequence::Settle(const std::string& serial, Outcome outcome, std::string& error) {
    const std::string holder = Me();
    return Update(
        [&](State& s) {
            const auto it = s.held.find(serial);
            if (it == s.held.end() || it->second != holder) {
                error = serial + " is not held by this program";
                return false;
            }
            s.held.erase(it);
            if (outcome == Outcome::Verified)
                s.given.insert(serial);
            else if (outcome == Outcome::Failed)
                s.failed.insert(serial);
            else
                s.returned.insert(serial);
            return true;
        },
        error);
}

std::optional<State> Sequence::Current(std::string& error) const {
    if (m_file.empty()) return m_memory;
    std::optional<State> state;
    // The lock is taken to see a stale one too; the copy is not stored.
    const bool ok = Update(
        [&](State& s) {
            state = s;
            return false;
        },
        error);
    if (!ok && !state) return std::nullopt;
    return state;
}

}  // namespace serialseq
