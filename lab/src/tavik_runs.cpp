// The tavik test runs: the run name, the stored tasks, the logs (their count,
// their pieces, clearing them and the closing request after it) and the RG
// test with its configuration and status.
#include <algorithm>

#include "tavik.hpp"
#include "tavik_fields.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

namespace {

std::vector<std::uint8_t> task_bytes(const State& st, std::uint8_t a, std::uint8_t b) {
    auto it = st.tasks.find(static_cast<std::uint16_t>(a << 8 | b));
    if (it != st.tasks.end()) return it->second;
    // A task never stored: selector b first (it is part of the stored bytes), then a pattern.
    std::vector<std::uint8_t> t(kTaskBytes);
    t[0] = b;
    for (std::size_t i = 1; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(a * 7 + b * 13 + i);
    return t;
}

}  // namespace

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

bool apply_runs(State& st, const Report& req, Effect& e) {
    switch (req[0]) {
    case kSetTask: {
        const std::uint16_t chunk = u16(req, 2);
        if (chunk >= kTaskBytes / kTaskChunk) return true;
        const auto key = static_cast<std::uint16_t>(req[4] << 8 | req[5]);
        std::vector<std::uint8_t> t = task_bytes(st, req[4], req[5]);
        if (chunk == 0) std::fill(t.begin(), t.end(), 0);
        // One chunk of task bytes follows the header, whatever the frame size.
        std::copy_n(req.begin() + 6, kTaskChunk, t.begin() + static_cast<long>(chunk * kTaskChunk));
        st.tasks[key] = std::move(t);
        e.state_changed = true;
        return true;
    }
    case kClearLog:
        st.log_count = 0;
        e.state_changed = true;
        return true;
    case kSetRunName:
        e.state_changed = take(st.run_name, req, 2);
        return true;
    case kRgConfig:
        e.state_changed = take(st.rg_config, req, 2);
        return true;
    case kRgStart:
        st.rg_running = true;
        st.rg_polls = 0;
        return true;
    case kRgStatus:
        if (st.rg_running) ++st.rg_polls;
        return true;
    case kRgStop:
        st.rg_running = false;
        return true;
    case kEnd:
        e.silent = true;  // the closing request after log clearing
        return true;
    default:
        return false;
    }
}

bool answer_runs(const State& st, const Report& req, Report& r) {
    switch (req[0]) {
    case kGetTask: {
        copy_bytes(r, req, 2, 5);
        const std::uint16_t k = u16(req, 2);
        if (k < kTaskBytes / kTaskChunk) {
            const auto t = task_bytes(st, req[4], req[5]);
            std::copy_n(t.begin() + static_cast<long>(k * kTaskChunk), kTaskChunk, r.begin() + 6);
        }
        return true;
    }
    case kSetTask:
        copy_bytes(r, req, 2, 5);
        return true;
    case kTaskDone:
        return true;
    case kLogPiece: {
        copy_bytes(r, req, 1, 3);
        const auto piece = log_piece(st, u16(req, 2), req[1]);
        std::copy(piece.begin(), piece.end(), r.begin() + 4);
        return true;
    }
    case kLogCount:
        put16(r, 2, st.log_count);
        return true;
    case kClearLog:
        return true;
    case kSetRunName:
        copy_bytes(r, req, 2, 61);
        return true;
    case kGetRunName:
        std::copy(st.run_name.begin(), st.run_name.end(), r.begin() + 2);
        return true;
    case kRgConfig:
        r[1] = req[1];
        return true;
    case kRgStatus:
        r[1] = req[1];
        r[2] = st.rg_running ? 1 : 0;
        std::copy(st.rg_config.begin(), st.rg_config.end(), r.begin() + 3);
        put32(r, 19, st.rg_polls);
        return true;
    case kRgStart:
    case kRgStop:
        return true;
    default:
        return false;
    }
}

}  // namespace lab::tavik
