#include "platform/posix/usb_devices.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct UsbInterface {
    std::string number;  // bInterfaceNumber, as the kernel prints it: "00"
    std::string cls;     // bInterfaceClass: "0b" smart card, "03" HID, "08" storage, "09" hub
};

struct UsbDevice {
    std::string name;  // sysfs name: "1-1", or "1-1.2" behind a hub on port 1
    std::string vendor = "0d3b";
    std::string product = "6173";
    std::optional<std::string> serial = std::nullopt;  // no serial file when empty
    std::vector<UsbInterface> interfaces = {{"00", "0b"}};
};

// A throwaway sysfs in a temporary folder, laid out as the kernel lays it out:
// device and interface directories nested under devices/pci0000:00/..., and
// bus/usb/devices holding relative symlinks to every one of them.
class FakeSysfs {
public:
    FakeSysfs() {
        std::string pattern = (fs::temp_directory_path() / "usb_devices_test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        fs::create_directories(root_ / "bus/usb/devices");
    }
    ~FakeSysfs() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    const fs::path& Root() const { return root_; }

    void Add(const UsbDevice& device) {
        const fs::path dir = DeviceDir(device.name);
        fs::create_directories(dir);
        Write(dir / "idVendor", device.vendor + "\n");
        Write(dir / "idProduct", device.product + "\n");
        // The kernel pads the interface count to two places.
        const std::string count = std::to_string(device.interfaces.size());
        Write(dir / "bNumInterfaces", (count.size() < 2 ? " " : "") + count + "\n");
        if (device.serial) Write(dir / "serial", *device.serial + "\n");
        Link(device.name, dir);

        for (const UsbInterface& interface : device.interfaces) {
            const std::string name = device.name + ":1." + std::to_string(std::stoi(interface.number, nullptr, 16));
            const fs::path interfaceDir = dir / name;
            fs::create_directories(interfaceDir);
            Write(interfaceDir / "bInterfaceNumber", interface.number + "\n");
            Write(interfaceDir / "bInterfaceClass", interface.cls + "\n");
            Link(name, interfaceDir);
        }
    }

    // `relative` is taken from the root, so bus/usb/devices/1-2/idVendor
    // reaches the device's real directory through its link.
    void Write(const fs::path& relative, std::string_view content) const {
        std::ofstream out(root_ / relative, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + (root_ / relative).string());
    }
    void Remove(const fs::path& relative) const { fs::remove(root_ / relative); }
    void MakeDirectory(const fs::path& relative) const { fs::create_directory(root_ / relative); }

private:
    // devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2 for "1-1.2".
    fs::path DeviceDir(const std::string& name) const {
        const std::size_t dash = name.find('-');
        fs::path dir = root_ / "devices/pci0000:00/0000:00:14.0" / ("usb" + name.substr(0, dash));
        for (std::size_t dot = name.find('.', dash); dot != std::string::npos; dot = name.find('.', dot + 1)) {
            dir /= name.substr(0, dot);
        }
        return dir / name;
    }
    void Link(const std::string& name, const fs::path& target) const {
        const fs::path link = root_ / "bus/usb/devices" / name;
        fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
    }

    fs::path root_;
};

#define READER_GUID u"#{50dd5230-ba8a-11d1-bf5d-0000f805f530}"

// ------------------------------------------------------------ fixture trees

struct TreeCase {
    const char* name;
    std::vector<UsbDevice> devices;
    std::vector<std::u16string> expected;
};

void PrintTo(const TreeCase& tree, std::ostream* os) { *os << tree.name; }

class UsbTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(UsbTreeTest, ListsEachSmartCardInterfaceAsDevicePath) {
    FakeSysfs sysfs;
    for (const UsbDevice& device : GetParam().devices) sysfs.Add(device);
    EXPECT_EQ(usb::EnumerateReaderInterfacePaths(sysfs.Root()), GetParam().expected);
}

const std::string kLongSerial(250, 'S');

INSTANTIATE_TEST_SUITE_P(
    Trees, UsbTreeTest,
    ::testing::Values(
        TreeCase{"OneSupportedReader",
                 {{.name = "1-1", .serial = "ABC123"}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)" READER_GUID}},
        TreeCase{"SupportedReaderBesideOtherReaderHubAndStorage",
                 {{.name = "1-1", .serial = "ABC123"},
                  {.name = "1-2", .vendor = "1a2b", .product = "00c4", .serial = "OTHER-01"},
                  {.name = "1-3", .vendor = "05e3", .product = "0610", .interfaces = {{"00", "09"}}},
                  {.name = "2-1", .vendor = "0951", .product = "1666", .serial = "STORAGE01",
                   .interfaces = {{"00", "08"}}}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)" READER_GUID,
                  uR"(\\?\usb#vid_1a2b&pid_00c4#OTHER-01)" READER_GUID}},
        TreeCase{"TwoSupportedReadersInPortOrder",
                 {{.name = "1-10", .serial = "READER-B"}, {.name = "1-2", .serial = "READER-A"}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#READER-A)" READER_GUID,
                  uR"(\\?\usb#vid_0d3b&pid_6173#READER-B)" READER_GUID}},
        TreeCase{"CompositeReaderBehindHidInterface",
                 {{.name = "1-1", .serial = "ABC123", .interfaces = {{"00", "03"}, {"01", "0b"}}}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173&mi_01#ABC123)" READER_GUID}},
        TreeCase{"CompositeWithTwoSmartCardInterfaces",
                 {{.name = "1-1", .serial = "DUAL",
                   .interfaces = {{"0a", "0b"}, {"01", "03"}, {"00", "0b"}}}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173&mi_00#DUAL)" READER_GUID,
                  uR"(\\?\usb#vid_0d3b&pid_6173&mi_0a#DUAL)" READER_GUID}},
        TreeCase{"ReaderWithoutSerialBehindHub",
                 {{.name = "1-1", .vendor = "05e3", .product = "0610", .interfaces = {{"00", "09"}}},
                  {.name = "1-1.2"}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#1-1.2)" READER_GUID}},
        TreeCase{"EmptySerialFallsBackToDeviceName",
                 {{.name = "1-1.2", .serial = ""}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#1-1.2)" READER_GUID}},
        TreeCase{"SerialIsDecodedFromUtf8",
                 {{.name = "1-1", .serial = "Z\xC3\xBCrich-7"}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#Z)" u"\u00FC" u"rich-7" READER_GUID}},
        TreeCase{"PathLongerThan260IsHeldWhole",
                 {{.name = "1-1", .serial = kLongSerial}},
                 {uR"(\\?\usb#vid_0d3b&pid_6173#)" + std::u16string(kLongSerial.begin(), kLongSerial.end()) +
                  READER_GUID}},
        TreeCase{"NoSmartCardInterface",
                 {{.name = "1-1", .vendor = "0951", .product = "1666", .serial = "STORAGE01",
                   .interfaces = {{"00", "08"}}}},
                 {}}),
    [](const ::testing::TestParamInfo<TreeCase>& tree) { return std::string(tree.param.name); });

TEST(UsbDevicesTest, MissingSysRootGivesEmptyList) {
    FakeSysfs sysfs;
    EXPECT_TRUE(usb::EnumerateReaderInterfacePaths(sysfs.Root() / "no-such-folder").empty());
}

// --------------------------------------------------- broken device beside a good one

enum class Damage { Remove, Overwrite, ReplaceWithFolder };

struct BrokenCase {
    const char* name;
    const char* file;  // from the sysfs root
    Damage damage;
    const char* content = "";
};

void PrintTo(const BrokenCase& broken, std::ostream* os) { *os << broken.name; }

class BrokenDeviceTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenDeviceTest, IsLeftOutAndTheGoodReaderStillListed) {
    FakeSysfs sysfs;
    sysfs.Add({.name = "1-1", .serial = "GOOD"});
    sysfs.Add({.name = "1-2", .serial = "BROKEN"});

    const BrokenCase& broken = GetParam();
    switch (broken.damage) {
    case Damage::Remove:
        sysfs.Remove(broken.file);
        break;
    case Damage::Overwrite:
        sysfs.Write(broken.file, broken.content);
        break;
    case Damage::ReplaceWithFolder:
        sysfs.Remove(broken.file);
        sysfs.MakeDirectory(broken.file);
        break;
    }

    const std::vector<std::u16string> expected = {uR"(\\?\usb#vid_0d3b&pid_6173#GOOD)" READER_GUID};
    EXPECT_EQ(usb::EnumerateReaderInterfacePaths(sysfs.Root()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, BrokenDeviceTest,
    ::testing::Values(
        BrokenCase{"NoVendorId", "bus/usb/devices/1-2/idVendor", Damage::Remove},
        BrokenCase{"NoProductId", "bus/usb/devices/1-2/idProduct", Damage::Remove},
        BrokenCase{"VendorIdNotHex", "bus/usb/devices/1-2/idVendor", Damage::Overwrite, "0dxb\n"},
        BrokenCase{"ProductIdTooShort", "bus/usb/devices/1-2/idProduct", Damage::Overwrite, "617\n"},
        BrokenCase{"VendorIdEmpty", "bus/usb/devices/1-2/idVendor", Damage::Overwrite, ""},
        BrokenCase{"NoInterfaceCount", "bus/usb/devices/1-2/bNumInterfaces", Damage::Remove},
        BrokenCase{"SerialUnreadable", "bus/usb/devices/1-2/serial", Damage::ReplaceWithFolder},
        BrokenCase{"NoInterfaceClass", "bus/usb/devices/1-2:1.0/bInterfaceClass", Damage::Remove},
        BrokenCase{"InterfaceClassNotHex", "bus/usb/devices/1-2:1.0/bInterfaceClass", Damage::Overwrite,
                   "zz\n"},
        BrokenCase{"NoInterfaceNumber", "bus/usb/devices/1-2:1.0/bInterfaceNumber", Damage::Remove},
        BrokenCase{"NoDeviceEntry", "bus/usb/devices/1-2", Damage::Remove}),
    [](const ::testing::TestParamInfo<BrokenCase>& broken) { return std::string(broken.param.name); });

}  // namespace
