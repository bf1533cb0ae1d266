// A throwaway sysfs tree for tests of the USB reader enumeration.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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
