#include "tavik.hpp"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "log.hpp"

namespace lab::tavik {

namespace {

std::uint16_t u16(const Report& r, std::size_t at) { return static_cast<std::uint16_t>(r[at] | (r[at + 1] << 8)); }
std::uint32_t u32(const Report& r, std::size_t at) {
    return static_cast<std::uint32_t>(r[at]) | (static_cast<std::uint32_t>(r[at + 1]) << 8) |
           (static_cast<std::uint32_t>(r[at + 2]) << 16) | (static_cast<std::uint32_t>(r[at + 3]) << 24);
}
void put16(Report& r, std::size_t at, std::uint16_t v) {
    r[at] = static_cast<std::uint8_t>(v);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Report& r, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_text(Report& r, std::size_t at, std::size_t len, std::string_view text) {
    for (std::size_t i = 0; i < len; ++i) r[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}
void copy_bytes(Report& r, const Report& req, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i <= to; ++i) r[i] = req[i];
}
template <std::size_t N>
bool take(std::array<std::uint8_t, N>& field, const Report& req, std::size_t from) {
    bool changed = false;
    for (std::size_t i = 0; i < N; ++i) {
        changed = changed || field[i] != req[from + i];
        field[i] = req[from + i];
    }
    return changed;
}

std::uint8_t eeprom_byte(const State& st, const Image& image, std::size_t at) {
    if (at < kImageSize) return image[at];
    if (at < kEepromSize) return st.eeprom_high[at - kImageSize];
    return 0xFF;
}

std::uint32_t register_value(const State& st, std::uint16_t addr) {
    auto it = st.registers.find(addr);
    return it != st.registers.end() ? it->second : 0x5A5A0000u | addr;
}

std::vector<std::uint8_t> task_bytes(const State& st, std::uint8_t a, std::uint8_t b) {
    auto it = st.tasks.find(static_cast<std::uint16_t>(a << 8 | b));
    if (it != st.tasks.end()) return it->second;
    // A task never stored: selector b first (it is part of the stored bytes), then a pattern.
    std::vector<std::uint8_t> t(kTaskBytes);
    t[0] = b;
    for (std::size_t i = 1; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(a * 7 + b * 13 + i);
    return t;
}

bool download_closing(const Report& req) {
    if (req[1] != 0) return false;
    for (std::size_t i = 2; i < kReportSize; ++i)
        if (req[i] != 0xFF) return false;
    return true;
}

const char* download_name(std::uint8_t code) {
    return code == kFirmware ? "firmware" : code == kFpga ? "fpga" : "vessa";
}

std::uint8_t counter_port(const Report& req) { return req[3]; }

std::array<std::uint8_t, kCounterBytes> counters(const State& st, std::uint8_t port) {
    std::array<std::uint8_t, kCounterBytes> c{};
    auto it = st.ports.find(port);
    const std::uint64_t frames = it == st.ports.end() ? 0 : it->second.frames;
    for (std::size_t j = 0; j < kCounterBytes / 8; ++j) {
        const std::uint64_t v = frames * (j + 1);
        for (std::size_t b = 0; b < 8; ++b) c[j * 8 + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return c;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

bool unhex(const std::string& s, std::vector<std::uint8_t>& out) {
    if (s.size() % 2) return false;
    out.clear();
    for (std::size_t i = 0; i < s.size(); i += 2) {
        auto nib = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int h = nib(s[i]), l = nib(s[i + 1]);
        if (h < 0 || l < 0) return false;
        out.push_back(static_cast<std::uint8_t>(h << 4 | l));
    }
    return true;
}

// Overwritten in place, then cut to length: no rename and no truncation to
// zero, which make the file system flush the data as a sync would. The lab
// keeps state across runs, not across power cuts.
bool write_file(const std::filesystem::path& file, std::span<const std::uint8_t> data) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_error("%s: %s", file.c_str(), std::strerror(errno));
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    const bool ok = done == data.size() && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0;
    if (!ok) log_error("%s: %s", file.c_str(), std::strerror(errno));
    ::close(fd);
    return ok;
}

}  // namespace

bool known_code(std::uint8_t code) {
    switch (code) {
    case kReadReg: case kWriteReg: case kGetTask: case kSetTask: case kFirmware: case kFpga: case kLogPiece:
    case kClearLog: case kSysInfo1: case kSysInfo2: case kVessa: case kLogCount: case kEepromRead:
    case kEepromWrite: case kSetRunName: case kGetRunName: case kGetSysConfig: case kSetSysConfig: case kTaskDone:
    case kGetMedia: case kSetMedia: case kLinkStatus: case kCounter: case kClearCounter: case kTxConfig:
    case kStartTx: case kStopTx: case kPortProperty: case kEntryConfig: case kWlanCommand: case kWlanLength:
    case kWlanData: case kSetAttenuation: case kGetAttenuation: case kRgConfig: case kRgStart: case kRgStatus:
    case kRgStop: case kEnd:
        return true;
    default:
        return false;
    }
}

std::array<std::uint8_t, kPiece> log_piece(const State& st, std::uint16_t log, std::uint8_t piece) {
    std::array<std::uint8_t, kPiece> out;
    out.fill(0xFF);
    if (log >= st.log_count) return out;
    for (std::size_t j = 0; j < kPiece; ++j) {
        const std::size_t p = piece * kPiece + j;  // byte position in the log
        out[j] = static_cast<std::uint8_t>(log * 37 + p * 3 + (p >> 8));
    }
    return out;
}

std::vector<std::uint8_t> wlan_message_for(std::span<const std::uint8_t> command) {
    std::string text = "WLAN reply to '";
    for (std::uint8_t c : command) {
        if (c == 0) break;
        text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    text += "': status=0 rssi=-42dBm channel=6 ssid=brevane-lab";
    return {text.begin(), text.end()};
}

void fill_identity(Image& image, const Identity& id) {
    // 32..47: model text; 52..57: the board number, 48-bit big-endian, from the serial's digits.
    for (std::size_t i = 0; i < 16; ++i) image[32 + i] = i < id.model.size() ? static_cast<std::uint8_t>(id.model[i]) : 0;
    std::uint64_t n = 0;
    for (char c : id.serial)
        if (c >= '0' && c <= '9') n = (n * 10 + static_cast<std::uint64_t>(c - '0')) % (1ull << 48);
    for (std::size_t i = 0; i < 6; ++i) image[52 + i] = static_cast<std::uint8_t>(n >> (8 * (5 - i)));
}

Effect apply(State& st, Image& image, const Report& req) {
    Effect e;
    switch (req[0]) {
    case kWriteReg:
        st.registers[u16(req, 2)] = u32(req, 4);
        e.state_changed = true;
        break;
    case kSetTask: {
        const std::uint16_t chunk = u16(req, 2);
        if (chunk >= kTaskBytes / kTaskChunk) break;
        const auto key = static_cast<std::uint16_t>(req[4] << 8 | req[5]);
        std::vector<std::uint8_t> t = task_bytes(st, req[4], req[5]);
        if (chunk == 0) std::fill(t.begin(), t.end(), 0);
        // One chunk of task bytes follows the header, whatever the frame size.
        std::copy_n(req.begin() + 6, kTaskChunk, t.begin() + static_cast<long>(chunk * kTaskChunk));
        st.tasks[key] = std::move(t);
        e.state_changed = true;
        break;
    }
    case kFirmware:
    case kFpga: {
        Download& d = st.downloads[req[0]];
        if (download_closing(req)) {
            e.silent = true;
            if (d.active) {
                d.active = false;
                e.finished_download = req[0];
                ++st.completed_downloads[req[0]];
                e.state_changed = true;
            }
            break;
        }
        const std::uint16_t i = u16(req, 2);
        const std::size_t len = std::min<std::size_t>(req[1], kPiece);
        if (i == 0) d = Download{};
        d.active = true;
        if (i != d.expected) d.in_order = false;
        d.expected = i + 1;
        ++d.chunks;
        if (d.data.size() < i * kPiece + len) d.data.resize(i * kPiece + len);
        std::copy_n(req.begin() + 4, len, d.data.begin() + static_cast<long>(i * kPiece));
        e.chunk = true;
        break;
    }
    case kVessa: {
        Download& d = st.downloads[kVessa];
        const unsigned n = static_cast<unsigned>(req[1] << 8 | req[2]);  // big-endian
        const std::size_t len = std::min<std::size_t>(req[3], kPiece);
        if (n == 0) {  // start request: the first data bytes, sent again as chunk 1
            d = Download{};
            d.active = true;
            d.expected = 1;
            break;
        }
        const std::size_t at = n == 0xFFFF ? d.chunks * kPiece : (n - 1) * kPiece;
        if (n != 0xFFFF && static_cast<long>(n) != d.expected) d.in_order = false;
        d.expected = static_cast<long>(n) + 1;
        ++d.chunks;
        if (d.data.size() < at + len) d.data.resize(at + len);
        std::copy_n(req.begin() + 4, len, d.data.begin() + static_cast<long>(at));
        e.chunk = true;
        if (n == 0xFFFF && d.active) {
            d.active = false;
            e.finished_download = kVessa;
            ++st.completed_downloads[kVessa];
            e.state_changed = true;
        }
        break;
    }
    case kClearLog:
        st.log_count = 0;
        e.state_changed = true;
        break;
    case kEepromWrite: {
        const std::size_t at = static_cast<std::size_t>(u16(req, 2)) * 2;
        const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(u16(req, 4)) * 2, 58);
        for (std::size_t i = 0; i < len && at + i < kEepromSize; ++i) {
            std::uint8_t& cell = at + i < kImageSize ? image[at + i] : st.eeprom_high[at + i - kImageSize];
            if (cell == req[6 + i]) continue;
            cell = req[6 + i];
            (at + i < kImageSize ? e.identity_changed : e.state_changed) = true;
        }
        break;
    }
    case kSetRunName:
        e.state_changed = take(st.run_name, req, 2);
        break;
    case kSetSysConfig:
        e.state_changed = take(st.sys_config, req, 2);
        break;
    case kSetMedia:
        e.state_changed = take(st.media, req, 2);
        break;
    case kCounter:
        if (req[2] == 0) {
            PortState& p = st.ports[counter_port(req)];
            if (p.transmitting) p.frames += 1000;
        }
        break;
    case kClearCounter:
        st.ports[static_cast<std::uint8_t>(u16(req, 2))].frames = 0;
        break;
    case kTxConfig:
        e.state_changed = take(st.tx_config, req, 2);
        break;
    case kStartTx:
    case kStopTx:
        st.ports[static_cast<std::uint8_t>(u16(req, 2))].transmitting = req[0] == kStartTx;
        break;
    case kPortProperty:
        e.state_changed = take(st.port_property, req, 2);
        break;
    case kEntryConfig:
        e.state_changed = take(st.entry_config, req, 2);
        break;
    case kWlanCommand:
        st.wlan_message = wlan_message_for(std::span(req).subspan(2));
        break;
    case kSetAttenuation:
        e.state_changed = st.attenuation != u16(req, 2);
        st.attenuation = u16(req, 2);
        break;
    case kRgConfig:
        e.state_changed = take(st.rg_config, req, 2);
        break;
    case kRgStart:
        st.rg_running = true;
        st.rg_polls = 0;
        break;
    case kRgStatus:
        if (st.rg_running) ++st.rg_polls;
        break;
    case kRgStop:
        st.rg_running = false;
        break;
    case kEnd:
        e.silent = true;  // the closing request after log clearing
        break;
    default:
        break;
    }
    return e;
}

std::optional<Report> answer(const State& st, const Image& image, const Identity& id, const Report& req) {
    const std::uint8_t code = req[0];
    if (!known_code(code) || code == kEnd) return std::nullopt;
    if ((code == kFirmware || code == kFpga) && download_closing(req)) return std::nullopt;
    Report r{};
    r[0] = code;
    switch (code) {
    case kReadReg:
        copy_bytes(r, req, 2, 3);
        put32(r, 4, register_value(st, u16(req, 2)));
        break;
    case kWriteReg:
        copy_bytes(r, req, 2, 7);
        break;
    case kGetTask: {
        copy_bytes(r, req, 2, 5);
        const std::uint16_t k = u16(req, 2);
        if (k < kTaskBytes / kTaskChunk) {
            const auto t = task_bytes(st, req[4], req[5]);
            std::copy_n(t.begin() + static_cast<long>(k * kTaskChunk), kTaskChunk, r.begin() + 6);
        }
        break;
    }
    case kSetTask:
        copy_bytes(r, req, 2, 5);
        break;
    case kFirmware:
    case kFpga:
    case kVessa:
        copy_bytes(r, req, 1, 3);
        break;
    case kLogPiece: {
        copy_bytes(r, req, 1, 3);
        const auto piece = log_piece(st, u16(req, 2), req[1]);
        std::copy(piece.begin(), piece.end(), r.begin() + 4);
        break;
    }
    case kClearLog:
        break;
    case kSysInfo1: {
        put_text(r, 2, 14, "FW 3.12.0");
        put_text(r, 16, 20, id.model);
        // 36..41: a locally administered MAC address from the serial.
        std::uint32_t h = 2166136261u;
        for (char c : id.serial) h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
        const std::uint8_t mac[6] = {0x02, 0x51, static_cast<std::uint8_t>(h >> 24), static_cast<std::uint8_t>(h >> 16),
                                     static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h)};
        std::copy(mac, mac + 6, r.begin() + 36);
        r[51] = 24;  // manufacturing date 2024-05-17
        r[52] = 5;
        r[53] = 17;
        put32(r, 54, 1234);  // operating hours
        break;
    }
    case kSysInfo2:
        put_text(r, 2, 9, "HW 1.4");
        put_text(r, 11, 9, "FPGA 2.07");
        put_text(r, 20, 9, "BOOT 1.02");
        put_text(r, 29, 7, "PAD 1.0");
        put_text(r, 36, 9, "WLAN 4.1");
        put_text(r, 45, 9, "RG 1.3");
        put_text(r, 54, 8, "REV C");
        break;
    case kLogCount:
        put16(r, 2, st.log_count);
        break;
    case kEepromRead: {
        copy_bytes(r, req, 2, 5);
        const std::size_t at = static_cast<std::size_t>(u16(req, 2)) * 2;
        const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(u16(req, 4)) * 2, 58);
        for (std::size_t i = 0; i < len; ++i) r[6 + i] = eeprom_byte(st, image, at + i);
        break;
    }
    case kEepromWrite:
        copy_bytes(r, req, 2, 63);
        break;
    case kSetRunName:
        copy_bytes(r, req, 2, 61);
        break;
    case kGetRunName:
        std::copy(st.run_name.begin(), st.run_name.end(), r.begin() + 2);
        break;
    case kGetSysConfig:
        std::copy(st.sys_config.begin(), st.sys_config.end(), r.begin() + 2);
        break;
    case kSetSysConfig:
        copy_bytes(r, req, 2, 23);
        break;
    case kTaskDone:
        break;
    case kGetMedia:
        r[1] = 0x01;
        std::copy(st.media.begin(), st.media.end(), r.begin() + 2);
        for (std::size_t i = 5; i < kReportSize; ++i) r[i] = static_cast<std::uint8_t>(i ^ 0x5A);
        break;
    case kSetMedia:
        copy_bytes(r, req, 2, 4);
        break;
    case kLinkStatus: {
        std::uint32_t v = 0x0000000F;  // links of ports 0..3 up
        for (const auto& [port, ps] : st.ports)
            if (ps.transmitting && port < 24) v |= 1u << (8 + port);
        put32(r, 2, v);
        break;
    }
    case kCounter: {
        copy_bytes(r, req, 2, 3);
        if (req[2] < 4) {
            const auto c = counters(st, counter_port(req));
            std::copy_n(c.begin() + req[2] * kPiece, kPiece, r.begin() + 4);
        }
        break;
    }
    case kClearCounter:
    case kStartTx:
    case kStopTx:
        copy_bytes(r, req, 2, 3);
        break;
    case kTxConfig:
        copy_bytes(r, req, 2, 49);
        break;
    case kPortProperty:
        copy_bytes(r, req, 2, 15);
        break;
    case kEntryConfig:
        copy_bytes(r, req, 2, 19);
        break;
    case kWlanCommand:
    case kWlanLength:
        put16(r, 2, static_cast<std::uint16_t>(st.wlan_message.size()));
        break;
    case kWlanData: {
        copy_bytes(r, req, 2, 3);
        const std::size_t at = static_cast<std::size_t>(u16(req, 2)) * kPiece;
        for (std::size_t i = 0; i < kPiece && at + i < st.wlan_message.size(); ++i) r[4 + i] = st.wlan_message[at + i];
        break;
    }
    case kSetAttenuation:
        copy_bytes(r, req, 2, 3);
        break;
    case kGetAttenuation:
        put16(r, 2, st.attenuation);
        break;
    case kRgConfig:
        r[1] = req[1];
        break;
    case kRgStatus:
        r[1] = req[1];
        r[2] = st.rg_running ? 1 : 0;
        std::copy(st.rg_config.begin(), st.rg_config.end(), r.begin() + 3);
        put32(r, 19, st.rg_polls);
        break;
    case kRgStart:
    case kRgStop:
        break;
    default:
        return std::nullopt;
    }
    return r;
}

void load_state(State& st, const std::filesystem::path& file) {
    GKeyFile* kf = g_key_file_new();
    GError* err = nullptr;
    if (!g_key_file_load_from_file(kf, file.c_str(), G_KEY_FILE_NONE, &err)) {
        const bool missing = g_error_matches(err, G_FILE_ERROR, G_FILE_ERROR_NOENT);
        const std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        g_key_file_free(kf);
        if (missing) return;
        throw std::runtime_error(file.string() + ": " + msg + " (delete it to start afresh)");
    }
    auto bytes = [&](const char* group, const char* key, std::vector<std::uint8_t>& out) {
        gchar* v = g_key_file_get_string(kf, group, key, nullptr);
        if (!v) return false;
        const bool ok = unhex(v, out);
        g_free(v);
        if (!ok) throw std::runtime_error(file.string() + ": [" + group + "] " + key + ": not hex");
        return true;
    };
    auto field = [&](const char* key, auto& arr) {
        std::vector<std::uint8_t> v;
        if (bytes("state", key, v) && v.size() == arr.size()) std::copy(v.begin(), v.end(), arr.begin());
    };
    std::vector<std::uint8_t> v;
    if (bytes("state", "eeprom-high", v) && v.size() == st.eeprom_high.size()) st.eeprom_high = v;
    field("run-name", st.run_name);
    field("sys-config", st.sys_config);
    field("media", st.media);
    field("tx-config", st.tx_config);
    field("port-property", st.port_property);
    field("entry-config", st.entry_config);
    field("rg-config", st.rg_config);
    if (g_key_file_has_key(kf, "state", "attenuation", nullptr))
        st.attenuation = static_cast<std::uint16_t>(g_key_file_get_integer(kf, "state", "attenuation", nullptr));
    if (g_key_file_has_key(kf, "state", "log-count", nullptr))
        st.log_count = static_cast<std::uint16_t>(g_key_file_get_integer(kf, "state", "log-count", nullptr));
    auto each = [&](const char* group, auto fn) {
        gsize n = 0;
        gchar** keys = g_key_file_get_keys(kf, group, &n, nullptr);
        for (gsize i = 0; keys && i < n; ++i) {
            gchar* val = g_key_file_get_string(kf, group, keys[i], nullptr);
            if (val) fn(std::string(keys[i]), std::string(val));
            g_free(val);
        }
        g_strfreev(keys);
    };
    each("registers", [&](const std::string& k, const std::string& val) {
        st.registers[static_cast<std::uint16_t>(std::stoul(k, nullptr, 0))] =
            static_cast<std::uint32_t>(std::stoul(val, nullptr, 0));
    });
    each("tasks", [&](const std::string& k, const std::string& val) {
        std::vector<std::uint8_t> t;
        if (unhex(val, t) && t.size() == kTaskBytes) st.tasks[static_cast<std::uint16_t>(std::stoul(k, nullptr, 16))] = t;
    });
    each("downloads", [&](const std::string& k, const std::string& val) {
        for (std::uint8_t code : {kFirmware, kFpga, kVessa})
            if (k == download_name(code)) st.completed_downloads[code] = static_cast<unsigned>(std::stoul(val));
    });
    g_key_file_free(kf);
}

bool save_state(const State& st, const std::filesystem::path& file) {
    GKeyFile* kf = g_key_file_new();
    auto put = [&](const char* key, std::span<const std::uint8_t> b) {
        g_key_file_set_string(kf, "state", key, hex(b).c_str());
    };
    put("eeprom-high", st.eeprom_high);
    put("run-name", st.run_name);
    put("sys-config", st.sys_config);
    put("media", st.media);
    put("tx-config", st.tx_config);
    put("port-property", st.port_property);
    put("entry-config", st.entry_config);
    put("rg-config", st.rg_config);
    g_key_file_set_integer(kf, "state", "attenuation", st.attenuation);
    g_key_file_set_integer(kf, "state", "log-count", st.log_count);
    char k[16], v[16];
    for (const auto& [addr, val] : st.registers) {
        std::snprintf(k, sizeof k, "0x%04x", addr);
        std::snprintf(v, sizeof v, "0x%08x", val);
        g_key_file_set_string(kf, "registers", k, v);
    }
    for (const auto& [key, t] : st.tasks) {
        std::snprintf(k, sizeof k, "%04x", key);
        g_key_file_set_string(kf, "tasks", k, hex(t).c_str());
    }
    for (const auto& [code, n] : st.completed_downloads)
        g_key_file_set_integer(kf, "downloads", download_name(static_cast<std::uint8_t>(code)), static_cast<gint>(n));
    gsize len = 0;
    gchar* text = g_key_file_to_data(kf, &len, nullptr);
    g_key_file_free(kf);
    const bool ok = write_file(file, std::span(reinterpret_cast<const std::uint8_t*>(text), len));
    g_free(text);
    return ok;
}

namespace {

// fault=pad-start-busy: busy reports sent for a pad-data start request.
constexpr unsigned kPadStartBusyReports = 300;

// One traffic generator: protocol state plus the configured fault.
class Generator final : public Responder {
public:
    Generator(const DeviceConfig& cfg, ImageStore& image, const std::filesystem::path& state_dir)
        : cfg_(cfg), image_(image), state_dir_(state_dir), state_file_(state_dir / (cfg.name + ".tavik")) {
        id_.model = cfg.product.rfind("Quenlor ", 0) == 0 ? cfg.product.substr(8) : cfg.product;
        id_.serial = cfg.serial;
        if (image_.created()) {
            fill_identity(image_.image(), id_);
            if (!image_.save()) throw std::runtime_error(cfg.name + ": cannot save the identity image");
        }
        load_state(st_, state_file_);
        if (!std::filesystem::exists(state_file_)) {
            const std::string run = "Run 1";
            std::copy(run.begin(), run.end(), st_.run_name.begin());
            for (std::size_t i = 0; i < st_.sys_config.size(); ++i) st_.sys_config[i] = static_cast<std::uint8_t>(i * 3);
            st_.media = {0x01, 0x00, 0x00};
            st_.log_count = static_cast<std::uint16_t>(cfg.logs);
            if (!save_state(st_, state_file_)) throw std::runtime_error(state_file_.string() + ": cannot create");
        }
    }

    Outcome handle(Session& session, std::span<const std::uint8_t> request) override {
        Outcome out;
        const char* name = cfg_.name.c_str();
        if (request.empty()) return out;
        Report req{};
        std::copy_n(request.begin(), std::min(request.size(), kReportSize), req.begin());
        if (!known_code(req[0])) {
            log_event("%s: unknown command 0x%02x: no reply", name, req[0]);
            return out;
        }
        log_event("%s: command 0x%02x", name, req[0]);
        if (cfg_.fault == Fault::Vanish) {
            log_event("%s: fault vanish: the device disappears in %u ms", name, cfg_.late_ms);
            out.vanish = true;
            out.vanish_delay_ms = cfg_.late_ms;
            return out;
        }
        if (cfg_.fault == Fault::Silent) {
            log_event("%s: fault silent: no reply", name);
            return out;
        }

        if (req[0] == kVessa && req[1] == 0 && req[2] == 0 && cfg_.fault == Fault::PadStartBusy) {
            log_event("%s: fault pad-start-busy: start request not taken, busy reports only", name);
            session.previous.assign(req.begin(), req.end());
            for (unsigned k = 1; k <= kPadStartBusyReports; ++k) out.replies.push_back({Report{}, k * 50});
            return out;
        }
        if (req[0] == kClearLog && cfg_.fault == Fault::NoClearAck) {
            log_event("%s: fault no-clear-ack: logs kept, clearing never confirmed", name);
            session.previous.assign(req.begin(), req.end());
            return out;
        }
        const Effect e = apply(st_, image_.image(), req);
        // Kept across lab runs, not across power cuts: no flush to disk, so
        // EEPROM writes cost what they cost the device, not a disk sync.
        if (e.identity_changed) image_.save(false);
        if (e.state_changed) save_state(st_, state_file_);
        if (e.finished_download) {
            const Download& d = st_.downloads[e.finished_download];
            const auto file = state_dir_ / (cfg_.name + "." + download_name(e.finished_download) + ".bin");
            write_file(file, d.data);
            log_event("%s: %s download complete: %u chunks, %zu bytes%s", name, download_name(e.finished_download),
                      d.chunks, d.data.size(), d.in_order ? "" : " (out of order)");
        }
        std::optional<Report> reply = answer(st_, image_.image(), id_, req);
        const std::vector<std::uint8_t> previous = session.previous;
        session.previous.assign(req.begin(), req.end());
        if (e.silent || !reply) return out;

        if (e.chunk && cfg_.fault == Fault::NoDownloadAck) {
            const Download& d = st_.downloads[req[0]];
            if (d.chunks > static_cast<unsigned>(cfg_.ack_chunks)) {
                log_event("%s: fault no-download-ack: chunk %u not acknowledged", name, d.chunks - 1);
                return out;
            }
        }
        unsigned delay = cfg_.fault == Fault::Late ? cfg_.late_ms : 0;
        if (req[0] == kClearLog) delay += cfg_.clear_ms;
        if (cfg_.fault == Fault::Stale) {
            Report before{};
            if (previous.empty()) before[0] = req[0] == kLinkStatus ? kLogCount : kLinkStatus;
            else std::copy_n(previous.begin(), std::min(previous.size(), kReportSize), before.begin());
            if (auto old = answer(st_, image_.image(), id_, before)) out.replies.push_back({*old, delay});
            log_event("%s: fault stale: reply to an earlier request first", name);
        }
        if (cfg_.fault == Fault::FfReply) {
            Report ff = *reply;
            ff[0] = 0xFF;
            out.replies.push_back({ff, delay});
            log_event("%s: fault ff-reply: a 0xFF reply first", name);
        }
        if (cfg_.fault == Fault::WrongAddress) {
            put16(*reply, 2, static_cast<std::uint16_t>(u16(*reply, 2) + 1));
            log_event("%s: fault wrong-address: bytes 2-3 off by one", name);
        }
        Outgoing o{*reply, delay};
        if (cfg_.fault == Fault::WrongLength) {
            o.length = kReportSize - 1;
            log_event("%s: fault wrong-length: a %zu-byte reply", name, o.length);
        }
        out.replies.push_back(o);
        return out;
    }

private:
    DeviceConfig cfg_;
    ImageStore& image_;
    std::filesystem::path state_dir_;
    std::filesystem::path state_file_;
    Identity id_;
    State st_;
};

}  // namespace

std::unique_ptr<Responder> make_responder(const DeviceConfig& cfg, ImageStore& image,
                                          const std::filesystem::path& state_dir) {
    return std::make_unique<Generator>(cfg, image, state_dir);
}

}  // namespace lab::tavik
