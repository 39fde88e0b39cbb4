// Runs inside brevane-lab: an independent client of the simulated traffic
// generators, written from their command reports with hidraw (open, write,
// poll, read, ioctl) and libusb (bulk EP1 OUT / EP1 IN).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Frame = std::array<std::uint8_t, 64>;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string read_line(const std::string& path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}

std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// /dev/hidrawN of the HID device whose HID_UNIQ is serial; empty when none.
std::string hidraw_by_serial(const std::string& serial) {
    DIR* d = opendir("/sys/class/hidraw");
    if (!d) return {};
    std::string found;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.rfind("hidraw", 0) != 0) continue;
        std::ifstream ue("/sys/class/hidraw/" + n + "/device/uevent");
        for (std::string line; std::getline(ue, line);)
            if (line == "HID_UNIQ=" + serial) found = "/dev/" + n;
    }
    closedir(d);
    return found;
}

struct UsbAddr {
    std::string name;
    int bus = 0, dev = 0;
};

std::optional<UsbAddr> usb_by_serial(const std::string& serial) {
    DIR* d = opendir("/sys/bus/usb/devices");
    if (!d) return std::nullopt;
    std::optional<UsbAddr> found;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n[0] == '.' || n.find(':') != std::string::npos) continue;
        const std::string base = "/sys/bus/usb/devices/" + n + "/";
        if (read_line(base + "serial") == serial)
            found = UsbAddr{n, std::stoi(read_line(base + "busnum")), std::stoi(read_line(base + "devnum"))};
    }
    closedir(d);
    return found;
}

// One instrument, in either mode: 64-byte requests out, replies in.
class Link {
public:
    virtual ~Link() = default;
    virtual bool ok() const = 0;
    virtual bool send(const Frame& f) = 0;
    // One reply as it arrived (any length); nullopt when none came within ms.
    virtual std::optional<Bytes> receive(int ms) = 0;

    std::optional<Bytes> exchange(const Frame& f, int ms = 1000) {
        if (!send(f)) return std::nullopt;
        return receive(ms);
    }
};

