#include "ProgramReport.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>

namespace programreport {

const char* const kHeaderLine =
    "time,host,family,module,old serial,new serial,result,failed step,chunk,backup file,note";

namespace {

std::string Now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm);
    return text;
}

std::string Host() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
    return name;
}

}  // namespace

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string FormatLine(const Line& l, const std::string& time, const std::string& host) {
    const std::string chunk = l.failedChunk < 0 ? std::string()
                                                : std::to_string(l.failedChunk) + " of " + std::to_string(l.chunkCount);
    const std::string fields[] = {time,         host,         l.family,     l.module,  l.oldSerial, l.newSerial,
                                  l.result,     l.failedStep, chunk,        l.backupFile, l.note};
    std::string out;
    for (std::size_t i = 0; i < std::size(fields); ++i) out += (i ? "," : "") + CsvField(fields[i]);
    return out + "\n";
}

Report::~Report() {
    if (m_file) std::fclose(m_file);
}

bool Report::Open(const std::filesystem::path& file, std::string& error) {
    std::FILE* f = std::fopen(file.c_str(), "a");
    if (!f) {
        error = "the report " + file.string() + " cannot be written: " + std::strerror(errno);
        return false;
    }
    // A new (empty) file begins with the column names.
    if (std::ftell(f) == 0 && (std::fprintf(f, "%s\n", kHeaderLine) < 0 || std::fflush(f) != 0)) {
        error = "the report " + file.string() + " cannot be written: " + std::strerror(errno);
        std::fclose(f);
        return false;
    }
    m_file = f;
    m_path = file;
    return true;
}

bool Report::Append(const Line& line, std::string& error) {
    if (!m_file) return true;
    const std::string text = FormatLine(line, Now(), Host());
    if (std::fputs(text.c_str(), m_file) < 0 || std::fflush(m_file) != 0 || fsync(fileno(m_file)) != 0) {
        error = "the report " + m_path.string() + " could not be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace programreport
