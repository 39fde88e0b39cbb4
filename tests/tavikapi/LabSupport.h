#pragma once
// Helpers of the library's lab tests: the lab's wire record, progress
// reports, and image files. Only the public header of the library is used.
#include <condition_variable>
#include <cstdint>
#include <string>
#include <vector>

#include "tavikapi.h"

namespace labtest {

// One line of the lab's wire record. `bytes` is the 64-byte command report
// (a HID report ID in front of a request is taken off; `count` keeps the
// length as it crossed the device node).
struct WireLine {
    double time = 0;
    std::string device;
    bool out = false;  // host to device
    std::size_t count = 0;
    std::vector<std::uint8_t> bytes;
};

// Size of the record file now: a mark to read what came after it.
std::size_t RecordMark();
std::vector<WireLine> RecordSince(std::size_t mark);
// Requests (host to device) since mark, optionally of one device only.
std::vector<WireLine> RequestsSince(std::size_t mark, const std::string& device = {});

// Sets the type, detects, selects and connects; true when all succeeded.
bool Open(int type, int index = 0);

// Reads n bytes of the EEPROM in chunks of 58.
bool ReadEeprom(std::uint32_t offset, std::uint32_t length, std::uint8_t* out);

// Progress reports of the background jobs, collected from the worker.
struct Report {
    std::uint32_t op;
    std::uint8_t percent;
    double time;
};
void ResetReports();
std::vector<Report> Reports();
void OnProgress(std::uint32_t op, std::uint8_t* percent, std::uint32_t one);
// Waits until a report satisfies done, or seconds pass; true when one did.
bool WaitReport(bool (*done)(const Report&), double seconds);
bool IsFinal(const Report& r);  // 100, 255 or a failed clearing
double Now();

// Image files with correct headers and CRCs.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n);
std::string WriteFirmware(const std::string& name, bool fpga, std::size_t dataLen, const char* model);
std::string WritePadData(const std::string& name, std::size_t dataLen);

}  // namespace labtest