// HID mode: the write carries report ID 0 and the 64 bytes; a read returns the
// 64 report bytes (no report ID: the device has no numbered reports).
class HidLink final : public Link {
public:
    explicit HidLink(const std::string& serial) : node_(hidraw_by_serial(serial)) {
        if (node_.empty()) return;
        wfd_ = open(node_.c_str(), O_WRONLY | O_CLOEXEC);
        rfd_ = open(node_.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~HidLink() override {
        if (wfd_ >= 0) close(wfd_);
        if (rfd_ >= 0) close(rfd_);
    }
    bool ok() const override { return wfd_ >= 0 && rfd_ >= 0; }
    const std::string& node() const { return node_; }
    int read_fd() const { return rfd_; }
    bool send(const Frame& f) override {
        std::uint8_t out[65] = {0};
        std::memcpy(out + 1, f.data(), 64);
        return write(wfd_, out, sizeof out) == 65;
    }
    std::optional<Bytes> receive(int ms) override {
        pollfd p{rfd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1 || !(p.revents & POLLIN)) return std::nullopt;
        std::uint8_t in[65];
        const ssize_t n = read(rfd_, in, sizeof in);
        if (n <= 0) return std::nullopt;
        return Bytes(in, in + n);
    }

private:
    std::string node_;
    int wfd_ = -1, rfd_ = -1;
};

// Library mode: vendor interface 0, bulk EP1 OUT (0x01) and EP1 IN (0x81).
class UsbLink final : public Link {
public:
    explicit UsbLink(const std::string& serial) {
        libusb_init(&ctx_);
        const auto a = usb_by_serial(serial);
        if (!a) return;
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n; ++i)
            if (libusb_get_bus_number(list[i]) == a->bus && libusb_get_device_address(list[i]) == a->dev &&
                libusb_open(list[i], &h_) != 0)
                h_ = nullptr;
        libusb_free_device_list(list, 1);
        if (h_ && libusb_claim_interface(h_, 0) != 0) {
            libusb_close(h_);
            h_ = nullptr;
        }
    }
    ~UsbLink() override {
        if (h_) {
            libusb_release_interface(h_, 0);
            libusb_close(h_);
        }
        libusb_exit(ctx_);
    }
    bool ok() const override { return h_ != nullptr; }
    bool send(const Frame& f) override {
        Frame copy = f;
        int done = 0;
        return libusb_bulk_transfer(h_, 0x01, copy.data(), 64, &done, 1000) == 0 && done == 64;
    }
    std::optional<Bytes> receive(int ms) override {
        std::uint8_t in[64];
        int got = 0;
        const int rc = libusb_bulk_transfer(h_, 0x81, in, 64, &got, static_cast<unsigned>(ms));
        if (rc != 0 || got <= 0) return std::nullopt;
        return Bytes(in, in + got);
    }

private:
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* h_ = nullptr;
};

std::unique_ptr<Link> open_link(bool hid, const std::string& serial) {
    if (hid) return std::make_unique<HidLink>(serial);
    return std::make_unique<UsbLink>(serial);
}

Frame req(std::uint8_t code, std::initializer_list<std::pair<int, std::uint8_t>> bytes = {}) {
    Frame f{};
    f[0] = code;
    for (auto [at, v] : bytes) f[static_cast<std::size_t>(at)] = v;
    return f;
}

std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }
std::uint32_t le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16)) |
           (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

// EEPROM: byte offset and length (even, at most 58) as word address and count.
std::optional<Bytes> eeprom_read(Link& l, unsigned offset, unsigned length) {
    Frame f = req(0x12);
    f[2] = static_cast<std::uint8_t>(offset / 2);
    f[3] = static_cast<std::uint8_t>(offset / 2 >> 8);
    f[4] = static_cast<std::uint8_t>(length / 2);
    auto r = l.exchange(f);
    if (!r || r->size() != 64 || (*r)[0] != 0x12 || le16(*r, 2) != offset / 2 || le16(*r, 4) != length / 2)
        return std::nullopt;
    return Bytes(r->begin() + 6, r->begin() + 6 + length);
}

bool eeprom_write(Link& l, unsigned offset, const Bytes& data) {
    Frame f = req(0x13);
    f[2] = static_cast<std::uint8_t>(offset / 2);
    f[3] = static_cast<std::uint8_t>(offset / 2 >> 8);
    f[4] = static_cast<std::uint8_t>(data.size() / 2);
    std::copy(data.begin(), data.end(), f.begin() + 6);
    auto r = l.exchange(f);
    return r && r->size() == 64 && (*r)[0] == 0x13;
}

std::optional<Bytes> read_identity(Link& l) {
    Bytes img;
    for (unsigned at = 0; at < 256; at += 58) {
        auto part = eeprom_read(l, at, std::min(58u, 256 - at));
        if (!part) return std::nullopt;
        img.insert(img.end(), part->begin(), part->end());
    }
    return img;
}

long lab_cpu_ms() {
    // The lab is this program's parent; fields 14 and 15 of its stat are utime and stime.
    std::string stat = read_all("/proc/" + std::to_string(getppid()) + "/stat");
    const auto close_paren = stat.rfind(')');
    std::istringstream in(stat.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; in >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

long own_cpu_us() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

// ---------------------------------------------------------------------------

TEST(TavikSysfs, HidEntriesAndIoctls) {
    const std::string node = hidraw_by_serial("TV-HID-0101");
    ASSERT_FALSE(node.empty());
    const std::string cls = "/sys/class/hidraw/" + node.substr(5);
    const std::string uevent = read_all(cls + "/device/uevent");
    EXPECT_NE(uevent.find("HID_ID=0003:00002403:00001701\n"), std::string::npos) << uevent;
    EXPECT_NE(uevent.find("HID_NAME=Quenlor Quenlor Pembrix-Alda\n"), std::string::npos) << uevent;
    // The USB interface above the HID device: class 03, the USB device's product string.
    EXPECT_EQ(read_line(cls + "/device/../bInterfaceClass"), "03");
    EXPECT_EQ(read_line(cls + "/device/../../product"), "Quenlor Pembrix-Alda");
    // HID devices have no vendor interface, so MPUSB instance lists never see them.
    const auto a = usb_by_serial("TV-HID-0101");
    ASSERT_TRUE(a);
    EXPECT_EQ(read_line("/sys/bus/usb/devices/" + a->name + ":1.0/bInterfaceClass"), "03");

    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int size = 0;
    ASSERT_EQ(ioctl(fd, HIDIOCGRDESCSIZE, &size), 0);
    EXPECT_GT(size, 10);
    hidraw_report_descriptor rd{};
    rd.size = static_cast<__u32>(size);
    ASSERT_EQ(ioctl(fd, HIDIOCGRDESC, &rd), 0);
    EXPECT_EQ(rd.value[0], 0x06);  // usage page item
    const std::string file_desc = read_all(cls + "/device/report_descriptor");
    EXPECT_EQ(file_desc, std::string(reinterpret_cast<char*>(rd.value), static_cast<std::size_t>(size)));
    hidraw_devinfo info{};
    ASSERT_EQ(ioctl(fd, HIDIOCGRAWINFO, &info), 0);
    EXPECT_EQ(info.bustype, 3u);
    EXPECT_EQ(static_cast<std::uint16_t>(info.vendor), 0x2403);
    EXPECT_EQ(static_cast<std::uint16_t>(info.product), 0x1701);
    char name[256] = {0};
    EXPECT_GT(ioctl(fd, HIDIOCGRAWNAME(sizeof name), name), 0);
    EXPECT_STREQ(name, "Quenlor Quenlor Pembrix-Alda");
    close(fd);
}

TEST(TavikSysfs, LibraryModeEndpoints) {
    const auto a = usb_by_serial("TV-USB-0202");
    ASSERT_TRUE(a);
    const std::string iface = "/sys/bus/usb/devices/" + a->name + ":1.0/";
    EXPECT_EQ(read_line(iface + "bInterfaceClass"), "ff");
    EXPECT_EQ(read_line(iface + "ep_01/type"), "Bulk");
    EXPECT_EQ(read_line(iface + "ep_81/type"), "Bulk");
    const auto b = usb_by_serial("TV-NOACK");  // the second library-mode pair
    ASSERT_TRUE(b);
    EXPECT_EQ(read_line("/sys/bus/usb/devices/" + b->name + "/idVendor"), "10c4");
    EXPECT_EQ(read_line("/sys/bus/usb/devices/" + b->name + "/idProduct"), "1101");
}

// Both modes: the same protocol over hidraw and over libusb.
class Mode : public ::testing::TestWithParam<bool> {
protected:
    bool hid() const { return GetParam(); }
    std::string serial() const { return hid() ? "TV-HID-0101" : "TV-USB-0202"; }
    std::string model() const { return hid() ? "Pembrix-Alda" : "Pembrix-Brisa"; }
};

TEST_P(Mode, IdentityImageAndEepromRoundTrip) {
    auto l = open_link(hid(), serial());
    ASSERT_TRUE(l->ok());
    auto img = read_identity(*l);
    ASSERT_TRUE(img);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(img->data() + 76)), serial());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(img->data() + 32)), model());
    EXPECT_EQ((*img)[76 + serial().size() + 1], 0xFF);

    // Above the identity image, and across a word boundary into it.
    const Bytes data{0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02};
    ASSERT_TRUE(eeprom_write(*l, 300, data));
    EXPECT_EQ(eeprom_read(*l, 300, 6), data);
    ASSERT_TRUE(eeprom_write(*l, 250, data));
    EXPECT_EQ(eeprom_read(*l, 250, 6), data);
    // Beyond the EEPROM: erased.
    EXPECT_EQ(eeprom_read(*l, 0x2000, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_P(Mode, CommandReplies) {
    auto l = open_link(hid(), serial());
    ASSERT_TRUE(l->ok());
    auto r = l->exchange(req(0x11));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x11);
    EXPECT_EQ(r->size(), 64u);
    const std::uint16_t logs = le16(*r, 2);
    EXPECT_EQ(logs, 3);

    r = l->exchange(req(0x0B, {{1, 4}, {2, 1}}));  // log 1, piece 4
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x0B);
    EXPECT_EQ((*r)[1], 4);
    EXPECT_EQ(le16(*r, 2), 1);
    EXPECT_EQ((*r)[4], static_cast<std::uint8_t>(37 + 240 * 3));  // log byte 240

    r = l->exchange(req(0x0D));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->data() + 16)), model());
    EXPECT_EQ((*r)[51], 24);
    r = l->exchange(req(0x0F));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x0F);

    Frame name = req(0x15);
    std::memcpy(name.data() + 2, "night run", 9);
    r = l->exchange(name);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x15);
    r = l->exchange(req(0x16));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->data() + 2)), "night run");

    Frame cfg = req(0x18);
    for (int i = 2; i <= 23; ++i) cfg[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(100 + i);
    ASSERT_TRUE(l->exchange(cfg));
    r = l->exchange(req(0x17));
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::equal(r->begin() + 2, r->begin() + 24, cfg.begin() + 2));

    ASSERT_TRUE(l->exchange(req(0x1C, {{2, 0xEF}, {3, 0xCD}, {4, 0xAB}})));
    r = l->exchange(req(0x1B));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[2], 0xEF);
    EXPECT_EQ((*r)[4], 0xAB);

    // Registers: a write, then a read with the value in 4..7.
    r = l->exchange(req(0x02, {{2, 0x34}, {3, 0x12}, {4, 0x78}, {5, 0x56}, {6, 0x34}, {7, 0x12}}));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x02);
    r = l->exchange(req(0x01, {{2, 0x34}, {3, 0x12}, {4, 1}}));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x01);
    EXPECT_EQ(le32(*r, 4), 0x12345678u);

    // Transmission shows in link status and counters; clearing zeroes them.
    ASSERT_TRUE(l->exchange(req(0x23, {{2, 2}})));
    r = l->exchange(req(0x1D));
    ASSERT_TRUE(r);
    EXPECT_TRUE(le32(*r, 2) & (1u << 10));
    Bytes counters;
    for (std::uint8_t piece = 0; piece < 4; ++piece) {
        r = l->exchange(req(0x1E, {{2, piece}, {3, 2}}));
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[2], piece);
        EXPECT_EQ((*r)[3], 2);
        counters.insert(counters.end(), r->begin() + 4, r->end());
    }
    EXPECT_GT(le32(counters, 0), 0u);
    ASSERT_TRUE(l->exchange(req(0x24, {{2, 2}})));
    ASSERT_TRUE(l->exchange(req(0x1F, {{2, 2}})));
    r = l->exchange(req(0x1E, {{2, 0}, {3, 2}}));
    ASSERT_TRUE(r);
    EXPECT_EQ(le32(*r, 4), 0u);

    // WLAN: a command makes a message; its length, then pieces of 60.
    Frame wlan = req(0x30);
    std::memcpy(wlan.data() + 2, "AT+SCAN", 7);
    ASSERT_TRUE(l->exchange(wlan));
    r = l->exchange(req(0x31));
    ASSERT_TRUE(r);
    const std::uint16_t len = le16(*r, 2);
    EXPECT_GT(len, 60);
    std::string msg;
    for (std::uint16_t piece = 0; piece * 60 < len; ++piece) {
        r = l->exchange(req(0x32, {{2, static_cast<std::uint8_t>(piece)}}));
        ASSERT_TRUE(r);
        EXPECT_EQ(le16(*r, 2), piece);
        msg.append(r->begin() + 4, r->end());
    }
    msg.resize(len);
    EXPECT_NE(msg.find("AT+SCAN"), std::string::npos) << msg;
    ASSERT_TRUE(l->exchange(req(0x33, {{2, 27}})));
    r = l->exchange(req(0x34));
    ASSERT_TRUE(r);
    EXPECT_EQ(le16(*r, 2), 27);

    // RG test: configuration, start, status, stop.
    Frame rg = req(0x70);
    for (int i = 2; i <= 17; ++i) rg[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    r = l->exchange(rg);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x70);
    ASSERT_TRUE(l->exchange(req(0x71)));
    r = l->exchange(req(0x72));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[2], 1);
    EXPECT_EQ((*r)[3], 2);
    ASSERT_TRUE(l->exchange(req(0x73)));

    // Unknown codes and the 0xFF closing request get no reply.
    EXPECT_FALSE(l->exchange(req(0x42), 200));
    EXPECT_FALSE(l->exchange(req(0xFF), 200));
    EXPECT_TRUE(l->exchange(req(0x11)));
}

