// The tavik command groups as the dispatch in tavik.cpp sees them, and the
// few helpers more than one file uses. Each group has two entry points:
//   apply_<group>: carries out the request's change of state; false when the
//                  request is not one of the group's commands that change state.
//   answer_<group>: fills the reply (byte 0 already set); false when the
//                   request is not one of the group's commands.
// Every command code belongs to exactly one group.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "tavik.hpp"

namespace lab::tavik {

// Identity and EEPROM (tavik_identity.cpp): system information, EEPROM read and write.
bool apply_identity(State& st, Image& image, const Report& req, Effect& e);
bool answer_identity(const State& st, const Image& image, const Identity& id, const Report& req, Report& r);

// Traffic ports (tavik_traffic.cpp): link status, counters, transmission,
// transmit, port and entry records, media bytes.
bool apply_traffic(State& st, const Report& req, Effect& e);
bool answer_traffic(const State& st, const Report& req, Report& r);

// Device settings (tavik_settings.cpp): registers, system configuration,
// attenuation, WLAN messages.
bool apply_settings(State& st, const Report& req, Effect& e);
bool answer_settings(const State& st, const Report& req, Report& r);

// Test runs (tavik_runs.cpp): run name, tasks, logs and their clearing, RG test.
bool apply_runs(State& st, const Report& req, Effect& e);
bool answer_runs(const State& st, const Report& req, Report& r);

// Image downloads (tavik_downloads.cpp): firmware, FPGA and pad data.
bool apply_downloads(State& st, const Report& req, Effect& e);
bool answer_downloads(const Report& req, Report& r);
// The request that closes a firmware or FPGA download: byte 1 = 0, 2-63 = 0xFF.
bool download_closing(const Report& req);
// "firmware", "fpga" or "vessa": a download's name in the state and image files.
const char* download_name(std::uint8_t code);

// Writes a file in place (tavik_state_file.cpp); false, logged, on failure.
bool write_file(const std::filesystem::path& file, std::span<const std::uint8_t> data);

}  // namespace lab::tavik
