// The tavik traffic generator as the lab runs it: which command codes exist,
// the dispatch of each request to its command group (tavik_identity.cpp,
// tavik_traffic.cpp, tavik_settings.cpp, tavik_runs.cpp, tavik_downloads.cpp),
// and the responder that keeps the device's state and files and injects the
// configured fault.
#include "tavik.hpp"

#include <algorithm>
#include <stdexcept>

#include "log.hpp"
#include "tavik_fields.hpp"
#include "tavik_groups.hpp"

namespace lab::tavik {

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

Effect apply(State& st, Image& image, const Report& req) {
    Effect e;
    apply_identity(st, image, req, e) || apply_traffic(st, req, e) || apply_settings(st, req, e) ||
        apply_runs(st, req, e) || apply_downloads(st, req, e);
    return e;
}

std::optional<Report> answer(const State& st, const Image& image, const Identity& id, const Report& req) {
    const std::uint8_t code = req[0];
    if (!known_code(code) || code == kEnd) return std::nullopt;
    if ((code == kFirmware || code == kFpga) && download_closing(req)) return std::nullopt;
    Report r{};
    r[0] = code;
    if (answer_identity(st, image, id, req, r) || answer_traffic(st, req, r) || answer_settings(st, req, r) ||
        answer_runs(st, req, r) || answer_downloads(req, r))
        return r;
    return std::nullopt;
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