TEST_P(Mode, TaskUploadAndDownload) {
    auto l = open_link(hid(), serial());
    ASSERT_TRUE(l->ok());
    // A 143-byte task, selectors 2 and 9: bytes 1..142 go up in chunks of 58.
    Bytes task(143);
    for (std::size_t i = 0; i < task.size(); ++i) task[i] = static_cast<std::uint8_t>(i * 5 + 1);
    task[0] = 2;
    task[1] = 9;
    for (std::uint8_t chunk = 0; chunk < 3; ++chunk) {
        Frame f = req(0x06, {{2, chunk}, {4, task[0]}, {5, task[1]}});
        for (std::size_t j = 0; j < 58 && 1 + chunk * 58u + j < task.size(); ++j) f[6 + j] = task[1 + chunk * 58u + j];
        auto r = l->exchange(f);
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[0], 0x06);
        EXPECT_EQ((*r)[2], chunk);
    }
    EXPECT_TRUE(l->exchange(req(0x19)));
    Bytes back(1, 2);
    for (std::uint8_t chunk = 0; chunk < 3; ++chunk) {
        auto r = l->exchange(req(0x05, {{2, chunk}, {4, 2}, {5, 9}}));
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[2], chunk);
        EXPECT_EQ((*r)[4], 2);
        EXPECT_EQ((*r)[5], 9);
        back.insert(back.end(), r->begin() + 6, r->end());
    }
    back.resize(143);
    EXPECT_EQ(back, task);
}

