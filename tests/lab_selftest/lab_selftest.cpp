// Runs inside brevane-lab: an independent client of the simulated
// instruments, written with plain sysfs reads, libusb and open/poll/read/write.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using Frame = std::array<std::uint8_t, 64>;
using Clock = std::chrono::steady_clock;
const std::string kGuidDir = "/dev/quenlor/{dfee6909-ca08-4bf6-9bd7-12c3511de4ae}";

std::string read_attr(const std::string& path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}

struct SysDev {
    std::string name;
    int busnum = 0, devnum = 0;
};

std::optional<SysDev> find_by_serial(const std::string& serial) {
    DIR* d = opendir("/sys/bus/usb/devices");
    if (!d) return std::nullopt;
    std::optional<SysDev> found;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n[0] == '.' || n.find(':') != std::string::npos) continue;
        const std::string base = "/sys/bus/usb/devices/" + n + "/";
        if (read_attr(base + "serial") != serial) continue;
        found = SysDev{n, std::stoi(read_attr(base + "busnum")), std::stoi(read_attr(base + "devnum"))};
    }
    closedir(d);
    return found;
}

Frame read_req(std::uint8_t addr, std::uint8_t len) { return Frame{0x09, addr, len}; }
Frame write_req(std::uint8_t addr, const std::vector<std::uint8_t>& data) {
    Frame f{0x08, addr, static_cast<std::uint8_t>(data.size())};
    std::copy(data.begin(), data.end(), f.begin() + 3);
    return f;
}

class Usb {
public:
    explicit Usb(const std::string& serial) {
        EXPECT_EQ(libusb_init(&ctx_), 0);
        const auto sd = find_by_serial(serial);
        if (!sd) return;
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) == sd->busnum && libusb_get_device_address(list[i]) == sd->devnum) {
                if (libusb_open(list[i], &h_) != 0) h_ = nullptr;
            }
        }
        libusb_free_device_list(list, 1);
        if (h_ && libusb_claim_interface(h_, 0) != 0) {
            libusb_close(h_);
            h_ = nullptr;
        }
    }
    ~Usb() {
        if (h_) {
            libusb_release_interface(h_, 0);
            libusb_close(h_);
        }
        libusb_exit(ctx_);
    }
    bool ok() const { return h_ != nullptr; }
    int send(Frame f) {
        int done = 0;
        return libusb_bulk_transfer(h_, 0x02, f.data(), 64, &done, 1000);
    }
    int receive(Frame& f, int& got, unsigned timeout_ms = 1000) {
        f.fill(0);
        return libusb_bulk_transfer(h_, 0x81, f.data(), 64, &got, timeout_ms);
    }
    std::optional<Frame> exchange(const Frame& req) {
        Frame r;
        int got = 0;
        if (send(req) != 0 || receive(r, got) != 0 || got != 64) return std::nullopt;
        return r;
    }

private:
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* h_ = nullptr;
};

std::vector<std::uint8_t> read_image(Usb& u) {
    std::vector<std::uint8_t> img;
    for (int addr = 0; addr < 240; addr += 60) {
        auto r = u.exchange(read_req(static_cast<std::uint8_t>(addr), 60));
        if (!r || (*r)[0] != 0x09 || (*r)[1] != addr || (*r)[2] != 60) return {};
        img.insert(img.end(), r->begin() + 3, r->begin() + 63);
    }
    return img;
}

TEST(Sysfs, TreeAndAttributes) {
    const auto good = find_by_serial("SELF-GOOD");
    const auto hubbed = find_by_serial("SELF-HUB");
    const auto pipe = find_by_serial("SELF-PIPE");
    ASSERT_TRUE(good && hubbed && pipe);
    EXPECT_EQ(good->name, "1-1");
    EXPECT_EQ(hubbed->name, "1-4.1");
    const std::string g = "/sys/bus/usb/devices/1-1/";
    EXPECT_EQ(read_attr(g + "idVendor"), "2403");
    EXPECT_EQ(read_attr(g + "idProduct"), "1688");
    EXPECT_EQ(read_attr(g + "product"), "Quenlor Tesk-100/200");
    EXPECT_EQ(read_attr(g + "manufacturer"), "Quenlor");
    EXPECT_EQ(read_attr(g + "bNumInterfaces"), " 1");
    EXPECT_EQ(read_attr(g + "speed"), "12");
    EXPECT_EQ(read_attr("/sys/bus/usb/devices/1-1:1.0/bInterfaceClass"), "ff");
    EXPECT_EQ(read_attr("/sys/bus/usb/devices/1-4.2:1.0/bInterfaceClass"), "00");
    EXPECT_EQ(read_attr("/sys/bus/usb/devices/1-4/bDeviceClass"), "09");
    EXPECT_EQ(read_attr("/sys/bus/usb/devices/usb1/idVendor"), "1d6b");
    EXPECT_EQ(read_attr("/sys/bus/usb/devices/1-4:1.0/bInterfaceClass"), "09");
    std::ifstream desc(g + "descriptors", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(desc)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 18u + 32u);
    EXPECT_EQ(bytes[18 + 2], 32);  // wTotalLength
}

