// The reader's identity as the tool reports it, from sysfs fixture trees:
// the exact lines, right after "Reader is connected! ", once per plug-in,
// on the console and in the log.
#include <gtest/gtest.h>

#include "platform/posix/usb_devices.h"
#include "reader_id/reader_identity.h"
#include "tests/fake/fake_platform.h"
#include "tests/posix/fake_sysfs.h"
#include "tests/unit/tool_test.h"

namespace {

struct IdentityCase {
    const char* name;
    std::vector<UsbDevice> devices;
    std::u16string reported;  // the lines after "Reader is connected! "
};

// Test names, not byte dumps, in listings and failures.
void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name; }

class IdentityReport : public ToolTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityReport, FollowsTheConnectedLineOncePerPlugIn) {
    const IdentityCase& c = GetParam();
    FakeSysfs sysfs;
    for (const UsbDevice& device : c.devices) sysfs.Add(device);
    world().interfacePaths = usb::EnumerateReaderInterfacePaths(sysfs.Root());

    WriteConfig(kLogOn);
    world().Plug(kReader);
    world().At(1000, [](fake::World& w) { w.Unplug(kReader); });
    world().At(1500, [](fake::World& w) { w.Plug(kReader); });
    world().escapeAtMs = 2500;
    EXPECT_EQ(fake::RunToolToExit(), 0);

    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + c.reported + kInsertCard +
                                   kInsertReader + kConnected + c.reported + kStopped);
    EXPECT_EQ(Log(), kStartTime + kConnected + c.reported + kConnected + c.reported);
}

const UsbInterface kSmartCard{"00", "0b"};

INSTANTIATE_TEST_SUITE_P(
    Trees, IdentityReport,
    ::testing::Values(
        IdentityCase{"one_supported_reader", {{.name = "1-1", .serial = "ABC123"}},
                     u"vid_0d3b&pid_6173\r\nSN  : ABC123\r\n"},
        IdentityCase{"beside_another_reader_and_a_storage_device",
                     {{.name = "1-1", .serial = "ABC123"},
                      {.name = "1-2", .vendor = "1a2b", .product = "00c4", .serial = "OTHER-01"},
                      {.name = "1-3", .vendor = "0781", .product = "5567", .serial = "STICK",
                       .interfaces = {{"00", "08"}}}},
                     u"vid_0d3b&pid_6173\r\nSN  : ABC123\r\n"},
        IdentityCase{"two_supported_readers",
                     {{.name = "1-2", .serial = "READER-A"}, {.name = "1-10", .serial = "READER-B"}},
                     u"vid_0d3b&pid_6173\r\nSN  : READER-A\r\nvid_0d3b&pid_6173\r\nSN  : READER-B\r\n"},
        // The interface suffix follows the USB id, outside the 17 characters.
        IdentityCase{"composite_device",
                     {{.name = "2-1", .serial = "ABC123", .interfaces = {{"00", "03"}, {"01", "0b"}}}},
                     u"vid_0d3b&pid_6173\r\nSN  : ABC123\r\n"},
        IdentityCase{"reader_without_serial", {{.name = "1-1.2"}},
                     u"vid_0d3b&pid_6173\r\nSN  : 1-1.2\r\n"},
        IdentityCase{"no_supported_reader",
                     {{.name = "1-2", .vendor = "1a2b", .product = "00c4", .serial = "OTHER-01"}}, u""},
        IdentityCase{"no_usb_device_at_all", {}, u""}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
