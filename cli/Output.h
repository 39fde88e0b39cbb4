#pragma once
// What every command shares in its output: the error report (JSON with
// --json), and the text forms of serial numbers and images.
#include <string>

#include "framework/DeviceInfo.h"

class CliPrompt;

namespace cli {

// Whether this run writes JSON on standard output (--json).
extern bool g_json;
// The run's prompt, for the messages a dialog or a family gave.
extern CliPrompt* g_prompt;

// Reports a failure (JSON on standard output with --json, else a line on
// standard error) and returns code.
int Fail(int code, const std::string& message);

// A serial number as text for the terminal: each byte one character, read as
// Latin-1 (as the JSON output and the window's grid show it), in UTF-8.
std::string Latin1ToUtf8(const std::string& bytes);

// An image as lower-case hex, two digits a byte.
std::string Hex(const IdentityImage& image);

}  // namespace cli
