#include "record.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace lab {

namespace {
int g_fd = -1;
}

bool open_record(const std::filesystem::path& file) {
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
    if (file.empty()) return true;
    g_fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return g_fd >= 0;
}

void record(const std::string& device, bool out, std::span<const std::uint8_t> bytes) {
    if (g_fd < 0) return;
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    char head[64];
    std::snprintf(head, sizeof head, "%lld.%06ld ", static_cast<long long>(t.tv_sec), t.tv_nsec / 1000);
    std::string line = head;
    line += device;
    line += out ? " out " : " in ";
    line += std::to_string(bytes.size());
    line += ' ';
    static const char digits[] = "0123456789abcdef";
    for (std::uint8_t b : bytes) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    line += '\n';
    // One write per line: O_APPEND keeps lines whole.
    [[maybe_unused]] const ssize_t w = ::write(g_fd, line.data(), line.size());
}

}  // namespace lab
