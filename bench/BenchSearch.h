#pragma once
// What the search benchmarks share: the sinks they hand the search, and the
// check that they run inside the lab's address range.
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "framework/DeviceSearch.h"
#include "platform/Socket.h"

// Takes everything the search reports and keeps nothing.
class QuietSink : public SearchSink {
public:
    void Log(const std::string&, bool) override {}
    void ProgressStart(std::int32_t) override {}
    void ProgressPause() override {}
    void ProgressResume() override {}
    void ProgressStop() override {}
};

// Keeps the grid text of every module found.
class CountingSink : public QuietSink {
public:
    void ModuleFound(const CDeviceInfo&, const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

// The lab gives its command only addresses of the benchmarking range
// 198.18.0.0/15; anywhere else the discovery broadcasts would go out on a
// real network.
inline bool OnlyLabAddresses() {
    const auto addresses = platform::LocalIPv4Addresses();
    for (const auto& a : addresses) {
        in_addr in{};
        if (::inet_pton(AF_INET, a.c_str(), &in) != 1 || (ntohl(in.s_addr) & 0xFFFE0000u) != 0xC6120000u) return false;
    }
    return !addresses.empty();
}
