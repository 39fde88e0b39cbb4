#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Serial numbers handed out one after another for production programming: a
// start text whose trailing decimal digits are the counter ("TK1A000100",
// "TK1A000101", ...; the width is kept, running past the last number of that
// width is refused, never wrapped).
//
// A named sequence lives in a file of its own (<per-user data dir>/brevane/
// sequences/NAME) so that later runs and other programs go on from where it
// stands. Taking a serial and settling it happen under a lock on NAME.lock,
// so two programs sharing one sequence never get the same serial. A serial
// counts as given only once its write was verified: while it is being
// written it is held (with the program's pid); a write that never began
// returns it (it is handed out again first); a write that began and did not
// verify leaves it failed (the module may hold part of it, so it is never
// handed out again by itself).
namespace serialseq {

// A start text split into its fixed part and its counter.
struct Counter {
    std::string prefix;
    std::uint64_t value = 0;
    std::size_t width = 0;  // number of digits, kept for every serial
};

// The text's trailing digits are the counter; nullopt and the reason when it
// has none, or more than 18.
std::optional<Counter> ParseCounter(const std::string& text, std::string& error);
// The serial of counter value `value` (zero-padded to the width).
std::string SerialText(const Counter& start, std::uint64_t value);
// How many serials there are from `start` on, its own included, before the
// width runs out ("TK98" to "TK99": 2).
std::uint64_t SerialsLeft(const Counter& start);

// What a sequence file holds.
struct State {
    Counter start;
    std::uint64_t taken = 0;              // start + taken is the next new serial
    std::set<std::string> given;          // written and verified
    std::set<std::string> failed;         // their write began and did not verify
    std::set<std::string> returned;       // taken, but their write never began
    std::map<std::string, std::string> held;  // being written now: serial -> "pid@host"
};

// The file text and back; a text that is not a sequence file (or one whose
// serials do not belong to its start) gives nullopt and the line at fault.
std::optional<State> ParseState(const std::string& text, std::string& error);
std::string FormatState(const State& state);

// Sequence names: letters, digits, '.', '-', '_', 1 to 64 characters, not
// beginning with '.'. Empty when `name` is one, else why not.
std::string NameProblem(const std::string& name);
// <per-user data dir>/brevane/sequences
std::filesystem::path DefaultDirectory();

// What settling a taken serial says about its write.
enum class Outcome {
    Verified,     // written, read back and compared: given
    NotWritten,   // the write never began (refused, module not reached): handed out again
    Failed,       // the write began and did not verify: never handed out again by itself
};

class Sequence {
public:
    // A sequence kept in memory only, from `startText` on (brevane-cli program --serial-from).
    static std::optional<Sequence> InMemory(const std::string& startText, std::string& error);
    // The named sequence in `dir`. With `startText` a sequence that does not
    // exist yet is created from it (refused when one of that name exists
    // with another start); without, it must exist. A corrupt file or a lock
    // left by a program that is gone gives nullopt and says so.
    static std::optional<Sequence> Open(const std::string& name, const std::optional<std::string>& startText,
                                        std::string& error, const std::filesystem::path& dir = DefaultDirectory());

    struct Taken {
        std::optional<std::string> serial;  // nullopt: none left (error says why)
        std::vector<std::string> skipped;   // passed over: given, failed, held, or in `inUse`
        std::string error;
    };
    // Takes the next serial that is not given, failed or held, and not in
    // `inUse` (the serials the modules of the search hold), and holds it for
    // this program. Returned serials come first, in order.
    Taken Take(const std::set<std::string>& inUse);
    // The serials Take would give for `count` modules, without taking them.
    std::vector<Taken> Preview(std::size_t count, const std::set<std::string>& inUse, std::string& error) const;
    // Settles a serial this program took.
    bool Settle(const std::string& serial, Outcome outcome, std::string& error);

    // The state as it stands (read again from the file for a named sequence).
    std::optional<State> Current(std::string& error) const;
    const std::string& Name() const { return m_name; }  // empty for one in memory
    const std::filesystem::path& File() const { return m_file; }
    // How long Take and Settle wait for another program's lock.
    void SetLockWait(int milliseconds) { m_lockWaitMs = milliseconds; }

private:
    Sequence() = default;
    // Runs `change` on the state under the lock and stores it when it says so.
    bool Update(const std::function<bool(State&)>& change, std::string& error) const;

    std::string m_name;
    std::filesystem::path m_file;
    mutable State m_memory;  // the state of a sequence in memory
    int m_lockWaitMs = 10000;
};

}  // namespace serialseq