TEST(Mpusb, ReadsImageWithSerial) {
    Usb u("SELF-GOOD");
    ASSERT_TRUE(u.ok());
    const auto img = read_image(u);
    ASSERT_EQ(img.size(), 240u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(img.data() + 76)), "SELF-GOOD");
    EXPECT_EQ(std::string(img.begin(), img.begin() + 4), "good");
}

TEST(Mpusb, WritesAndReadsBackBehindHub) {
    Usb u("SELF-HUB");
    ASSERT_TRUE(u.ok());
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 0xa5, 0x5a, 0xff};
    auto w = u.exchange(write_req(250, data));  // wraps past 255
    ASSERT_TRUE(w);
    EXPECT_EQ((*w)[0], 0x08);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), w->begin() + 3));
    auto r = u.exchange(read_req(250, 8));
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r->begin() + 3));
}

TEST(Mpusb, IgnoresBadRequests) {
    Usb u("SELF-GOOD");
    ASSERT_TRUE(u.ok());
    Frame r;
    int got = 0;
    ASSERT_EQ(u.send(Frame{0x09, 0, 61}), 0);
    EXPECT_EQ(u.receive(r, got, 200), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(u.send(Frame{0x42, 0, 4}), 0);
    EXPECT_EQ(u.receive(r, got, 200), LIBUSB_ERROR_TIMEOUT);
}

TEST(Mpusb, SilentTimesOutWithoutSpinning) {
    Usb u("SELF-SILENT");
    ASSERT_TRUE(u.ok());
    ASSERT_EQ(u.send(read_req(0, 8)), 0);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto t0 = Clock::now();
    Frame r;
    int got = 0;
    EXPECT_EQ(u.receive(r, got), LIBUSB_ERROR_TIMEOUT);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const rusage& x) {
        return (x.ru_utime.tv_sec + x.ru_stime.tv_sec) * 1000000L + x.ru_utime.tv_usec + x.ru_stime.tv_usec;
    };
    const long cpu_us = us(after) - us(before);
    std::printf("idle 1 s bulk-IN wait: %ld ms elapsed, %.2f ms CPU\n", static_cast<long>(ms), cpu_us / 1000.0);
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 1500);
    EXPECT_LT(cpu_us, 20000);
}

TEST(Mpusb, WrongAddressAndLength) {
    Usb a("SELF-WRADDR");
    ASSERT_TRUE(a.ok());
    auto r = a.exchange(read_req(255, 4));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[1], 0);  // 255 + 1 wraps
    EXPECT_EQ((*r)[2], 4);
    Usb l("SELF-WRLEN");
    ASSERT_TRUE(l.ok());
    r = l.exchange(read_req(10, 4));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[1], 10);
    EXPECT_EQ((*r)[2], 3);
}

TEST(Mpusb, StaleReplyComesFirst) {
    Usb u("SELF-STALE");
    ASSERT_TRUE(u.ok());
    Frame r;
    int got = 0;
    ASSERT_EQ(u.send(read_req(10, 5)), 0);
    ASSERT_EQ(u.receive(r, got), 0);
    EXPECT_NE(r[1], 10);  // a made-up earlier request
    ASSERT_EQ(u.receive(r, got), 0);
    EXPECT_EQ(r[1], 10);
    EXPECT_EQ(r[2], 5);
    ASSERT_EQ(u.send(read_req(20, 6)), 0);
    ASSERT_EQ(u.receive(r, got), 0);
    EXPECT_EQ(r[1], 10);  // the previous request again
    EXPECT_EQ(r[2], 5);
    ASSERT_EQ(u.receive(r, got), 0);
    EXPECT_EQ(r[1], 20);
    EXPECT_EQ(r[2], 6);
}

TEST(Mpusb, LateReply) {
    Usb u("SELF-LATE");
    ASSERT_TRUE(u.ok());
    const auto t0 = Clock::now();
    auto r = u.exchange(read_req(0, 4));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    ASSERT_TRUE(r);
    EXPECT_GE(ms, 280);
    EXPECT_LT(ms, 900);
}

