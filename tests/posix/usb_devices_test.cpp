#include "platform/posix/usb_devices.h"
#include "tests/posix/fake_sysfs.h"

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
