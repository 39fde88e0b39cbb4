#pragma once
#include <cstdio>
#include <filesystem>
#include <string>

// The CSV report of production programming: one line per module written (or
// refused), appended and flushed to disk as soon as that module is done, so
// a crash loses nothing already done. The first line of a new file names the
// columns.
namespace programreport {

struct Line {
    std::string family;
    std::string module;      // "module 2"
    std::string oldSerial;
    std::string newSerial;
    std::string result;      // "programmed", "failed", "skipped"
    std::string failedStep;  // empty unless failed
    int failedChunk = -1;    // -1: not known
    int chunkCount = 0;
    std::string backupFile;
    std::string note;        // what was skipped or why it failed
};

// One CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text);
// The line as written: time, host, family, module, old serial, new serial,
// result, failed step, chunk ("2 of 5"), backup file, note.
std::string FormatLine(const Line& line, const std::string& time, const std::string& host);
extern const char* const kHeaderLine;

class Report {
public:
    Report() = default;
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Opens (creates) the file for appending; false and why when it cannot
    // be written. Called before the first write of a run.
    bool Open(const std::filesystem::path& file, std::string& error);
    bool IsOpen() const { return m_file != nullptr; }
    // Appends the line with the current time and host, flushed and synced.
    bool Append(const Line& line, std::string& error);
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::FILE* m_file = nullptr;
    std::filesystem::path m_path;
};

}  // namespace programreport
