#include "Exchange.h"

#include "base/Log.h"

namespace tavik {
namespace {

constexpr const char* kLog = "tavikapi";

// One read; true when data arrived and it matches.
bool ReadMatch(Link link, const Matcher& match, Packet& buf) {
    buf.fill(0);
    const std::size_t n = link.channel.Read(buf.data());
    if (n == 0) return false;
    LogFrame(kLog, "reply", buf.data(), buf.size());
    return match(buf);
}

bool Deliver(const Packet& buf, Packet* reply) {
    if (reply) *reply = buf;
    return true;
}

// The pause a pattern puts between its write and its first read. It is there
// for the reply alone, and a read itself waits for the reply (up to its
// second), so paced timing reads at once and owes the pause: when that first
// read brings nothing the exchange takes (silence or another reply), the
// pause is paid right after it. Every later read, and every limit, then falls
// where the pause-first order puts it: a reply that order would take is
// still taken, and silence costs the full time. Original timing pauses first.
class FirstPause {
public:
    FirstPause(Timing& timing, int ms, PauseFor purpose = PauseFor::Reply)
        : m_timing(timing), m_ms(ms), m_owed(ms > 0 && purpose == PauseFor::Reply && !OriginalPacing()) {
        if (ms > 0 && !m_owed) m_timing.Pause(ms);
    }
    // Whether the pause is still to be paid (paced, before the first miss).
    bool Owed() const { return m_owed; }
    // After a read that the exchange did not take.
    void Miss() {
        if (!m_owed) return;
        m_owed = false;
        m_timing.Pause(m_ms);
    }

private:
    Timing& m_timing;
    int m_ms;
    bool m_owed;
};

// Up to `reads` reads, pausing 50 ms after each miss but the last (a miss
// pause stays in both pacings: it follows a read that waited its second, or a
// reply that was not the awaited one).
bool ReadsWithPause(Link link, int reads, const Matcher& match, Packet* reply, int firstPauseMs = 0) {
    FirstPause first(link.timing, firstPauseMs);
    Packet buf{};
    for (int i = 0; i < reads; ++i) {
        if (ReadMatch(link, match, buf)) return Deliver(buf, reply);
        first.Miss();
        if (i + 1 < reads) link.timing.Pause(kRetryPauseMs);
    }
    return false;
}

}  // namespace

Matcher ByCode(std::uint8_t c) {
    return [c](const Packet& r) { return MatchCode(r, c); };
}

void DropStale(Link link) {
    // Bounded: a device cannot keep a request from going out.
    Packet buf{};
    for (int i = 0; i < 64; ++i) {
        if (link.channel.ReadQueued(buf.data()) == 0) return;
        LOG_DBG(kLog, "stale reply 0x%02x dropped", buf[0]);
    }
}

bool Send(Link link, const Packet& request) {
    DropStale(link);
    LogFrame(kLog, "request", request.data(), request.size());
    if (link.channel.Write(request.data()) == request.size()) return true;
    LOG_DBG(kLog, "request 0x%02x not sent", request[0]);
    return false;
}

namespace {

// Write, [pause], then read until a match or until `limitMs` have passed since
// the pause, pausing `missPauseMs` after each miss.
bool UntilDeadline(Link link, const Packet& request, int pauseMs, int limitMs, int missPauseMs, const Matcher& match,
                   Packet* reply, PauseFor purpose = PauseFor::Reply) {
    if (!Send(link, request)) return false;
    // The limit runs from the end of the pause: from write + pause, also when
    // paced timing pays the pause only after its first read.
    const auto written = link.timing.Now();
    FirstPause first(link.timing, pauseMs, purpose);
    const auto start = first.Owed() ? written + std::chrono::milliseconds(pauseMs) : link.timing.Now();
    Packet buf{};
    for (;;) {
        if (link.timing.ElapsedMs(start) >= limitMs) return false;
        if (ReadMatch(link, match, buf)) return Deliver(buf, reply);
        first.Miss();
        if (missPauseMs > 0) link.timing.Pause(missPauseMs);
    }
}

}  // namespace

bool Deadline(Link link, const Packet& request, int limitMs, const Matcher& match, Packet* reply, int pauseMs) {
    return UntilDeadline(link, request, pauseMs, limitMs, kRetryPauseMs, match, reply);
}

bool BusyDeadline(Link link, const Packet& request, int pauseMs, int limitMs, const Matcher& match, Packet* reply,
                  PauseFor purpose) {
    return UntilDeadline(link, request, pauseMs, limitMs, 0, match, reply, purpose);
}

bool Counted(Link link, const Packet& request, int reads, const Matcher& match, Packet* reply) {
    if (!Send(link, request)) return false;
    return ReadsWithPause(link, reads, match, reply, kCountedPauseMs);
}

bool Piece(Link link, const Packet& request, int reads, const Matcher& match, Packet* reply) {
    if (!Send(link, request)) return false;
    return ReadsWithPause(link, reads, match, reply);
}

bool Raw(Link link, const Packet& request, Packet* reply) {
    if (!Send(link, request)) return false;
    return ReadsWithPause(link, 50, [](const Packet&) { return true; }, reply, kCountedPauseMs);
}

bool ChunkedUpload(Link link, const std::vector<Packet>& chunks) {
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (!Send(link, chunks[i])) return false;
        if (!ReadsWithPause(link, i == 0 ? 6 : 10, ByCode(chunks[i][0]), nullptr)) {
            LOG_DBG(kLog, "chunk %zu of 0x%02x not acknowledged", i, chunks[i][0]);
            return false;
        }
    }
    return true;
}

bool AwaitCode(Link link, std::uint8_t c, Clock::time_point start, int limitMs, Packet* reply) {
    const Matcher match = ByCode(c);
    Packet buf{};
    for (;;) {
        if (link.timing.ElapsedMs(start) >= limitMs) return false;
        if (ReadMatch(link, match, buf)) return Deliver(buf, reply);
    }
}

}  // namespace tavik
