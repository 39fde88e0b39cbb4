#include "log.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace lab {

namespace {
std::atomic<bool> g_verbose{false};

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
const double g_start = now_s();

void vlog(const char* fmt, va_list ap) {
    char line[1024];
    vsnprintf(line, sizeof line, fmt, ap);
    fprintf(stderr, "brevane-lab [%8.3f]: %s\n", now_s() - g_start, line);
}
}  // namespace

void set_verbose(bool on) { g_verbose = on; }
bool verbose() { return g_verbose; }

void log_event(const char* fmt, ...) {
    if (!g_verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

void log_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

}  // namespace lab