TEST_P(Mode, FirmwareAndPadDownloadsAreRecorded) {
    const std::string state = env("BREVANE_SELFTEST_TAVIK_STATE");
    ASSERT_FALSE(state.empty());
    auto l = open_link(hid(), serial());
    ASSERT_TRUE(l->ok());
    Bytes image(600);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (hid() ? 1 : 2));
    for (std::uint16_t i = 0; i < 10; ++i) {
        Frame f = req(0x09, {{1, 60}, {2, static_cast<std::uint8_t>(i)}});
        std::copy_n(image.begin() + i * 60, 60, f.begin() + 4);
        auto r = l->exchange(f, 5000);
        ASSERT_TRUE(r) << "chunk " << i;
        EXPECT_EQ((*r)[0], 0x09);
        EXPECT_EQ(le16(*r, 2), i);
    }
    Frame closing;
    closing.fill(0xFF);
    closing[0] = 0x09;
    closing[1] = 0;
    EXPECT_FALSE(l->exchange(closing, 300));  // not answered
    const std::string name = hid() ? "t-hid" : "t-usb";
    const std::string fw = read_all(state + "/" + name + ".firmware.bin");
    EXPECT_EQ(fw, std::string(image.begin(), image.end()));

    // Pad data: start request, chunks 1, 2 and 0xFFFF.
    Bytes pad(121);
    for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = static_cast<std::uint8_t>(200 - i);
    Frame start = req(0x10, {{3, 60}});
    std::copy_n(pad.begin(), 60, start.begin() + 4);
    auto r = l->exchange(start);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x10);
    const std::uint16_t numbers[] = {0x0001, 0x0002, 0xFFFF};
    for (int c = 0; c < 3; ++c) {
        const std::size_t n = c < 2 ? 60 : 1;
        Frame f = req(0x10, {{1, static_cast<std::uint8_t>(numbers[c] >> 8)},
                             {2, static_cast<std::uint8_t>(numbers[c])},
                             {3, static_cast<std::uint8_t>(n)}});
        std::copy_n(pad.begin() + c * 60, n, f.begin() + 4);
        r = l->exchange(f);
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[1], numbers[c] >> 8);
        EXPECT_EQ((*r)[2], numbers[c] & 0xFF);
    }
    EXPECT_EQ(read_all(state + "/" + name + ".vessa.bin"), std::string(pad.begin(), pad.end()));
}

