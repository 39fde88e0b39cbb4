// The tavik image downloads: firmware and FPGA images in numbered chunks
// closed by an all-0xFF request, and pad data (a start request, then chunks
// numbered big-endian, 0xFFFF the last); each completed download is counted.
#include <algorithm>

#include "tavik.hpp"
#include "tavik_fields.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

bool download_closing(const Report& req) {
    if (req[1] != 0) return false;
    for (std::size_t i = 2; i < kReportSize; ++i)
        if (req[i] != 0xFF) return false;
    return true;
}

const char* download_name(std::uint8_t code) {
    return code == kFirmware ? "firmware" : code == kFpga ? "fpga" : "vessa";
}

bool apply_downloads(State& st, const Report& req, Effect& e) {
    switch (req[0]) {
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
            return true;
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
        return true;
    }
    case kVessa: {
        Download& d = st.downloads[kVessa];
        const unsigned n = static_cast<unsigned>(req[1] << 8 | req[2]);  // big-endian
        const std::size_t len = std::min<std::size_t>(req[3], kPiece);
        if (n == 0) {  // start request: the first data bytes, sent again as chunk 1
            d = Download{};
            d.active = true;
            d.expected = 1;
            return true;
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
        return true;
    }
    default:
        return false;
    }
}

bool answer_downloads(const Report& req, Report& r) {
    switch (req[0]) {
    case kFirmware:
    case kFpga:
    case kVessa:
        copy_bytes(r, req, 1, 3);
        return true;
    default:
        return false;
    }
}

}  // namespace lab::tavik
