#include "LabSupport.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace labtest {
namespace {

std::string RecordPath() {
    const char* p = std::getenv("TAVIK_LAB_RECORD");
    return p ? p : "";
}

std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<Report> g_reports;

}  // namespace

double Now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::size_t RecordMark() {
    std::ifstream in(RecordPath(), std::ios::binary | std::ios::ate);
    return in ? static_cast<std::size_t>(in.tellg()) : 0;
}

std::vector<WireLine> RecordSince(std::size_t mark) {
    std::vector<WireLine> lines;
    std::ifstream in(RecordPath(), std::ios::binary);
    if (!in) return lines;
    in.seekg(static_cast<std::streamoff>(mark));
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream ls(text);
        WireLine w;
        std::string dir, hex;
        if (!(ls >> w.time >> w.device >> dir >> w.count >> hex)) continue;
        w.out = dir == "out";
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            w.bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        if (w.out && w.bytes.size() == 65) w.bytes.erase(w.bytes.begin());
        lines.push_back(std::move(w));
    }
    return lines;
}

std::vector<WireLine> RequestsSince(std::size_t mark, const std::string& device) {
    std::vector<WireLine> out;
    for (auto& w : RecordSince(mark))
        if (w.out && (device.empty() || w.device == device)) out.push_back(std::move(w));
    return out;
}

bool Open(int type, int index) {
    return Tavik_SetDeviceType(type) == 1 && Tavik_DetectDevice(type) == 1 && Tavik_SelectDevice(index) == 1 &&
           Tavik_ConnectToDevice() == 1;
}

bool ReadEeprom(std::uint32_t offset, std::uint32_t length, std::uint8_t* out) {
    for (std::uint32_t done = 0; done < length; done += 58) {
        const std::uint32_t size = length - done < 58 ? length - done : 58;
        EepromChunk chunk{};
        if (!Tavik_GetEeprom(offset + done, size, &chunk)) return false;
        std::memcpy(out + done, chunk.bytes + 4, size);
    }
    return true;
}

void ResetReports() {
    std::lock_guard g(g_mutex);
    g_reports.clear();
}

std::vector<Report> Reports() {
    std::lock_guard g(g_mutex);
    return g_reports;
}

void OnProgress(std::uint32_t op, std::uint8_t* percent, std::uint32_t one) {
    std::lock_guard g(g_mutex);
    g_reports.push_back({op, one == 1 ? *percent : static_cast<std::uint8_t>(0xEE), Now()});
    g_cv.notify_all();
}

bool IsFinal(const Report& r) { return r.op == 255 || r.percent == 100 || r.percent == 0xFF; }

bool WaitReport(bool (*done)(const Report&), double seconds) {
    std::unique_lock g(g_mutex);
    return g_cv.wait_for(g, std::chrono::duration<double>(seconds), [&] {
        for (const auto& r : g_reports)
            if (done(r)) return true;
        return false;
    });
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : crc << 1;
    }
    return crc;
}

namespace {
std::string Save(const std::string& name, const std::vector<std::uint8_t>& f) {
    const char* dir = std::getenv("TMPDIR");
    const std::string path = std::string(dir && *dir ? dir : "/tmp") + "/tavik-" + std::to_string(::getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    return path;
}
}  // namespace

std::string WriteFirmware(const std::string& name, bool fpga, std::size_t dataLen, const char* model) {
    std::vector<std::uint8_t> f(512 + dataLen);
    const std::uint8_t fw[4] = {0x57, 0x46, 0, 0}, fp[4] = {0x41, 0x47, 0x50, 0x46};
    std::memcpy(f.data(), fpga ? fp : fw, 4);
    f[5] = 1;
    std::strcpy(reinterpret_cast<char*>(&f[13]), "Quenlor_Technologies");
    std::strcpy(reinterpret_cast<char*>(&f[77]), model);
    for (std::size_t i = 0; i < dataLen; ++i) f[512 + i] = static_cast<std::uint8_t>(i * 31 + 7);
    const std::uint16_t d = Crc16(f.data() + 512, dataLen);
    f[9] = d & 0xFF, f[10] = d >> 8;
    const std::uint16_t h = Crc16(f.data(), 510);
    f[510] = h & 0xFF, f[511] = h >> 8;
    return Save(name, f);
}

std::string WritePadData(const std::string& name, std::size_t dataLen) {
    std::vector<std::uint8_t> f(1056 + dataLen);
    std::strcpy(reinterpret_cast<char*>(&f[2]), "Vessa FW");
    for (std::size_t i = 32; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i * 3);
    const std::uint16_t c = Crc16(f.data() + 32, f.size() - 32);
    f[0] = c & 0xFF, f[1] = c >> 8;
    return Save(name, f);
}

}  // namespace labtest
