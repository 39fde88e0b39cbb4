// The tavik state file <name>.tavik: everything the device keeps across lab
// runs besides its identity image, as a key file of hex strings, loaded at
// start and written in place after each change.
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "log.hpp"
#include "tavik.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

namespace {

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

}  // namespace

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

}  // namespace lab::tavik
