// Smart-card reader interfaces of the present USB devices, read from sysfs and
// written as the device paths Windows hands out for the same interfaces.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace usb {

// Lists every interface of class 0x0B (smart card) found under
// `sysRoot`/bus/usb/devices, one device path each:
//
//   \\?\usb#vid_VVVV&pid_PPPP#INSTANCE#{50dd5230-ba8a-11d1-bf5d-0000f805f530}
//
// VVVV and PPPP are the device's idVendor and idProduct in lower case. A device
// with more than one interface carries &mi_NN after the product id, NN being
// the interface's bInterfaceNumber (two lower-case hex digits). INSTANCE is the
// device's serial number, or its sysfs name (e.g. 1-1.2) when it has none.
//
// The list is ordered by sysfs device name (numbers in the name compared by
// value, so 1-2 comes before 1-10), then by interface number. A device whose
// attributes are missing, unreadable or malformed is left out. A missing or
// unreadable `sysRoot` gives an empty list. Never throws on file-system errors.
std::vector<std::u16string> EnumerateReaderInterfacePaths(const std::filesystem::path& sysRoot);

}  // namespace usb