TEST_P(Mode, RoundTripTime) {
    auto l = open_link(hid(), serial());
    ASSERT_TRUE(l->ok());
    constexpr int kRounds = 200;
    const auto t0 = Clock::now();
    for (int i = 0; i < kRounds; ++i) ASSERT_TRUE(eeprom_read(*l, static_cast<unsigned>(i % 4) * 58, 58));
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kRounds;
    std::printf("%s round trip (EEPROM read of 58 bytes): %.0f us\n", hid() ? "hidraw" : "usbdevfs", us);
    EXPECT_LT(us, 20000);  // generous: only proves nothing hangs
}

INSTANTIATE_TEST_SUITE_P(Tavik, Mode, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? std::string("Hid") : std::string("Mpusb"); });

// Log clearing: the 0x0C reply comes after clear-ms; the logs are then gone.
// Runs last in its device's life: the cleared log count persists.
TEST(TavikLogs, ClearingConfirmsAfterDelay) {
    for (bool hid : {true, false}) {
        auto l = open_link(hid, hid ? "TV-HID-0101" : "TV-USB-0202");
        ASSERT_TRUE(l->ok());
        const auto t0 = Clock::now();
        ASSERT_TRUE(l->send(req(0x0C)));
        EXPECT_FALSE(l->receive(150));
        auto r = l->receive(2000);
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[0], 0x0C);
        EXPECT_GE(ms_since(t0), 280);
        EXPECT_FALSE(l->exchange(req(0xFF), 200));
        r = l->exchange(req(0x11));
        ASSERT_TRUE(r);
        EXPECT_EQ(le16(*r, 2), 0);
    }
}

