// A download of an accepted image over a channel whose replies come from the
// fuzz input: acknowledgements, wrong codes, short reads, silence. The
// download must end (a scripted clock moves with every read) and never touch
// memory outside its buffers.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "FuzzInput.h"
#include "Jobs.h"

namespace {

class ScriptTiming final : public tavik::Timing {
public:
    tavik::Clock::time_point Now() override { return t; }
    void Pause(int ms) override { t += std::chrono::milliseconds(ms); }
    tavik::Clock::time_point t{};
};

class ScriptChannel final : public tavik::Channel {
public:
    ScriptChannel(ScriptTiming& timing, std::span<const std::uint8_t> script) : m_timing(timing), m_script(script) {}
    std::size_t Write(const std::uint8_t*) override { return 64; }
    std::size_t Read(std::uint8_t* packet) override {
        // Each read: one control byte (bytes that arrive, 0 = a silent
        // second), then that many reply bytes.
        if (!packet) return 0;
        if (m_at >= m_script.size() || ++m_reads > 20000) {
            m_timing.Pause(1000);
            return 0;
        }
        const std::size_t want = m_script[m_at] % 65;
        ++m_at;
        const std::size_t n = std::min<std::size_t>(want, m_script.size() - m_at);
        if (n == 0) {
            m_timing.Pause(1000);
            return 0;
        }
        std::memset(packet, 0, 64);
        std::memcpy(packet, m_script.data() + m_at, n);
        m_at += n;
        m_timing.Pause(1);
        return n;
    }

private:
    ScriptTiming& m_timing;
    std::span<const std::uint8_t> m_script;
    std::size_t m_at = 0;
    std::size_t m_reads = 0;
};

// A pad image that passes the checks: its size comes from the input.
std::vector<std::uint8_t> PadImage(std::size_t dataBytes) {
    std::vector<std::uint8_t> file(tavik::kPadDataStart + dataBytes, 0x5A);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const auto kind = static_cast<tavik::ImageKind>(in.U8() % 3);
    const std::size_t dataBytes = in.U16() % 2048;
    // Firmware and FPGA images need a header of their own; the channel's
    // behaviour is what is fuzzed here, so every kind gets a file of the
    // right length from its data start.
    std::vector<std::uint8_t> file = PadImage(dataBytes);
    if (kind != tavik::ImageKind::PadData) file.resize(tavik::ImageDataStart(kind) + dataBytes, 0x5A);
    ScriptTiming timing;
    ScriptChannel channel(timing, in.Rest());
    tavik::Link link{channel, timing};
    tavik::Progress progress(nullptr);
    std::atomic<bool> abort{false};
    tavik::RunDownload(link, kind, file, progress, abort);
    return 0;
}
