#pragma once
// Exchange patterns: one request, then reads until a matching reply or a
// limit. The caller holds the device's lock around a whole exchange.
#include <functional>
#include <vector>

#include "Channel.h"
#include "Timing.h"
#include "Wire.h"

namespace tavik {

struct Link {
    Channel& channel;
    Timing& timing;
};

using Matcher = std::function<bool(const Packet&)>;
Matcher ByCode(std::uint8_t c);

inline constexpr int kRetryPauseMs = 50;
inline constexpr int kCountedPauseMs = 150;

// Throws away replies already waiting (late answers to earlier requests).
void DropStale(Link link);
// Drops stale input, then sends one request; false when the report did not
// go out whole.
bool Send(Link link, const Packet& request);

// Deadline: write, [pause], then read until a match, pausing 50 ms after each
// miss, until limitMs have passed since the write (or the pause).
bool Deadline(Link link, const Packet& request, int limitMs, const Matcher& match, Packet* reply, int pauseMs = 0);
// What the pause after a write is for. Reply: only for the reply to arrive,
// so paced timing reads at once and pays the pause only when that first read
// brings nothing it takes. Settle: it may be for the device's own sake (an
// EEPROM write), so it is kept in both pacings.
enum class PauseFor { Reply, Settle };

// Busy deadline: write, [pause], then read without pausing between reads.
bool BusyDeadline(Link link, const Packet& request, int pauseMs, int limitMs, const Matcher& match, Packet* reply,
                  PauseFor purpose = PauseFor::Reply);
// Counted: write, pause 150 ms, then at most `reads` reads, 50 ms after a miss.
bool Counted(Link link, const Packet& request, int reads, const Matcher& match, Packet* reply);
// Pieces of the counter and WLAN reads: write, then at most `reads` reads
// with 50 ms after a miss, no pause before the first.
bool Piece(Link link, const Packet& request, int reads, const Matcher& match, Packet* reply);
// Raw: write, pause 150 ms, then up to 50 reads; any data succeeds.
bool Raw(Link link, const Packet& request, Packet* reply);
// Chunked upload: each chunk acknowledged by a reply with its code within 6
// reads (chunk 0) or 10 reads (later chunks); stops at the first failure.
bool ChunkedUpload(Link link, const std::vector<Packet>& chunks);
// Reads without pause until a reply's byte 0 is `c` or limitMs have passed
// since `start`; for the downloads.
bool AwaitCode(Link link, std::uint8_t c, Clock::time_point start, int limitMs, Packet* reply = nullptr);

}  // namespace tavik
