// Lab event log: written to stderr only when BREVANE_LAB_VERBOSE=1.
#pragma once

namespace lab {

void set_verbose(bool on);
bool verbose();
void log_event(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace lab
