#include "device.hpp"

#include <glib.h>

#include "log.hpp"

namespace lab {

Device::Device(DeviceConfig cfg, ImageStore store, const std::filesystem::path& state_dir)
    : cfg_(std::move(cfg)), store_(std::move(store)) {
    if (cfg_.protocol->responder) responder_ = cfg_.protocol->responder(cfg_, store_, state_dir);
    else protocol_ = cfg_.protocol->make();
}

Outcome Device::handle(Session& session, std::span<const std::uint8_t> request) {
    Outcome out;
    if (gone_) return out;
    if (responder_) return responder_->handle(session, request);
    const char* name = cfg_.name.c_str();
    if (!protocol_->accepts(request)) {
        log_event("%s: request ignored (%zu bytes, first 0x%02x)", name, request.size(),
                  request.empty() ? 0u : request[0]);
        return out;
    }
    log_event("%s: request cmd 0x%02x bytes 1-3 %u %u %u", name, request[0], request[1], request[2],
              request.size() > 3 ? request[3] : 0u);
    Image& image = store_.image();
    const std::size_t frame = protocol_->frame_size();
    auto commit = [&] {
        if (protocol_->apply(request, image)) store_.save();
    };

    // A fault that starts in the middle of a write: armed by the write
    // request with that number, then on for everything that follows.
    if (protocol_->is_write(request)) {
        if (cfg_.fault_from_write >= 0 && writes_seen_ >= cfg_.fault_from_write && !fault_armed_) {
            fault_armed_ = true;
            log_event("%s: fault armed at write request %d", name, writes_seen_);
        }
        ++writes_seen_;
    }
    const Fault fault = (cfg_.fault_from_write < 0 || fault_armed_) ? cfg_.fault : Fault::None;

    switch (fault) {
    case Fault::Vanish:
        log_event("%s: fault vanish: the device disappears in %u ms", name, cfg_.late_ms);
        out.vanish = true;
        out.vanish_delay_ms = cfg_.late_ms;
        return out;
    case Fault::Silent:
        log_event("%s: fault silent: no reply", name);
        return out;
    case Fault::WrongAddress:
    case Fault::WrongLength: {
        Report r = protocol_->reply(request, image);
        protocol_->falsify(r, fault == Fault::WrongAddress ? Field::Address : Field::Length);
        log_event("%s: fault %s", name, fault == Fault::WrongAddress ? "wrong-address" : "wrong-length");
        out.replies.push_back({r, 0, frame});
        return out;
    }
    case Fault::Stale: {
        const std::vector<std::uint8_t> before =
            session.previous.empty() ? protocol_->earlier_request(request) : session.previous;
        out.replies.push_back({protocol_->reply(before, image), 0, frame});
        commit();
        out.replies.push_back({protocol_->reply(request, image), 0, frame});
        session.previous.assign(request.begin(), request.end());
        log_event("%s: fault stale: reply to an earlier request first", name);
        return out;
    }
    case Fault::Late:
        commit();
        out.replies.push_back({protocol_->reply(request, image), cfg_.late_ms, frame});
        log_event("%s: fault late: reply in %u ms", name, cfg_.late_ms);
        return out;
    case Fault::Garble: {
        // The echo is what was sent; what is stored has its first data byte inverted.
        if (!protocol_->is_write(request)) break;
        out.replies.push_back({protocol_->reply(request, image), 0, frame});
        std::vector<std::uint8_t> stored(request.begin(), request.end());
        protocol_->garble(stored);
        if (protocol_->apply(stored, image)) store_.save();
        log_event("%s: fault garble: stored with a changed byte", name);
        return out;
    }
    case Fault::None:
    case Fault::FfReply:
    case Fault::NoDownloadAck:
    case Fault::NoClearAck:
    case Fault::PadStartBusy:
        break;
    }
    commit();
    out.replies.push_back({protocol_->reply(request, image), 0, frame});
    return out;
}

namespace {
struct DelayedReply {
    Report report;
    std::size_t length;
    std::function<void(const Report&, std::size_t)> sink;
};
}  // namespace

void dispatch(const Outcome& outcome, std::function<void(const Report&, std::size_t)> sink,
              const std::function<void()>& on_vanish) {
    for (const Outgoing& o : outcome.replies) {
        if (o.delay_ms == 0) {
            sink(o.report, o.length);
            continue;
        }
        // The handler thread's own context, so the timer runs where the handlers run.
        GMainContext* ctx = g_main_context_ref_thread_default();
        GSource* src = g_timeout_source_new(o.delay_ms);
        g_source_set_callback(
            src,
            [](gpointer p) -> gboolean {
                auto* d = static_cast<DelayedReply*>(p);
                d->sink(d->report, d->length);
                return G_SOURCE_REMOVE;
            },
            new DelayedReply{o.report, o.length, sink}, [](gpointer p) { delete static_cast<DelayedReply*>(p); });
        g_source_attach(src, ctx);
        g_source_unref(src);
        g_main_context_unref(ctx);
    }
    if (!outcome.vanish || !on_vanish) return;
    if (outcome.vanish_delay_ms == 0) {
        on_vanish();
        return;
    }
    // Later, while the host waits for the reply: a hang-up in the middle of a read.
    GMainContext* ctx = g_main_context_ref_thread_default();
    GSource* src = g_timeout_source_new(outcome.vanish_delay_ms);
    g_source_set_callback(
        src,
        [](gpointer p) -> gboolean {
            (*static_cast<std::function<void()>*>(p))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(on_vanish), [](gpointer p) { delete static_cast<std::function<void()>*>(p); });
    g_source_attach(src, ctx);
    g_source_unref(src);
    g_main_context_unref(ctx);
}

}  // namespace lab
