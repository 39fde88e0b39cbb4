#include "usb_tree.hpp"

#include <glib.h>
#include <umockdev.h>

#include "protocol.hpp"

#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>

namespace lab {

namespace {

constexpr const char* kControllerPath = "/sys/devices/pci0000:00/0000:00:14.0";
constexpr int kUsbMajor = 189;

void put_le16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x & 0xff));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

std::vector<std::uint8_t> device_descriptor(std::uint8_t cls, std::uint8_t proto, std::uint16_t vid,
                                            std::uint16_t pid, std::uint16_t bcd, std::uint8_t imanuf,
                                            std::uint8_t iproduct, std::uint8_t iserial) {
    std::vector<std::uint8_t> d{18, 0x01};
    put_le16(d, 0x0200);  // bcdUSB
    d.insert(d.end(), {cls, 0x00, proto, 64});
    put_le16(d, vid);
    put_le16(d, pid);
    put_le16(d, bcd);
    d.insert(d.end(), {imanuf, iproduct, iserial, 1});
    return d;
}

struct Endpoint {
    std::uint8_t address, attributes;
    std::uint16_t max_packet;
    std::uint8_t interval;
};

std::vector<std::uint8_t> config_descriptor(std::uint8_t attributes, std::uint8_t max_power_2ma,
                                            std::uint8_t iface_class, const std::vector<Endpoint>& eps,
                                            const std::vector<std::uint8_t>& class_desc = {}) {
    std::vector<std::uint8_t> c{9, 0x02, 0, 0, 1, 1, 0, attributes, max_power_2ma};
    c.insert(c.end(), {9, 0x04, 0, 0, static_cast<std::uint8_t>(eps.size()), iface_class, 0, 0, 0});
    c.insert(c.end(), class_desc.begin(), class_desc.end());
    for (const Endpoint& e : eps) {
        c.insert(c.end(), {7, 0x05, e.address, e.attributes});
        put_le16(c, e.max_packet);
        c.push_back(e.interval);
    }
    c[2] = static_cast<std::uint8_t>(c.size() & 0xff);
    c[3] = static_cast<std::uint8_t>(c.size() >> 8);
    return c;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (std::uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

// Attribute values go through g_strcompress(): escape backslashes, end with a newline.
std::string attr_text(const std::string& v) {
    std::string s;
    for (char c : v) {
        if (c == '\\') s += "\\\\";
        else s += c;
    }
    return s + "\\n";
}

std::string fmt(const char* f, int v) {
    char b[32];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

std::uint16_t le16(const std::vector<std::uint8_t>& d, std::size_t at) {
    return at + 1 < d.size() ? static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8)) : 0;
}

}  // namespace

const std::vector<std::uint8_t>& hid_report_descriptor() {
    static const std::vector<std::uint8_t> d{
        0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection (application)
        0x15, 0x00,        //   logical minimum 0
        0x26, 0xFF, 0x00,  //   logical maximum 255
        0x75, 0x08,        //   report size 8
        0x95, 0x40,        //   report count 64
        0x09, 0x01,        //   usage 1
        0x81, 0x02,        //   input (data, variable, absolute)
        0x95, 0x40,        //   report count 64
        0x09, 0x01,        //   usage 1
        0x91, 0x02,        //   output (data, variable, absolute)
        0xC0,              // end collection
    };
    return d;
}

