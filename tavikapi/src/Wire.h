#pragma once
// Command reports of the Pembrix devices: codes, request builders, reply
// matchers, the system-information assembly, the image header checks and the
// CRC. Pure functions over byte spans; no I/O.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavik {

using Packet = std::array<std::uint8_t, 64>;
using Bytes = std::span<const std::uint8_t>;

namespace code {
inline constexpr std::uint8_t ReadReg = 0x01;
inline constexpr std::uint8_t WriteReg = 0x02;
inline constexpr std::uint8_t GetTask = 0x05;
inline constexpr std::uint8_t SetTask = 0x06;
inline constexpr std::uint8_t Firmware = 0x09;
inline constexpr std::uint8_t Fpga = 0x0A;
inline constexpr std::uint8_t GetLog = 0x0B;
inline constexpr std::uint8_t ClearLog = 0x0C;
inline constexpr std::uint8_t SysInfoA = 0x0D;
inline constexpr std::uint8_t SysInfoB = 0x0F;
inline constexpr std::uint8_t PadData = 0x10;
inline constexpr std::uint8_t LogNum = 0x11;
inline constexpr std::uint8_t GetEeprom = 0x12;
inline constexpr std::uint8_t SetEeprom = 0x13;
inline constexpr std::uint8_t SetRunName = 0x15;
inline constexpr std::uint8_t GetRunName = 0x16;
inline constexpr std::uint8_t GetSysConfig = 0x17;
inline constexpr std::uint8_t SetSysConfig = 0x18;
inline constexpr std::uint8_t StoreTask = 0x19;
inline constexpr std::uint8_t GetMediaConfig = 0x1B;
inline constexpr std::uint8_t SetMediaConfig = 0x1C;
inline constexpr std::uint8_t LinkStatus = 0x1D;
inline constexpr std::uint8_t GetCounter = 0x1E;
inline constexpr std::uint8_t ClearCounter = 0x1F;
inline constexpr std::uint8_t TxConfig = 0x22;
inline constexpr std::uint8_t StartTx = 0x23;
inline constexpr std::uint8_t StopTx = 0x24;
inline constexpr std::uint8_t PortProperty = 0x25;
inline constexpr std::uint8_t EntryConfig = 0x29;
inline constexpr std::uint8_t WlanCommand = 0x30;
inline constexpr std::uint8_t WlanLength = 0x31;
inline constexpr std::uint8_t WlanData = 0x32;
inline constexpr std::uint8_t SetWlanAtten = 0x33;
inline constexpr std::uint8_t GetWlanAtten = 0x34;
inline constexpr std::uint8_t RGTestConfig = 0x70;
inline constexpr std::uint8_t RGTestStart = 0x71;
inline constexpr std::uint8_t RGTestStatus = 0x72;
inline constexpr std::uint8_t RGTestStop = 0x73;
inline constexpr std::uint8_t End = 0xFF;
}  // namespace code

// Bounds-checked little/big-endian reads; 0 when the field lies outside.
std::uint16_t ReadU16Le(Bytes b, std::size_t offset);
std::uint32_t ReadU32Le(Bytes b, std::size_t offset);
void PutU16Le(Packet& p, std::size_t offset, std::uint16_t v);
void PutU32Le(Packet& p, std::size_t offset, std::uint32_t v);
// Copies src into p from offset, cut at the packet end.
void PutBytes(Packet& p, std::size_t offset, Bytes src);

Packet Request(std::uint8_t code);
// Does the reply belong to a request of this code (its byte 0)? A reply
// whose byte 0 is 0xFF therefore never answers a register read.
bool MatchCode(const Packet& reply, std::uint8_t code);
// The request's code, and request bytes first..last echoed at the same place
// (the address, count or number the reply belongs to).
bool MatchEcho(const Packet& reply, const Packet& request, std::size_t first, std::size_t last);

Packet ReadRegRequest(std::uint32_t address);
Packet WriteRegRequest(std::uint32_t address, std::uint32_t value);
Packet PortRequest(std::uint8_t code, std::uint32_t port);  // port in bytes 2-3
Packet CounterRequest(unsigned piece, std::uint32_t port);
Packet WlanCommandRequest(Bytes command64);
// Reply time limit of a WLAN command in milliseconds.
int WlanCommandLimitMs(const Packet& request);
Packet WlanPieceRequest(unsigned piece);
bool MatchWlanPiece(const Packet& reply, unsigned piece);
Packet MediaConfigRequest(std::uint32_t value);

// Task upload requests: chunks of 58 bytes taken from task byte 1 on.
std::vector<Packet> TaskUploadRequests(Bytes task);
Packet TaskRequest(unsigned chunk, std::uint8_t a, std::uint8_t b);
bool MatchTask(const Packet& reply, unsigned chunk, std::uint8_t a, std::uint8_t b);
// Number of 58-byte chunks that carry a task record of this size.
unsigned TaskChunks(std::size_t taskSize);

Packet LogPieceRequest(unsigned piece, std::uint32_t log);
bool MatchLog(const Packet& reply, std::uint32_t log);

// EEPROM: offsets and lengths are bytes, halved on the wire.
inline constexpr std::size_t kEepromData = 58;
Packet EepromReadRequest(std::uint32_t offset, std::uint32_t length);
Packet EepromWriteRequest(std::uint32_t offset, std::uint32_t length, Bytes chunk64);

Packet RGTestConfigRequest(Bytes config16);
Packet RGTestStatusRequest();

// The 166-byte system information from the two status replies and the two
// EEPROM reads (the 0x12 replies; data from reply byte 6 on).
inline constexpr std::size_t kSystemInfoSize = 166;
std::array<std::uint8_t, kSystemInfoSize> AssembleSystemInfo(const Packet& replyA, const Packet& eeprom32,
                                                             const Packet& replyB, const Packet& eeprom52);

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR).
std::uint16_t Crc16Xmodem(Bytes data);

// Images to download.
enum class ImageKind { Firmware = 0, Fpga = 1, PadData = 2 };
inline constexpr std::size_t kImageHeader = 512;  // firmware and FPGA
inline constexpr std::size_t kPadHeader = 32;
inline constexpr std::size_t kPadDataStart = 1056;
inline constexpr std::size_t kImageChunk = 60;
const char* ModelName(int deviceType);  // nullptr outside 1..4
// Header and CRC checks of a whole image file; the empty string when it
// passes, else what failed.
std::string CheckImage(ImageKind kind, Bytes file, int deviceType);
std::size_t ImageDataStart(ImageKind kind);
std::uint8_t ImageCode(ImageKind kind);

// Chunk i of n (length len) of a download.
Packet DownloadChunk(ImageKind kind, unsigned i, unsigned n, Bytes chunk);
Packet PadStartRequest(Bytes firstData);
Packet ClosingRequest(ImageKind kind);
// Progress after chunk i (0-based) of n: 99 while it would reach 100.
std::uint8_t ChunkPercent(unsigned i, unsigned n);

}  // namespace tavik
