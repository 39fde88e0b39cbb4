#include "UsbSearch.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace fs = std::filesystem;

namespace platform {
namespace {

std::string g_sysfs = "/sys";
std::string g_dev = "/dev";

// Reads a one-line sysfs attribute without its line end; nullopt when absent.
std::optional<std::string> Attr(const fs::path& dir, const char* name) {
    std::ifstream in(dir / name);
    if (!in) return std::nullopt;
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

std::optional<std::uint32_t> HexAttr(const fs::path& dir, const char* name) {
    auto text = Attr(dir, name);
    if (!text) return std::nullopt;
    std::uint32_t v = 0;
    auto* first = text->data();
    auto* last = first + text->size();
    while (first < last && *first == ' ') ++first;
    auto [p, ec] = std::from_chars(first, last, v, 16);
    if (ec != std::errc{} || p == first) return std::nullopt;
    return v;
}

std::optional<std::uint32_t> DecAttr(const fs::path& dir, const char* name) {
    auto text = Attr(dir, name);
    if (!text) return std::nullopt;
    std::uint32_t v = 0;
    auto* first = text->data();
    auto* last = first + text->size();
    while (first < last && *first == ' ') ++first;
    auto [p, ec] = std::from_chars(first, last, v, 10);
    if (ec != std::errc{} || p == first) return std::nullopt;
    return v;
}

// "usb3" -> 3; otherwise nullopt.
std::optional<int> RootHubNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "usb") != 0) return std::nullopt;
    int n = 0;
    auto [p, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), n);
    if (ec != std::errc{} || p != name.data() + name.size()) return std::nullopt;
    return n;
}

// "1-4.2" -> {1, 4, 2}; interfaces ("1-4:1.0") and root hubs give nullopt.
std::optional<std::vector<int>> PortPath(const std::string& name) {
    if (name.find(':') != std::string::npos) return std::nullopt;
    auto dash = name.find('-');
    if (dash == std::string::npos || dash == 0) return std::nullopt;
    std::vector<int> path;
    const char* p = name.data();
    const char* end = name.data() + name.size();
    int v = 0;
    auto r = std::from_chars(p, p + dash, v);
    if (r.ec != std::errc{} || r.ptr != p + dash) return std::nullopt;
    path.push_back(v);
    p += dash + 1;
    while (p < end) {
        r = std::from_chars(p, end, v);
        if (r.ec != std::errc{} || r.ptr == p) return std::nullopt;
        path.push_back(v);
        p = r.ptr;
        if (p < end) {
            if (*p != '.') return std::nullopt;
            ++p;
        }
    }
    return path;
}

fs::path UsbDevicesDir() { return fs::path(g_sysfs) / "bus/usb/devices"; }

bool IsHub(const fs::path& dev) {
    auto cls = HexAttr(dev, "bDeviceClass");
    return cls && *cls == 0x09;
}

bool HasVendorInterface(const fs::path& devices, const std::string& name) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(devices, ec)) {
        const std::string child = entry.path().filename().string();
        if (child.size() > name.size() && child.compare(0, name.size(), name) == 0 && child[name.size()] == ':') {
            auto cls = HexAttr(entry.path(), "bInterfaceClass");
            if (cls && *cls == 0xff) return true;
        }
    }
    return false;
}

struct WalkTarget {
    std::uint32_t productId;
    std::uint32_t vendorId;
    const std::string& product;
    std::vector<std::string>& keys;
};

void EnumerateHub(const fs::path& hubDir, const std::string& childPrefix, WalkTarget& target, int depth) {
    // USB allows at most seven tiers; a deeper tree is a broken sysfs.
    if (depth > 7) return;
    auto ports = DecAttr(hubDir, "maxchild");
    if (!ports) return;
    for (std::uint32_t p = 1; p <= *ports && p <= 255; ++p) {
        const std::string name = childPrefix + std::to_string(p);
        const fs::path dev = hubDir / name;
        std::error_code ec;
        if (!fs::is_directory(dev, ec)) continue;  // nothing connected
        if (IsHub(dev)) {
            EnumerateHub(dev, name + ".", target, depth + 1);
            continue;
        }
        auto vid = HexAttr(dev, "idVendor");
        auto pid = HexAttr(dev, "idProduct");
        auto product = Attr(dev, "product");
        if (vid && pid && product && *vid == target.vendorId && *pid == target.productId &&
            *product == target.product)
            target.keys.push_back(name);
    }
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

}  // namespace

void SetUsbSearchRoots(std::string sysfsRoot, std::string devRoot) {
    g_sysfs = std::move(sysfsRoot);
    g_dev = std::move(devRoot);
}
const std::string& SysfsRoot() { return g_sysfs; }
const std::string& DevRoot() { return g_dev; }