std::vector<UsbNode> plan_usb_tree(const LabConfig& cfg) {
    std::vector<UsbNode> nodes;
    UsbNode root;
    root.name = "usb1";
    root.syspath = std::string(kControllerPath) + "/usb1";
    root.interface_name = "1-0:1.0";
    root.interface_syspath = root.syspath + "/1-0:1.0";
    root.devnum = 1;
    root.hub = true;
    root.maxchild = kRootHubPorts;
    root.desc.device = device_descriptor(0x09, 0x01, 0x1d6b, 0x0002, 0x0601, 3, 2, 1);
    root.desc.config = config_descriptor(0xe0, 0, 0x09, {{0x81, 0x03, 4, 12}});
    root.desc.strings = {"0000:00:14.0", "xHCI Host Controller", "Linux 6.1.0 xhci-hcd"};
    nodes.push_back(root);

    // Where each hub sits: name -> index into nodes.
    std::map<std::string, std::size_t> placed;
    auto place = [&](const std::string& parent, int port, UsbNode& n) -> bool {
        const UsbNode* p = &nodes[0];
        if (!parent.empty()) {
            auto it = placed.find(parent);
            if (it == placed.end()) return false;
            p = &nodes[it->second];
        }
        n.name = p->devnum == 1 ? "1-" + std::to_string(port) : p->name + "." + std::to_string(port);
        n.syspath = p->syspath + "/" + n.name;
        n.interface_name = n.name + ":1.0";
        n.interface_syspath = n.syspath + "/" + n.interface_name;
        return true;
    };

    // Hubs parents-first (config validation excludes loops).
    std::vector<bool> done(cfg.hubs.size(), false);
    for (bool progress = true; progress;) {
        progress = false;
        for (std::size_t i = 0; i < cfg.hubs.size(); ++i) {
            if (done[i]) continue;
            const HubConfig& h = cfg.hubs[i];
            UsbNode n;
            if (!place(h.parent, h.port, n)) continue;
            n.hub = true;
            n.maxchild = h.ports;
            n.devnum = static_cast<int>(nodes.size()) + 1;
            n.desc.device = device_descriptor(0x09, 0x01, 0x05e3, 0x0608, 0x6060, 0, 1, 0);
            n.desc.config = config_descriptor(0xe0, 50, 0x09, {{0x81, 0x03, 1, 12}});
            n.desc.strings = {"USB2.0 Hub"};
            placed[h.name] = nodes.size();
            nodes.push_back(n);
            done[i] = progress = true;
        }
    }
    for (std::size_t i = 0; i < cfg.devices.size(); ++i) {
        const DeviceConfig& d = cfg.devices[i];
        UsbNode n;
        if (!place(d.parent, d.port, n)) throw std::runtime_error("device " + d.name + ": parent hub not placed");
        n.device_index = static_cast<int>(i);
        n.devnum = static_cast<int>(nodes.size()) + 1;
        n.desc.device = device_descriptor(0x00, 0x00, d.vid, d.pid, d.bcd_device, 1, 2, 3);
        n.ep_out = d.protocol->out_endpoint;
        n.hid = d.kind->hidraw;
        if (n.hid) {
            const auto rd = static_cast<std::uint16_t>(hid_report_descriptor().size());
            const std::vector<std::uint8_t> hid_desc{9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22,
                                                     static_cast<std::uint8_t>(rd & 0xff), static_cast<std::uint8_t>(rd >> 8)};
            n.desc.config = config_descriptor(0x80, 50, d.kind->interface_class,
                                              {{kEpIn, 0x03, kEpMaxPacket, 1}, {n.ep_out, 0x03, kEpMaxPacket, 1}},
                                              hid_desc);
        } else {
            n.desc.config = config_descriptor(0x80, 50, d.kind->interface_class,
                                              {{kEpIn, 0x02, kEpMaxPacket, 0}, {n.ep_out, 0x02, kEpMaxPacket, 0}});
        }
        n.desc.strings = {d.manufacturer, d.product, d.serial};
        nodes.push_back(n);
    }
    for (UsbNode& n : nodes) {
        char dn[64];
        std::snprintf(dn, sizeof dn, "/dev/bus/usb/%03d/%03d", n.busnum, n.devnum);
        n.devnode = dn;
    }
    return nodes;
}