// ---------------------------------------------------------------------------
// Faults

TEST(TavikFaults, SilentNeverRepliesAndNothingSpins) {
    HidLink l("TV-SILENT");
    ASSERT_TRUE(l.ok());
    ASSERT_TRUE(l.send(req(0x11)));
    const long lab0 = lab_cpu_ms();
    const long own0 = own_cpu_us();
    const auto t0 = Clock::now();
    EXPECT_FALSE(l.receive(1000));
    const long ms = ms_since(t0);
    const long lab_ms = lab_cpu_ms() - lab0;
    const long own_us = own_cpu_us() - own0;
    std::printf("idle 1 s hidraw wait: %ld ms elapsed, client %.2f ms CPU, lab %ld ms CPU\n", ms, own_us / 1000.0,
                lab_ms);
    EXPECT_GE(ms, 950);
    EXPECT_LT(own_us, 20000);
    EXPECT_LT(lab_ms, 100);
}

TEST(TavikFaults, SilentLibraryModeWaitDoesNotSpin) {
    UsbLink l("TV-SILENT-U");
    ASSERT_TRUE(l.ok());
    ASSERT_TRUE(l.send(req(0x11)));
    const long lab0 = lab_cpu_ms();
    const long own0 = own_cpu_us();
    const auto t0 = Clock::now();
    EXPECT_FALSE(l.receive(1000));
    const long lab_ms = lab_cpu_ms() - lab0;
    const long own_us = own_cpu_us() - own0;
    std::printf("idle 1 s bulk-IN wait: %ld ms elapsed, client %.2f ms CPU, lab %ld ms CPU\n", ms_since(t0),
                own_us / 1000.0, lab_ms);
    EXPECT_LT(own_us, 20000);
    EXPECT_LT(lab_ms, 100);
}

// A reader blocked in read() (no poll first) gets one report per read, and
// a report queued behind it becomes readable without another request.
TEST(TavikFaults, BlockingReadGetsOneReportAtATime) {
    HidLink l("TV-FF");
    ASSERT_TRUE(l.ok());
    Bytes first;
    std::thread reader([&] {
        std::uint8_t in[65];
        const ssize_t n = read(l.read_fd(), in, sizeof in);
        if (n > 0) first.assign(in, in + n);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(l.send(req(0x34)));
    reader.join();
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(first[0], 0xFF);
    auto r = l.receive(500);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 64u);
    EXPECT_EQ((*r)[0], 0x34);
    EXPECT_FALSE(l.receive(100));
}

TEST(TavikFaults, LateReplyMissesTheDeadlineAndComesNext) {
    HidLink l("TV-LATE");
    ASSERT_TRUE(l.ok());
    const auto t0 = Clock::now();
    ASSERT_TRUE(l.send(req(0x1D)));
    EXPECT_FALSE(l.receive(2000));  // a 2000 ms deadline passes first
    ASSERT_TRUE(l.send(req(0x11)));
    auto r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x1D);  // the next exchange reads the late reply
    EXPECT_GE(ms_since(t0), 2090);
    r = l.receive(3000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x11);
}

TEST(TavikFaults, StaleReplyFirst) {
    UsbLink l("TV-STALE");
    ASSERT_TRUE(l.ok());
    ASSERT_TRUE(l.send(req(0x11)));
    auto r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_NE((*r)[0], 0x11);  // made up: no earlier request
    r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x11);
    ASSERT_TRUE(l.send(req(0x34)));
    r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x11);  // the previous request's reply again
    r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x34);
}

TEST(TavikFaults, WrongLengthAndWrongAddress) {
    UsbLink l("TV-WRLEN");
    ASSERT_TRUE(l.ok());
    auto r = l.exchange(req(0x12, {{4, 29}}));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x12);
    EXPECT_EQ(r->size(), 63u);
    HidLink a("TV-WRADDR");
    ASSERT_TRUE(a.ok());
    r = a.exchange(req(0x0B, {{1, 3}, {2, 1}}));
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x0B);
    EXPECT_EQ(le16(*r, 2), 2);  // log 1 claimed as log 2
}

TEST(TavikFaults, FfReplyBeforeTheRealOne) {
    HidLink l("TV-FF");
    ASSERT_TRUE(l.ok());
    ASSERT_TRUE(l.send(req(0x01, {{2, 0x10}, {4, 1}})));
    auto r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0xFF);
    r = l.receive(1000);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[0], 0x01);
    EXPECT_EQ(le16(*r, 2), 0x10);
}

