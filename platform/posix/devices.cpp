// Device enumeration on POSIX: the USB devices that sysfs shows.
#include "platform/platform.h"
#include "platform/posix/usb_devices.h"

namespace platform {

std::vector<std::u16string> ListReaderInterfacePaths() {
    return usb::EnumerateReaderInterfacePaths("/sys");
}

}  // namespace platform