TEST(Mpusb, VanishRemovesDevice) {
    const auto sd = find_by_serial("SELF-VANISH");
    ASSERT_TRUE(sd);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", sd->busnum, sd->devnum);
    ASSERT_EQ(access(node, F_OK), 0);
    Usb u("SELF-VANISH");
    ASSERT_TRUE(u.ok());
    Frame r;
    int got = 0;
    u.send(read_req(0, 4));
    EXPECT_NE(u.receive(r, got, 300), 0);
    EXPECT_NE(access(node, F_OK), 0);
    EXPECT_NE(access(("/sys/bus/usb/devices/" + sd->name).c_str(), F_OK), 0);
    EXPECT_FALSE(find_by_serial("SELF-VANISH"));
    Usb again("SELF-VANISH");
    EXPECT_FALSE(again.ok());
}

TEST(Mpusb, RoundTripTime) {
    Usb u("SELF-GOOD");
    ASSERT_TRUE(u.ok());
    constexpr int kRounds = 200;
    const auto t0 = Clock::now();
    for (int i = 0; i < kRounds; ++i) ASSERT_TRUE(u.exchange(read_req(static_cast<std::uint8_t>(i), 60)));
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kRounds;
    std::printf("usbdevfs round trip: %.0f us\n", us);
    EXPECT_LT(us, 20000);
}

class PipeDev {
public:
    explicit PipeDev(const std::string& name)
        : in_(open((kGuidDir + "/" + name + "/PIPE00").c_str(), O_RDWR | O_CLOEXEC)),
          out_(open((kGuidDir + "/" + name + "/PIPE01").c_str(), O_RDWR | O_CLOEXEC)) {}
    ~PipeDev() {
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
    }
    bool ok() const { return in_ >= 0 && out_ >= 0; }
    bool readable(int ms) {
        pollfd p{in_, POLLIN, 0};
        return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
    }
    bool send(const Frame& f) { return write(out_, f.data(), f.size()) == 64; }
    std::optional<Frame> receive(int ms = 1000) {
        Frame f{};
        std::size_t got = 0;
        while (got < f.size()) {
            if (!readable(ms)) return std::nullopt;
            const ssize_t r = read(in_, f.data() + got, f.size() - got);
            if (r <= 0) return std::nullopt;
            got += static_cast<std::size_t>(r);
        }
        return f;
    }

private:
    int in_, out_;
};

TEST(Pipe, ListsDevicesAndEchoes) {
    DIR* d = opendir(kGuidDir.c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"pipe", "pipestale"}));

    PipeDev p("pipe");
    ASSERT_TRUE(p.ok());
    EXPECT_FALSE(p.readable(100));  // nothing queued
    ASSERT_TRUE(p.send(read_req(60, 60)));
    auto r = p.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[1], 60);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->data() + 3 + 16)), "SELF-PIPE");
    EXPECT_FALSE(p.readable(100));  // consumed
    const std::vector<std::uint8_t> data{9, 8, 7};
    ASSERT_TRUE(p.send(write_req(3, data)));
    ASSERT_TRUE(p.receive());
    ASSERT_TRUE(p.send(read_req(3, 3)));
    r = p.receive();
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r->begin() + 3));

    constexpr int kRounds = 200;
    const auto t0 = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(p.send(read_req(0, 60)));
        ASSERT_TRUE(p.receive());
    }
    std::printf("pipe-node round trip: %.0f us\n",
                std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kRounds);
}

TEST(Pipe, StaleReplyComesFirst) {
    PipeDev p("pipestale");
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(p.send(read_req(7, 2)));
    auto first = p.receive();
    auto second = p.receive();
    ASSERT_TRUE(first && second);
    EXPECT_NE((*first)[1], 7);
    EXPECT_EQ((*second)[1], 7);
}

// Two lab runs: the first writes a fresh marker, the second finds it.
std::string mark_file() {
    const char* m = std::getenv("BREVANE_SELFTEST_MARK");
    return m ? m : "";
}

TEST(Persist, FirstRun) {
    ASSERT_FALSE(mark_file().empty());
    const auto now = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<std::uint8_t>(now >> (8 * i)));
    Usb u("SELF-GOOD");
    ASSERT_TRUE(u.ok());
    ASSERT_TRUE(u.exchange(write_req(100, data)));
    std::ofstream(mark_file()).write(reinterpret_cast<const char*>(data.data()), 8);
}

TEST(Persist, SecondRun) {
    std::ifstream f(mark_file(), std::ios::binary);
    std::vector<std::uint8_t> want(8);
    ASSERT_TRUE(f.read(reinterpret_cast<char*>(want.data()), 8));
    Usb u("SELF-GOOD");
    ASSERT_TRUE(u.ok());
    auto r = u.exchange(read_req(100, 8));
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), r->begin() + 3));
}

}  // namespace