std::string describe_usb_node(const UsbNode& n) {
    const auto& dd = n.desc.device;
    const auto& cd = n.desc.config;
    const std::uint16_t vid = le16(dd, 8), pid = le16(dd, 10), bcd = le16(dd, 12);
    const int dev_class = dd[4], dev_proto = dd[6];
    const int iface_class = cd[9 + 5];
    const int num_eps = cd[9 + 4];
    const bool root = n.devnum == 1;
    const int minor = (n.busnum - 1) * 128 + (n.devnum - 1);
    char product_id[32];
    std::snprintf(product_id, sizeof product_id, "%x/%x/%x", vid, pid, bcd);
    const std::string type = fmt("%d", dev_class) + "/0/" + fmt("%d", dev_proto);

    auto string_attr = [&](const char* name, int index_at) {
        const int idx = dd[static_cast<std::size_t>(index_at)];
        if (idx == 0 || idx > static_cast<int>(n.desc.strings.size())) return std::string();
        return std::string("A: ") + name + "=" + attr_text(n.desc.strings[static_cast<std::size_t>(idx - 1)]) + "\n";
    };

    std::string devpath = root ? "0" : n.name.substr(2);  // 1-4.2 -> 4.2
    std::string t;
    t += "P: " + n.syspath.substr(4) + "\n";
    t += "N: " + n.devnode.substr(5) + "\n";
    t += "E: SUBSYSTEM=usb\n";
    t += "E: DEVTYPE=usb_device\n";
    t += "E: DRIVER=usb\n";
    t += "E: DEVNAME=" + n.devnode.substr(5) + "\n";
    t += "E: MAJOR=" + fmt("%d", kUsbMajor) + "\n";
    t += "E: MINOR=" + fmt("%d", minor) + "\n";
    t += std::string("E: PRODUCT=") + product_id + "\n";
    t += "E: TYPE=" + type + "\n";
    t += "E: BUSNUM=" + fmt("%03d", n.busnum) + "\n";
    t += "E: DEVNUM=" + fmt("%03d", n.devnum) + "\n";
    t += "A: authorized=1\\n\n";
    t += "A: avoid_reset_port=0\\n\n";
    t += "A: bConfigurationValue=1\\n\n";
    t += "A: bDeviceClass=" + fmt("%02x", dev_class) + "\\n\n";
    t += "A: bDeviceProtocol=" + fmt("%02x", dev_proto) + "\\n\n";
    t += "A: bDeviceSubClass=00\\n\n";
    t += "A: bMaxPacketSize0=" + fmt("%d", dd[7]) + "\\n\n";
    t += "A: bMaxPower=" + fmt("%dmA", cd[8] * 2) + "\\n\n";
    t += "A: bNumConfigurations=1\\n\n";
    t += "A: bNumInterfaces=" + fmt("%2d", cd[4]) + "\\n\n";
    t += "A: bcdDevice=" + fmt("%04x", bcd) + "\\n\n";
    t += "A: bmAttributes=" + fmt("%2x", cd[7]) + "\\n\n";
    t += "A: busnum=" + fmt("%d", n.busnum) + "\\n\n";
    t += "A: configuration=\\n\n";
    t += "A: dev=" + fmt("%d", kUsbMajor) + ":" + fmt("%d", minor) + "\\n\n";
    t += "A: devnum=" + fmt("%d", n.devnum) + "\\n\n";
    t += "A: devpath=" + devpath + "\\n\n";
    t += "A: idProduct=" + fmt("%04x", pid) + "\\n\n";
    t += "A: idVendor=" + fmt("%04x", vid) + "\\n\n";
    t += "A: ltm_capable=no\\n\n";
    t += string_attr("manufacturer", 14);
    t += "A: maxchild=" + fmt("%d", n.maxchild) + "\\n\n";
    t += string_attr("product", 15);
    t += "A: quirks=0x0\\n\n";
    t += std::string("A: removable=") + (root ? "unknown" : "removable") + "\\n\n";
    t += string_attr("serial", 16);
    t += std::string("A: speed=") + (n.hub ? "480" : "12") + "\\n\n";
    t += "A: urbnum=1\\n\n";
    t += "A: version= 2.00\\n\n";
    t += "H: descriptors=" + hex(dd) + hex(cd) + "\n";
    t += "\n";

    char modalias[128];
    std::snprintf(modalias, sizeof modalias, "usb:v%04Xp%04Xd%04Xdc%02Xdsc00dp%02Xic%02Xisc00ip00in00", vid, pid,
                  bcd, dev_class, dev_proto, iface_class);
    t += "P: " + n.interface_syspath.substr(4) + "\n";
    t += "E: SUBSYSTEM=usb\n";
    t += "E: DEVTYPE=usb_interface\n";
    if (n.hub) t += "E: DRIVER=hub\n";
    if (n.hid) t += "E: DRIVER=usbhid\n";
    t += std::string("E: PRODUCT=") + product_id + "\n";
    t += "E: TYPE=" + type + "\n";
    t += "E: INTERFACE=" + fmt("%d", iface_class) + "/0/0\n";
    t += std::string("E: MODALIAS=") + modalias + "\n";
    t += "A: authorized=1\\n\n";
    t += "A: bAlternateSetting= 0\\n\n";
    t += "A: bInterfaceClass=" + fmt("%02x", iface_class) + "\\n\n";
    t += "A: bInterfaceNumber=00\\n\n";
    t += "A: bInterfaceProtocol=00\\n\n";
    t += "A: bInterfaceSubClass=00\\n\n";
    t += "A: bNumEndpoints=" + fmt("%02x", num_eps) + "\\n\n";
    t += std::string("A: modalias=") + modalias + "\\n\n";
    t += "A: supports_autosuspend=1\\n\n";
    // Endpoint descriptors follow the interface, perhaps after class descriptors.
    for (std::size_t at = 18; at + 7 <= cd.size() && cd[at] >= 2; at += cd[at]) {
        if (cd[at + 1] != 0x05) continue;
        const int addr = cd[at + 2], attr = cd[at + 3];
        const std::string ep = "ep_" + fmt("%02x", addr) + "/";
        t += "A: " + ep + "bEndpointAddress=" + fmt("%02x", addr) + "\\n\n";
        t += "A: " + ep + "bmAttributes=" + fmt("%02x", attr) + "\\n\n";
        t += "A: " + ep + "wMaxPacketSize=" + fmt("%04x", le16(cd, at + 4)) + "\\n\n";
        t += "A: " + ep + "bInterval=" + fmt("%02x", cd[at + 6]) + "\\n\n";
        t += "A: " + ep + "type=" + ((attr & 3) == 2 ? "Bulk" : "Interrupt") + "\\n\n";
        t += "A: " + ep + "direction=" + ((addr & 0x80) ? "in" : "out") + "\\n\n";
    }
    t += "\n";
    return t;
}