TEST(TavikFaults, DownloadAcknowledgedOnlyForFirstChunks) {
    UsbLink l("TV-NOACK");
    ASSERT_TRUE(l.ok());
    for (std::uint8_t i = 0; i < 5; ++i) {
        Frame f = req(0x0A, {{1, 60}, {2, i}});
        auto r = l.exchange(f, 300);
        if (i < 3) {
            ASSERT_TRUE(r) << "chunk " << int(i);
            EXPECT_EQ((*r)[0], 0x0A);
            EXPECT_EQ((*r)[2], i);
        } else {
            EXPECT_FALSE(r) << "chunk " << int(i);
        }
    }
    // A new download (chunk 0) counts afresh.
    EXPECT_TRUE(l.exchange(req(0x0A, {{1, 60}}), 300));
    // Other commands are answered.
    EXPECT_TRUE(l.exchange(req(0x11)));
}

TEST(TavikFaults, ClearingNeverConfirmed) {
    HidLink l("TV-NOCLEAR");
    ASSERT_TRUE(l.ok());
    ASSERT_TRUE(l.send(req(0x0C)));
    EXPECT_FALSE(l.receive(600));
    auto r = l.exchange(req(0x11));
    ASSERT_TRUE(r);
    EXPECT_EQ(le16(*r, 2), 3);  // nothing cleared
}

TEST(TavikFaults, PadStartAnsweredOnlyWithBusyReports) {
    HidLink l("TV-PADBUSY");
    ASSERT_TRUE(l.ok());
    const auto t0 = Clock::now();
    ASSERT_TRUE(l.send(req(0x10, {{3, 60}, {4, 0xAB}})));
    int busy = 0;
    while (ms_since(t0) < 1000) {
        auto r = l.receive(300);
        ASSERT_TRUE(r) << "no report for 300 ms after " << busy;
        ASSERT_EQ(r->size(), 64u);
        EXPECT_TRUE(std::all_of(r->begin(), r->end(), [](std::uint8_t b) { return b == 0; }));
        ++busy;
    }
    EXPECT_GE(busy, 10);
    EXPECT_LE(busy, 21);  // one every 50 ms
    // Other commands are answered while the busy reports go on.
    ASSERT_TRUE(l.send(req(0x11)));
    bool answered = false;
    for (int i = 0; i < 40 && !answered; ++i)
        if (auto r = l.receive(300); r && (*r)[0] == 0x11) answered = true;
    EXPECT_TRUE(answered);
}