std::vector<MpusbDevice> ListMpusbDevices() {
    const fs::path devices = UsbDevicesDir();
    std::vector<std::pair<std::vector<int>, MpusbDevice>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(devices, ec)) {
        const std::string name = entry.path().filename().string();
        auto path = PortPath(name);
        if (!path || !HasVendorInterface(devices, name)) continue;
        MpusbDevice d;
        d.name = name;
        d.busnum = DecAttr(entry.path(), "busnum").value_or(0);
        d.devnum = DecAttr(entry.path(), "devnum").value_or(0);
        d.vendorId = static_cast<std::uint16_t>(HexAttr(entry.path(), "idVendor").value_or(0));
        d.productId = static_cast<std::uint16_t>(HexAttr(entry.path(), "idProduct").value_or(0));
        found.emplace_back(std::move(*path), std::move(d));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<MpusbDevice> list;
    for (auto& f : found) list.push_back(std::move(f.second));
    return list;
}

BOOL FindMpusbInstances(std::uint32_t productId, std::uint32_t vendorId, const std::string& productString,
                        std::vector<std::int32_t>& instances) {
    instances.clear();
    std::vector<std::string> keys;
    WalkTarget target{productId, vendorId, productString, keys};

    // Host controllers: the root hubs usbN, in bus order.
    std::vector<std::pair<int, fs::path>> roots;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(UsbDevicesDir(), ec)) {
        if (auto n = RootHubNumber(entry.path().filename().string())) roots.emplace_back(*n, entry.path());
    }
    std::sort(roots.begin(), roots.end());
    for (const auto& [bus, link] : roots) {
        std::error_code rec;
        fs::path hub = fs::canonical(link, rec);
        if (rec) continue;
        EnumerateHub(hub, std::to_string(bus) + "-", target, 1);
    }
    if (keys.empty()) return FALSE;

    // Resolve to instance numbers in the order of the MPUSB list.
    const auto list = ListMpusbDevices();
    for (std::size_t i = 0; i < list.size() && i < kMaxInterfaces; ++i)
        if (std::find(keys.begin(), keys.end(), list[i].name) != keys.end())
            instances.push_back(static_cast<std::int32_t>(i));
    return instances.empty() ? FALSE : TRUE;
}

BOOL FindHidPaths(std::vector<std::int32_t>& indexes, std::vector<std::string>& paths, std::uint32_t productId) {
    indexes.clear();
    paths.clear();
    char pattern[40];
    std::snprintf(pattern, sizeof pattern, "vid_%04x&pid_%0x", 0x2403u, productId);

    std::vector<std::pair<int, std::string>> nodes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(g_sysfs) / "class/hidraw", ec)) {
        const std::string name = entry.path().filename().string();
        int n = 0;
        if (name.compare(0, 6, "hidraw") != 0) continue;
        auto [p, pec] = std::from_chars(name.data() + 6, name.data() + name.size(), n);
        if (pec != std::errc{} || p != name.data() + name.size()) continue;
        nodes.emplace_back(n, name);
    }
    std::sort(nodes.begin(), nodes.end());

    for (std::size_t i = 0; i < nodes.size() && i < kMaxInterfaces; ++i) {
        const std::string& name = nodes[i].second;
        std::ifstream uevent(fs::path(g_sysfs) / "class/hidraw" / name / "device/uevent");
        std::string line;
        unsigned bus = 0, vid = 0, pid = 0;
        bool have = false;
        while (std::getline(uevent, line))
            if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vid, &pid) == 3) have = true;
        if (!have) continue;
        // The interface text names the device as the HID class does,
        // "vid_VVVV&pid_PPPP"; it is matched in lower case.
        char text[96];
        std::snprintf(text, sizeof text, "hid#vid_%04x&pid_%04x#%s", vid & 0xffffu, pid & 0xffffu, name.c_str());
        if (Lower(text).find(pattern) == std::string::npos) continue;
        indexes.push_back(static_cast<std::int32_t>(i));
        paths.push_back(g_dev + "/" + Lower(name));
    }
    return indexes.empty() ? FALSE : TRUE;
}

std::vector<std::string> FindInterfacePaths(const std::string& classGuid) {
    std::string guid = Lower(classGuid);
    if (guid.empty() || guid.front() != '{') guid = "{" + guid + "}";
    const fs::path dir = fs::path(g_dev) / "quenlor" / guid;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::error_code dec;
        if (entry.is_directory(dec)) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    if (names.size() > kMaxInterfaces) names.resize(kMaxInterfaces);
    std::vector<std::string> paths;
    for (const auto& n : names) {
        std::string path = (dir / n).string();
        if (path.size() <= 255) paths.push_back(path);
    }
    return paths;
}

}  // namespace platform
