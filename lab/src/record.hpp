// The wire record: every request a device receives and every reply it sends,
// one line each, appended to a file that tests read back:
//   <unix seconds.microseconds> <device> <out|in> <byte count> <hex bytes>
// "out" is host to device (the bytes the host wrote, report ID included),
// "in" device to host (the bytes of the reply as sent).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace lab {

// Opens (appends to) the record file; an empty path turns recording off.
// Returns false when the file cannot be opened.
bool open_record(const std::filesystem::path& file);
void record(const std::string& device, bool out, std::span<const std::uint8_t> bytes);

}  // namespace lab