TEST(TavikFaults, VanishRemovesNodes) {
    const std::string node = hidraw_by_serial("TV-VANISH-H");
    ASSERT_FALSE(node.empty());
    {
        HidLink l("TV-VANISH-H");
        ASSERT_TRUE(l.ok());
        // A reader blocked in read() wakes when the device goes.
        ssize_t got = 1;
        long waited = 0;
        std::thread reader([&] {
            const auto t0 = Clock::now();
            std::uint8_t in[65];
            got = read(l.read_fd(), in, sizeof in);
            waited = ms_since(t0);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        l.send(req(0x11));
        reader.join();
        EXPECT_LE(got, 0);
        EXPECT_LT(waited, 1000);
        pollfd p{l.read_fd(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1);
        EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
        EXPECT_FALSE(l.receive(300));
        EXPECT_FALSE(l.send(req(0x11)));
    }
    EXPECT_NE(access(node.c_str(), F_OK), 0);
    EXPECT_TRUE(hidraw_by_serial("TV-VANISH-H").empty());

    const auto a = usb_by_serial("TV-VANISH-U");
    ASSERT_TRUE(a);
    {
        UsbLink l("TV-VANISH-U");
        ASSERT_TRUE(l.ok());
        l.send(req(0x11));
        EXPECT_FALSE(l.receive(300));
    }
    EXPECT_FALSE(usb_by_serial("TV-VANISH-U"));
    UsbLink again("TV-VANISH-U");
    EXPECT_FALSE(again.ok());
}

// The wire record: every request as written (65 bytes in HID mode, 64 over
// libusb) and every reply, in order.
TEST(TavikRecord, RequestsAsWritten) {
    const std::string file = env("BREVANE_LAB_RECORD");
    ASSERT_FALSE(file.empty());
    {
        HidLink h("TV-HID-0101");
        ASSERT_TRUE(h.ok());
        ASSERT_TRUE(h.exchange(req(0x34, {{9, 0xA5}})));
        // A 64-byte write whose first byte is not 0 is the report itself.
        Frame f = req(0x34);
        const int fd = open(h.node().c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write(fd, f.data(), 64), 64);
        close(fd);
        auto r = h.receive(1000);
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[0], 0x34);
        UsbLink u("TV-USB-0202");
        ASSERT_TRUE(u.ok());
        ASSERT_TRUE(u.exchange(req(0x34, {{9, 0x5A}})));
    }
    std::ifstream in(file);
    std::vector<std::string> lines;
    // Only the two devices of this test: another device may still be talking.
    for (std::string line; std::getline(in, line);)
        if (line.find(" t-hid ") != std::string::npos || line.find(" t-usb ") != std::string::npos)
            lines.push_back(line);
    auto fields = [](const std::string& line) {
        std::istringstream s(line);
        std::vector<std::string> f;
        for (std::string x; s >> x;) f.push_back(x);
        return f;
    };
    ASSERT_GE(lines.size(), 6u);
    const auto w64 = fields(lines[lines.size() - 4]);
    ASSERT_EQ(w64.size(), 5u);
    EXPECT_EQ(w64[1], "t-hid");
    EXPECT_EQ(w64[3], "64");
    EXPECT_EQ(w64[4].substr(0, 2), "34");
    const auto a = fields(lines[lines.size() - 6]), b = fields(lines[lines.size() - 5]);
    const auto c = fields(lines[lines.size() - 2]), d = fields(lines[lines.size() - 1]);
    ASSERT_EQ(a.size(), 5u);
    EXPECT_EQ(a[1], "t-hid");
    EXPECT_EQ(a[2], "out");
    EXPECT_EQ(a[3], "65");
    EXPECT_EQ(a[4].substr(0, 4), "0034");
    EXPECT_EQ(a[4].substr(20, 2), "a5");  // report ID, then byte 9 at hex offset 2 + 18
    EXPECT_EQ(b[2], "in");
    EXPECT_EQ(b[3], "64");
    EXPECT_EQ(c[1], "t-usb");
    EXPECT_EQ(c[3], "64");
    EXPECT_EQ(c[4].substr(0, 2), "34");
    EXPECT_EQ(d[1], "t-usb");
    EXPECT_EQ(d[2], "in");
}

// Persistence across lab runs: the first run writes, the second reads back.
std::string mark_file() { return env("BREVANE_SELFTEST_TAVIK_STATE") + "/persist-mark"; }

TEST(TavikPersist, FirstRun) {
    const auto stamp = static_cast<std::uint32_t>(std::chrono::system_clock::now().time_since_epoch().count());
    const Bytes data{static_cast<std::uint8_t>(stamp), static_cast<std::uint8_t>(stamp >> 8),
                     static_cast<std::uint8_t>(stamp >> 16), static_cast<std::uint8_t>(stamp >> 24)};
    for (bool hid : {true, false}) {
        auto l = open_link(hid, hid ? "TV-HID-0101" : "TV-USB-0202");
        ASSERT_TRUE(l->ok());
        ASSERT_TRUE(eeprom_write(*l, 100, data));   // in the identity image
        ASSERT_TRUE(eeprom_write(*l, 1000, data));  // above it
        ASSERT_TRUE(l->exchange(req(0x02, {{2, 0x77}, {4, data[0]}, {5, data[1]}})));
    }
    std::ofstream(mark_file()) << stamp;
}

TEST(TavikPersist, SecondRun) {
    std::uint32_t stamp = 0;
    std::ifstream(mark_file()) >> stamp;
    ASSERT_NE(stamp, 0u);
    const Bytes data{static_cast<std::uint8_t>(stamp), static_cast<std::uint8_t>(stamp >> 8),
                     static_cast<std::uint8_t>(stamp >> 16), static_cast<std::uint8_t>(stamp >> 24)};
    for (bool hid : {true, false}) {
        auto l = open_link(hid, hid ? "TV-HID-0101" : "TV-USB-0202");
        ASSERT_TRUE(l->ok());
        EXPECT_EQ(eeprom_read(*l, 100, 4), data);
        EXPECT_EQ(eeprom_read(*l, 1000, 4), data);
        auto r = l->exchange(req(0x01, {{2, 0x77}, {4, 1}}));
        ASSERT_TRUE(r);
        EXPECT_EQ(le16(*r, 4), data[0] | (data[1] << 8));
    }
}

}  // namespace
