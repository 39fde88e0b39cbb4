// Instruments on the local Ethernet segment, reached with raw frames: the
// command's namespace gets seg0 (a veth whose far end, in a namespace of its
// own, answers nothing) and seg1 (a veth to the simulators' namespace). The
// simulators share one AF_PACKET socket on their end of seg1; each has its
// own MAC. Configured by [segment NAME] sections; the wire protocols are in
// the README ("Raw Ethernet").
#pragma once

#include <glib.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netns.hpp"

namespace lab {

enum class SegmentKind { Nesbin, Harlo };
enum class SegmentFault { None, Silent, Late, Noise, WrongGroup, WrongCommand, ShortRead, OtherCompletion, LostReadBack };

struct SegmentConfig {
    std::string name;
    SegmentKind kind = SegmentKind::Nesbin;
    std::array<std::uint8_t, 6> mac{};
    std::string serial;
    SegmentFault fault = SegmentFault::None;
    unsigned late_ms = 0;
    int model = 301;  // harlo: 101, 301, 801 or 802
};

// Parses one [segment NAME] section; throws ConfigError.
SegmentConfig parse_segment(GKeyFile* kf, const std::string& group, const std::string& name, int index);

class SegmentLab {
public:
    // Call on the thread that is in the command's namespace; it returns there.
    SegmentLab(const std::vector<SegmentConfig>& devices, const NetNs& command, const std::filesystem::path& state_dir);
    ~SegmentLab();
    SegmentLab(const SegmentLab&) = delete;
    SegmentLab& operator=(const SegmentLab&) = delete;

private:
    struct Sim;
    void run();

    NetNs dead_;
    NetNs sims_ns_;
    std::vector<std::unique_ptr<Sim>> sims_;
    int sock_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace lab