namespace {

void add_node_text(UMockdevTestbed* testbed, const UsbNode& n) {
    GError* err = nullptr;
    const std::string text = describe_usb_node(n);
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &err)) {
        std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error("sysfs: " + n.name + ": " + msg);
    }
}

void add_bus_links(UMockdevTestbed* testbed, const UsbNode& n) {
    namespace fs = std::filesystem;
    gchar* sys = umockdev_testbed_get_sys_dir(testbed);
    const fs::path bus = fs::path(sys) / "bus/usb/devices";
    g_free(sys);
    std::error_code ec;
    fs::create_directories(bus, ec);
    for (const auto& [name, path] : {std::pair{n.name, n.syspath}, std::pair{n.interface_name, n.interface_syspath}}) {
        const fs::path link = bus / name;
        if (fs::symlink_status(link, ec).type() == fs::file_type::symlink) continue;
        fs::create_symlink("../../.." + path.substr(4), link, ec);
        if (ec) throw std::runtime_error("sysfs: link " + link.string() + ": " + ec.message());
    }
}

}  // namespace

void add_usb_node(UMockdevTestbed* testbed, const UsbNode& node) {
    add_node_text(testbed, node);
    add_bus_links(testbed, node);
}

void add_usb_tree(UMockdevTestbed* testbed, const std::vector<UsbNode>& nodes,
                  const std::function<bool(const UsbNode&)>& later) {
    GError* err = nullptr;
    const std::string controller =
        "P: /devices/pci0000:00/0000:00:14.0\n"
        "E: SUBSYSTEM=pci\n"
        "E: DRIVER=xhci_hcd\n"
        "E: PCI_CLASS=C0330\n"
        "E: PCI_ID=8086:A36D\n"
        "A: class=0x0c0330\\n\n"
        "A: vendor=0x8086\\n\n"
        "A: device=0xa36d\\n\n\n";
    if (!umockdev_testbed_add_from_string(testbed, controller.c_str(), &err)) {
        std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error("sysfs: host controller: " + msg);
    }
    for (const UsbNode& n : nodes)
        if (!later || !later(n)) add_node_text(testbed, n);
    // libusb and plain sysfs walks list /sys/bus/usb/devices: every device and
    // interface must have its link there.
    for (const UsbNode& n : nodes)
        if (!later || !later(n)) add_bus_links(testbed, n);
}

}  // namespace lab
