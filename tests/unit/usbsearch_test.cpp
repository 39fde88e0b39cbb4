#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/UsbSearch.h"

namespace fs = std::filesystem;

namespace {

// A sysfs tree laid out as the kernel lays out USB devices.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("usbsearch-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "bus/usb/devices");
        fs::create_directories(root / "class/hidraw");
        platform::SetUsbSearchRoots((root).string(), (root / "dev").string());
    }
    void TearDown() override {
        platform::SetUsbSearchRoots("/sys", "/dev");
        fs::remove_all(root);
    }
    static void Put(const fs::path& dir, const char* name, const std::string& value) {
        std::ofstream(dir / name) << value << "\n";
    }
    fs::path RootHub(int bus, int ports) {
        fs::path dir = root / "devices/pci0000:00/0000:00:14.0" / ("usb" + std::to_string(bus));
        fs::create_directories(dir);
        Put(dir, "bDeviceClass", "09");
        Put(dir, "maxchild", std::to_string(ports));
        Put(dir, "idVendor", "1d6b");
        Put(dir, "idProduct", "0002");
        fs::create_directory_symlink(dir, root / "bus/usb/devices" / ("usb" + std::to_string(bus)));
        return dir;
    }
    fs::path Device(const fs::path& parent, const std::string& name, const std::string& product,
                    const std::string& pid = "1688", const char* ifaceClass = "ff") {
        fs::path dir = parent / name;
        fs::create_directories(dir);
        Put(dir, "bDeviceClass", "00");
        Put(dir, "idVendor", "2403");
        Put(dir, "idProduct", pid);
        if (!product.empty()) Put(dir, "product", product);
        Put(dir, "busnum", name.substr(0, name.find('-')));
        Put(dir, "devnum", std::to_string(++devnum));
        fs::path iface = dir / (name + ":1.0");
        fs::create_directories(iface);
        Put(iface, "bInterfaceClass", ifaceClass);
        fs::create_directory_symlink(dir, root / "bus/usb/devices" / name);
        fs::create_directory_symlink(iface, root / "bus/usb/devices" / (name + ":1.0"));
        return dir;
    }
    fs::path Hub(const fs::path& parent, const std::string& name, int ports) {
        fs::path dir = Device(parent, name, "Hub", "0001", "09");
        Put(dir, "bDeviceClass", "09");
        Put(dir, "maxchild", std::to_string(ports));
        return dir;
    }
    void Hidraw(int n, const std::string& hidId) {
        fs::path hid = root / "devices/hid" / ("000" + std::to_string(n));
        fs::create_directories(hid);
        Put(hid, "uevent", "DRIVER=hid-generic\nHID_ID=" + hidId + "\nHID_NAME=x");
        fs::path node = root / "class/hidraw" / ("hidraw" + std::to_string(n));
        fs::create_directories(node);
        fs::create_directory_symlink(hid, node / "device");
    }
    fs::path root;
    int devnum = 1;
};

const char* kTesk = "Quenlor Tesk-100/200";

}  // namespace

TEST_F(FakeSysfs, WalkMatchesExactProductStringBehindHubsInInstanceOrder) {
    fs::path bus1 = RootHub(1, 4);
    fs::path bus2 = RootHub(2, 2);
    Device(bus1, "1-1", kTesk);
    Device(bus1, "1-2", "Quenlor Tesk-300");
    Device(bus1, "1-3", "quenlor tesk-100/200");
    fs::path hub = Hub(bus1, "1-4", 2);
    fs::path inner = Hub(hub, "1-4.1", 3);
    Device(inner, "1-4.1.3", kTesk);
    Device(bus2, "2-2", kTesk, "1688", "00");  // no vendor interface: not an MPUSB instance
    Device(bus2, "2-1", kTesk);

    // MPUSB list: 1-1, 1-2, 1-3, 1-4.1.3, 2-1 (hubs and 2-2 have no vendor interface).
    auto list = platform::ListMpusbDevices();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[3].name, "1-4.1.3");

    std::vector<std::int32_t> instances = {99};
    EXPECT_TRUE(platform::FindMpusbInstances(0x1688, 0x2403, kTesk, instances));
    EXPECT_EQ(instances, (std::vector<std::int32_t>{0, 3, 4}));
    EXPECT_TRUE(platform::FindMpusbInstances(0x1688, 0x2403, "Quenlor Tesk-300", instances));
    EXPECT_EQ(instances, (std::vector<std::int32_t>{1}));
    EXPECT_FALSE(platform::FindMpusbInstances(0x1689, 0x2403, kTesk, instances));
    EXPECT_TRUE(instances.empty());
}

TEST_F(FakeSysfs, DevicesWithoutProductStringOrHostControllersAreNotMatched) {
    std::vector<std::int32_t> instances = {1};
    EXPECT_FALSE(platform::FindMpusbInstances(0x1688, 0x2403, kTesk, instances));
    EXPECT_TRUE(instances.empty());
    fs::path bus1 = RootHub(1, 2);
    Device(bus1, "1-1", "");
    EXPECT_FALSE(platform::FindMpusbInstances(0x1688, 0x2403, "", instances));
}

TEST_F(FakeSysfs, HidPathsMatchVendorAndShortProductPattern) {
    Hidraw(0, "0003:00002403:00001705");
    Hidraw(1, "0003:00002403:00000017");
    Hidraw(2, "0003:00001234:00001705");
    Hidraw(10, "0003:00002403:00001705");
    std::vector<std::int32_t> indexes;
    std::vector<std::string> paths;
    EXPECT_TRUE(platform::FindHidPaths(indexes, paths, 0x1705));
    EXPECT_EQ(indexes, (std::vector<std::int32_t>{0, 3}));
    EXPECT_EQ(paths[1], (root / "dev/hidraw10").string());
    // A product ID below 0x1000 forms a pattern without leading zeros: it never
    // matches its own four-digit field, only longer IDs that begin alike.
    EXPECT_TRUE(platform::FindHidPaths(indexes, paths, 0x17));
    EXPECT_EQ(indexes, (std::vector<std::int32_t>{0, 3}));
    EXPECT_FALSE(platform::FindHidPaths(indexes, paths, 0x18));
    EXPECT_TRUE(paths.empty());
}

TEST_F(FakeSysfs, InterfacePathsOfAClassInNameOrder) {
    fs::path cls = root / "dev/quenlor/{dfee6909-ca08-4bf6-9bd7-12c3511de4ae}";
    fs::create_directories(cls / "tesk-b");
    fs::create_directories(cls / "tesk-a");
    auto paths = platform::FindInterfacePaths("{DFEE6909-CA08-4BF6-9BD7-12C3511DE4AE}");
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], (cls / "tesk-a").string());
    EXPECT_TRUE(platform::FindInterfacePaths("{00000000-0000-0000-0000-000000000000}").empty());
}
