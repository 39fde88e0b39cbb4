#pragma once
#include <cstdarg>
#include <functional>
#include <string>

// Diagnostic log of the core, with a per-component prefix and levels. It goes
// to standard error (never standard output); frame dumps only at Spew.
enum class LogLevel { Error = 1, Warn, Info, Debug, Spew };

void SetLogLevel(LogLevel level);
LogLevel CurrentLogLevel();
void LogPrintf(LogLevel level, const char* prefix, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Hex dump of a frame, printed only at Spew.
void LogFrame(const char* prefix, const char* what, const unsigned char* data, std::size_t length);

#define LOG_ERR(prefix, ...) LogPrintf(LogLevel::Error, prefix, __VA_ARGS__)
#define LOG_WARN(prefix, ...) LogPrintf(LogLevel::Warn, prefix, __VA_ARGS__)
#define LOG_INFO(prefix, ...) LogPrintf(LogLevel::Info, prefix, __VA_ARGS__)
#define LOG_DBG(prefix, ...) LogPrintf(LogLevel::Debug, prefix, __VA_ARGS__)
