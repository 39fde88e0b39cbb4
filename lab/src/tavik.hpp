// The USB mini traffic generators' command protocol ("tavik"): 64-byte
// command reports, byte 0 the command code, little-endian fields. The device
// keeps its EEPROM (the first 256 bytes are the identity image), run name,
// configurations, registers, tasks and logs in the state directory, so they
// persist across lab runs; completed image downloads land there as files.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.hpp"
#include "image_store.hpp"
#include "protocol.hpp"

namespace lab::tavik {

constexpr std::size_t kEepromSize = 4096;  // bytes; reads beyond give 0xFF
constexpr std::size_t kTaskChunk = 58;
constexpr std::size_t kTaskBytes = 3 * kTaskChunk;  // room for the largest task
static_assert(6 + kTaskChunk <= kReportSize, "a task chunk fits one report after its header");
constexpr std::size_t kPiece = 60;
constexpr std::size_t kCounterBytes = 240;

// Command codes.
enum : std::uint8_t {
    kReadReg = 0x01,
    kWriteReg = 0x02,
    kGetTask = 0x05,
    kSetTask = 0x06,
    kFirmware = 0x09,
    kFpga = 0x0A,
    kLogPiece = 0x0B,
    kClearLog = 0x0C,
    kSysInfo1 = 0x0D,
    kSysInfo2 = 0x0F,
    kVessa = 0x10,
    kLogCount = 0x11,
    kEepromRead = 0x12,
    kEepromWrite = 0x13,
    kSetRunName = 0x15,
    kGetRunName = 0x16,
    kGetSysConfig = 0x17,
    kSetSysConfig = 0x18,
    kTaskDone = 0x19,
    kGetMedia = 0x1B,
    kSetMedia = 0x1C,
    kLinkStatus = 0x1D,
    kCounter = 0x1E,
    kClearCounter = 0x1F,
    kTxConfig = 0x22,
    kStartTx = 0x23,
    kStopTx = 0x24,
    kPortProperty = 0x25,
    kEntryConfig = 0x29,
    kWlanCommand = 0x30,
    kWlanLength = 0x31,
    kWlanData = 0x32,
    kSetAttenuation = 0x33,
    kGetAttenuation = 0x34,
    kRgConfig = 0x70,
    kRgStart = 0x71,
    kRgStatus = 0x72,
    kRgStop = 0x73,
    kEnd = 0xFF,
};

bool known_code(std::uint8_t code);

// One image download in progress or last completed.
struct Download {
    std::vector<std::uint8_t> data;
    unsigned chunks = 0;       // data chunks received in this download
    long expected = 0;         // next chunk number expected
    bool in_order = true;
    bool active = false;
};

struct PortState {
    bool transmitting = false;
    std::uint64_t frames = 0;  // grows while transmitting, as counters are read
};

// Everything the device remembers besides the identity image.
struct State {
    std::vector<std::uint8_t> eeprom_high = std::vector<std::uint8_t>(kEepromSize - kImageSize, 0xFF);
    std::array<std::uint8_t, 60> run_name{};
    std::array<std::uint8_t, 22> sys_config{};
    std::array<std::uint8_t, 3> media{};
    std::array<std::uint8_t, 48> tx_config{};
    std::array<std::uint8_t, 14> port_property{};
    std::array<std::uint8_t, 18> entry_config{};
    std::array<std::uint8_t, 16> rg_config{};
    std::uint16_t attenuation = 10;
    std::uint16_t log_count = 3;
    std::map<std::uint16_t, std::uint32_t> registers;
    std::map<std::uint16_t, std::vector<std::uint8_t>> tasks;  // (a << 8 | b) -> kTaskBytes
    std::map<std::uint16_t, unsigned> completed_downloads;     // code -> count
    // Not kept across runs:
    std::map<std::uint8_t, PortState> ports;
    std::vector<std::uint8_t> wlan_message;
    bool rg_running = false;
    std::uint32_t rg_polls = 0;
    std::map<std::uint8_t, Download> downloads;  // by code
};

// What the device is, for its fixed replies.
struct Identity {
    std::string model;   // "Pembrix-Alda"
    std::string serial;
};

// What applying a request did, beyond changing state.
struct Effect {
    bool identity_changed = false;  // EEPROM bytes 0..255
    bool state_changed = false;
    std::uint8_t finished_download = 0;  // code of a download that just completed
    bool chunk = false;                  // a download data chunk (acknowledgement may be withheld)
    bool silent = false;                 // the request never gets a reply
};

// Pure protocol functions over (state, image, request); no I/O.
Effect apply(State& st, Image& image, const Report& req);
std::optional<Report> answer(const State& st, const Image& image, const Identity& id, const Report& req);
// Log n, piece k: 60 bytes.
std::array<std::uint8_t, kPiece> log_piece(const State& st, std::uint16_t log, std::uint8_t piece);
std::vector<std::uint8_t> wlan_message_for(std::span<const std::uint8_t> command);
// EEPROM bytes 32..47 and 52..57 of a new device's image.
void fill_identity(Image& image, const Identity& id);

// State file <name>.tavik (a key file of hex strings).
void load_state(State& st, const std::filesystem::path& file);
bool save_state(const State& st, const std::filesystem::path& file);

std::unique_ptr<Responder> make_responder(const DeviceConfig& cfg, ImageStore& image,
                                          const std::filesystem::path& state_dir);

}  // namespace lab::tavik
