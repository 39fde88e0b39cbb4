#include "Wire.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tavik {

std::uint16_t ReadU16Le(Bytes b, std::size_t offset) {
    if (offset > b.size() || b.size() - offset < 2) return 0;
    return static_cast<std::uint16_t>(b[offset] | (b[offset + 1] << 8));
}

std::uint32_t ReadU32Le(Bytes b, std::size_t offset) {
    if (offset > b.size() || b.size() - offset < 4) return 0;
    return std::uint32_t{b[offset]} | (std::uint32_t{b[offset + 1]} << 8) | (std::uint32_t{b[offset + 2]} << 16) |
           (std::uint32_t{b[offset + 3]} << 24);
}

void PutU16Le(Packet& p, std::size_t offset, std::uint16_t v) {
    if (offset + 2 > p.size()) return;
    p[offset] = static_cast<std::uint8_t>(v);
    p[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutU32Le(Packet& p, std::size_t offset, std::uint32_t v) {
    if (offset + 4 > p.size()) return;
    for (int i = 0; i < 4; ++i) p[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutBytes(Packet& p, std::size_t offset, Bytes src) {
    if (offset >= p.size()) return;
    const std::size_t n = std::min(src.size(), p.size() - offset);
    if (n) std::memcpy(p.data() + offset, src.data(), n);
}

Packet Request(std::uint8_t c) {
    Packet p{};
    p[0] = c;
    return p;
}

bool MatchCode(const Packet& reply, std::uint8_t c) { return reply[0] == c; }

bool MatchEcho(const Packet& reply, const Packet& request, std::size_t first, std::size_t last) {
    if (reply[0] != request[0] || last >= reply.size() || first > last) return false;
    return std::equal(request.begin() + static_cast<std::ptrdiff_t>(first),
                      request.begin() + static_cast<std::ptrdiff_t>(last) + 1,
                      reply.begin() + static_cast<std::ptrdiff_t>(first));
}

Packet ReadRegRequest(std::uint32_t address) {
    Packet p = Request(code::ReadReg);
    PutU16Le(p, 2, static_cast<std::uint16_t>(address));
    PutU32Le(p, 4, 1);
    return p;
}

Packet WriteRegRequest(std::uint32_t address, std::uint32_t value) {
    Packet p = Request(code::WriteReg);
    PutU16Le(p, 2, static_cast<std::uint16_t>(address));
    PutU32Le(p, 4, value);
    return p;
}

Packet PortRequest(std::uint8_t c, std::uint32_t port) {
    Packet p = Request(c);
    PutU16Le(p, 2, static_cast<std::uint16_t>(port));
    return p;
}

Packet CounterRequest(unsigned piece, std::uint32_t port) {
    Packet p = Request(code::GetCounter);
    p[2] = static_cast<std::uint8_t>(piece);
    p[3] = static_cast<std::uint8_t>(port);
    return p;
}

Packet WlanCommandRequest(Bytes command64) {
    Packet p = Request(code::WlanCommand);
    PutBytes(p, 2, command64.first(std::min<std::size_t>(command64.size(), 62)));
    return p;
}

int WlanCommandLimitMs(const Packet& request) { return (std::min<int>(request[4], 5) + 1) * 1000; }

Packet WlanPieceRequest(unsigned piece) {
    Packet p = Request(code::WlanData);
    PutU16Le(p, 2, static_cast<std::uint16_t>(piece));
    return p;
}

bool MatchWlanPiece(const Packet& reply, unsigned piece) {
    return reply[0] == code::WlanData && ReadU16Le(reply, 2) == static_cast<std::uint16_t>(piece);
}

Packet MediaConfigRequest(std::uint32_t value) {
    Packet p = Request(code::SetMediaConfig);
    p[2] = static_cast<std::uint8_t>(value);
    p[3] = static_cast<std::uint8_t>(value >> 8);
    p[4] = static_cast<std::uint8_t>(value >> 16);
    return p;
}

unsigned TaskChunks(std::size_t taskSize) {
    if (taskSize < 2) return 0;
    return static_cast<unsigned>((taskSize - 1 + kEepromData - 1) / kEepromData);
}

std::vector<Packet> TaskUploadRequests(Bytes task) {
    std::vector<Packet> out;
    if (task.size() < 2) return out;
    const Bytes body = task.subspan(1);  // what the device stores, selector b first
    const unsigned n = TaskChunks(task.size());
    for (unsigned i = 0; i < n; ++i) {
        Packet p = Request(code::SetTask);
        PutU16Le(p, 2, static_cast<std::uint16_t>(i));
        p[4] = task[0];
        p[5] = task[1];
        const std::size_t from = std::size_t{i} * kEepromData;
        PutBytes(p, 6, body.subspan(from, std::min(kEepromData, body.size() - from)));
        out.push_back(p);
    }
    return out;
}

Packet TaskRequest(unsigned chunk, std::uint8_t a, std::uint8_t b) {
    Packet p = Request(code::GetTask);
    PutU16Le(p, 2, static_cast<std::uint16_t>(chunk));
    p[4] = a;
    p[5] = b;
    return p;
}

bool MatchTask(const Packet& reply, unsigned chunk, std::uint8_t a, std::uint8_t b) {
    return reply[0] == code::GetTask && ReadU16Le(reply, 2) == static_cast<std::uint16_t>(chunk) && reply[4] == a &&
           reply[5] == b;
}

Packet LogPieceRequest(unsigned piece, std::uint32_t log) {
    Packet p = Request(code::GetLog);
    p[1] = static_cast<std::uint8_t>(piece);
    PutU16Le(p, 2, static_cast<std::uint16_t>(log));
    return p;
}

bool MatchLog(const Packet& reply, std::uint32_t log) {
    return reply[0] == code::GetLog && ReadU16Le(reply, 2) == static_cast<std::uint16_t>(log);
}

Packet EepromReadRequest(std::uint32_t offset, std::uint32_t length) {
    Packet p = Request(code::GetEeprom);
    PutU16Le(p, 2, static_cast<std::uint16_t>(offset / 2));
    PutU16Le(p, 4, static_cast<std::uint16_t>(length / 2));
    return p;
}

Packet EepromWriteRequest(std::uint32_t offset, std::uint32_t length, Bytes chunk64) {
    Packet p = Request(code::SetEeprom);
    PutU16Le(p, 2, static_cast<std::uint16_t>(offset / 2));
    PutU16Le(p, 4, static_cast<std::uint16_t>(length / 2));
    if (chunk64.size() >= 2 + kEepromData) PutBytes(p, 6, chunk64.subspan(2, kEepromData));
    return p;
}

Packet RGTestConfigRequest(Bytes config16) {
    Packet p = Request(code::RGTestConfig);
    p[1] = 0;  // the one chunk
    PutBytes(p, 2, config16.first(std::min<std::size_t>(config16.size(), 16)));
    return p;
}

Packet RGTestStatusRequest() { return Request(code::RGTestStatus); }

namespace {
void Copy(std::array<std::uint8_t, kSystemInfoSize>& rec, std::size_t at, const Packet& from, std::size_t first,
          std::size_t last) {
    std::memcpy(rec.data() + at, from.data() + first, last - first + 1);
}
}  // namespace

std::array<std::uint8_t, kSystemInfoSize> AssembleSystemInfo(const Packet& a, const Packet& eeprom32,
                                                             const Packet& b, const Packet& eeprom52) {
    std::array<std::uint8_t, kSystemInfoSize> rec{};
    Copy(rec, 0, eeprom32, 6, 21);  // EEPROM bytes 32..47
    Copy(rec, 16, a, 2, 15);
    // EEPROM bytes 52..57: one 48-bit big-endian number, as decimal text.
    std::uint64_t number = 0;
    for (int i = 0; i < 6; ++i) number = (number << 8) | eeprom52[6 + i];
    char text[20] = {};
    std::snprintf(text, sizeof text, "%" PRIu64, number);
    std::memcpy(rec.data() + 30, text, sizeof text);
    Copy(rec, 50, a, 16, 35);
    Copy(rec, 70, a, 36, 41);
    Copy(rec, 76, b, 2, 10);
    Copy(rec, 85, b, 54, 61);
    Copy(rec, 93, b, 11, 19);
    Copy(rec, 102, b, 20, 28);
    Copy(rec, 111, b, 36, 44);
    Copy(rec, 120, b, 45, 53);
    // Bytes 129..139: the date text; a field that does not fit two digits
    // leaves the text empty rather than cut.
    if (a[51] < 100 && a[52] < 100 && a[53] < 100) {
        char date[16];
        std::snprintf(date, sizeof date, "20%02u-%02u-%02u", unsigned{a[51]}, unsigned{a[52]}, unsigned{a[53]});
        std::memcpy(rec.data() + 129, date, std::strlen(date));
    }
    Copy(rec, 155, b, 29, 35);
    Copy(rec, 162, a, 54, 57);
    return rec;
}

std::uint16_t Crc16Xmodem(Bytes data) {
    // Nibble table of the polynomial 0x1021.
    static constexpr std::uint16_t kTable[16] = {0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
                                                 0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF};
    std::uint16_t crc = 0;
    for (std::uint8_t byte : data) {
        crc = static_cast<std::uint16_t>((crc << 4) ^ kTable[(crc >> 12) ^ (byte >> 4)]);
        crc = static_cast<std::uint16_t>((crc << 4) ^ kTable[(crc >> 12) ^ (byte & 0x0F)]);
    }
    return crc;
}

const char* ModelName(int deviceType) {
    switch (deviceType) {
        case 1: return "Pembrix-Alda";
        case 2: return "Pembrix-Brisa";
        case 3: return "Pembrix-Cygna";
        case 4: return "Pembrix-Alda+";
        default: return nullptr;
    }
}

namespace {
// The NUL-terminated text at [from, to) equals want; false when no NUL lies
// in the field.
bool TextIs(Bytes file, std::size_t from, std::size_t to, const char* want) {
    if (to > file.size()) return false;
    const auto* begin = file.data() + from;
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(begin, 0, to - from));
    if (!nul) return false;
    const std::size_t len = static_cast<std::size_t>(nul - begin);
    return len == std::strlen(want) && std::memcmp(begin, want, len) == 0;
}
}  // namespace

std::size_t ImageDataStart(ImageKind kind) { return kind == ImageKind::PadData ? kPadDataStart : kImageHeader; }

std::uint8_t ImageCode(ImageKind kind) {
    switch (kind) {
        case ImageKind::Firmware: return code::Firmware;
        case ImageKind::Fpga: return code::Fpga;
        default: return code::PadData;
    }
}

std::string CheckImage(ImageKind kind, Bytes file, int deviceType) {
    // Chunk numbers are 16-bit on the wire.
    const std::size_t start = ImageDataStart(kind);
    if (file.size() > start && (file.size() - start + kImageChunk - 1) / kImageChunk > 0xFFFF) return "too large";
    if (kind == ImageKind::PadData) {
        if (file.size() <= kPadDataStart) return "pad-data image without data";
        if (ReadU16Le(file, 0) != Crc16Xmodem(file.subspan(kPadHeader))) return "pad-data CRC";
        if (!TextIs(file, 2, kPadHeader, "Vessa FW")) return "pad-data marker";
        return {};
    }
    if (file.size() <= kImageHeader) return "image without data";
    static constexpr std::uint8_t kFirmwareMagic[4] = {0x57, 0x46, 0x00, 0x00};
    static constexpr std::uint8_t kFpgaMagic[4] = {0x41, 0x47, 0x50, 0x46};
    const auto* magic = kind == ImageKind::Firmware ? kFirmwareMagic : kFpgaMagic;
    if (std::memcmp(file.data(), magic, 4) != 0) return "magic";
    if (file[4] != 0 || file[5] != 1) return "version bytes";
    if (ReadU16Le(file, 510) != Crc16Xmodem(file.first(510))) return "header CRC";
    if (ReadU16Le(file, 9) != Crc16Xmodem(file.subspan(kImageHeader))) return "data CRC";
    if (!TextIs(file, 13, 77, "Quenlor_Technologies")) return "vendor";
    const char* model = ModelName(deviceType);
    if (!model || !TextIs(file, 77, 510, model)) return "model";
    return {};
}

Packet DownloadChunk(ImageKind kind, unsigned i, unsigned n, Bytes chunk) {
    Packet p = Request(ImageCode(kind));
    const auto len = static_cast<std::uint8_t>(std::min<std::size_t>(chunk.size(), kImageChunk));
    if (kind == ImageKind::PadData) {
        const std::uint16_t number = (i + 1 == n) ? 0xFFFF : static_cast<std::uint16_t>(i + 1);
        p[1] = static_cast<std::uint8_t>(number >> 8);
        p[2] = static_cast<std::uint8_t>(number);
        p[3] = len;
    } else {
        p[1] = len;
        PutU16Le(p, 2, static_cast<std::uint16_t>(i));
    }
    PutBytes(p, 4, chunk.first(len));
    return p;
}

Packet PadStartRequest(Bytes firstData) {
    Packet p = Request(code::PadData);
    p[3] = static_cast<std::uint8_t>(kImageChunk);
    PutBytes(p, 4, firstData.first(std::min(firstData.size(), kImageChunk)));
    return p;
}

Packet ClosingRequest(ImageKind kind) {
    Packet p;
    p.fill(0xFF);
    p[0] = ImageCode(kind);
    p[1] = 0;
    return p;
}

std::uint8_t ChunkPercent(unsigned i, unsigned n) {
    if (n == 0) return 0;
    const auto pct = static_cast<unsigned>((std::uint64_t{i} + 1) * 100 / n);
    return static_cast<std::uint8_t>(pct >= 100 ? 99 : pct);
}

}  // namespace tavik
