#include "Log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
LogLevel InitialLevel() {
    // The log level is a developer's aid, so it may come from the environment.
    if (const char* v = std::getenv("BREVANE_LOG")) {
        int n = std::atoi(v);
        if (n >= 1 && n <= 5) return static_cast<LogLevel>(n);
    }
    return LogLevel::Warn;
}
// Read by every thread that logs (the search runs on a worker thread).
std::atomic<LogLevel> g_level{InitialLevel()};
}  // namespace

void SetLogLevel(LogLevel level) { g_level = level; }
LogLevel CurrentLogLevel() { return g_level; }

void LogPrintf(LogLevel level, const char* prefix, const char* fmt, ...) {
    if (level > g_level) return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s\n", prefix, line);
}

void LogFrame(const char* prefix, const char* what, const unsigned char* data, std::size_t length) {
    if (g_level < LogLevel::Spew) return;
    std::string hex;
    char b[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, "%02x", data[i]);
        hex += b;
    }
    std::fprintf(stderr, "%s: %s [%zu] %s\n", prefix, what, length, hex.c_str());
}
