#include "platform/posix/usb_devices.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "control/text.h"

namespace usb {

namespace {

namespace fs = std::filesystem;

constexpr unsigned kSmartCardInterfaceClass = 0x0B;
constexpr char16_t kSmartCardReaderClassGuid[] = u"{50dd5230-ba8a-11d1-bf5d-0000f805f530}";

// sysfs never hands out more than a page per attribute; anything far larger is
// not an attribute we understand.
constexpr std::size_t kMaxAttributeSize = 64 * 1024;

enum class ReadResult { Read, Missing, Failed };

// Reads a sysfs attribute whole. Missing only when the file does not exist;
// any other failure to open or read it is Failed.
ReadResult ReadAttribute(const fs::path& file, std::string& content) {
    content.clear();
    int fd = -1;
    do {
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;

    ReadResult result = ReadResult::Read;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            result = ReadResult::Failed;
            break;
        }
        if (count == 0) break;
        content.append(buffer, static_cast<std::size_t>(count));
        if (content.size() > kMaxAttributeSize) {
            result = ReadResult::Failed;
            break;
        }
    }
    ::close(fd);
    return result;
}

std::string_view TrimSpaces(std::string_view value) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!value.empty() && isSpace(value.front())) value.remove_prefix(1);
    while (!value.empty() && isSpace(value.back())) value.remove_suffix(1);
    return value;
}

std::optional<unsigned> HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return std::nullopt;
}

// A hexadecimal attribute of 1..maxDigits digits, e.g. "0b\n".
std::optional<unsigned> ParseHex(std::string_view raw, std::size_t maxDigits) {
    const std::string_view digits = TrimSpaces(raw);
    if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        const std::optional<unsigned> digit = HexDigitValue(c);
        if (!digit) return std::nullopt;
        value = value * 16 + *digit;
    }
    return value;
}

// A decimal attribute; the kernel pads bNumInterfaces to two places (" 2\n").
std::optional<unsigned> ParseDecimal(std::string_view raw) {
    const std::string_view digits = TrimSpaces(raw);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

// idVendor / idProduct: exactly four hex digits, given back in lower case.
std::optional<std::u16string> ParseUsbId(std::string_view raw) {
    const std::string_view digits = TrimSpaces(raw);
    if (digits.size() != 4) return std::nullopt;
    std::u16string id;
    for (const char c : digits) {
        if (!HexDigitValue(c)) return std::nullopt;
        id.push_back(static_cast<char16_t>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
    }
    return id;
}

std::u16string LowerHexByte(unsigned value) {
    constexpr char16_t kDigits[] = u"0123456789abcdef";
    return {kDigits[(value >> 4) & 0x0Fu], kDigits[value & 0x0Fu]};
}

// Orders sysfs names with runs of digits compared by value: 1-2 < 1-10 < 2-1.
bool NameLess(std::string_view a, std::string_view b) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t iEnd = i;
            std::size_t jEnd = j;
            while (iEnd < a.size() && isDigit(a[iEnd])) ++iEnd;
            while (jEnd < b.size() && isDigit(b[jEnd])) ++jEnd;
            std::string_view runA = a.substr(i, iEnd - i);
            std::string_view runB = b.substr(j, jEnd - j);
            while (runA.size() > 1 && runA.front() == '0') runA.remove_prefix(1);
            while (runB.size() > 1 && runB.front() == '0') runB.remove_prefix(1);
            if (runA.size() != runB.size()) return runA.size() < runB.size();
            if (runA != runB) return runA < runB;
            i = iEnd;
            j = jEnd;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;  // equal by value, e.g. 1-02 and 1-2: any fixed order will do
}

struct UsbDeviceIds {
    std::u16string vendor;
    std::u16string product;
    std::u16string instance;
    unsigned interfaceCount = 0;
};

std::optional<UsbDeviceIds> ReadDevice(const fs::path& deviceDir, const std::string& deviceName) {
    std::string raw;
    UsbDeviceIds ids;

    if (ReadAttribute(deviceDir / "idVendor", raw) != ReadResult::Read) return std::nullopt;
    std::optional<std::u16string> vendor = ParseUsbId(raw);
    if (!vendor) return std::nullopt;
    ids.vendor = std::move(*vendor);

    if (ReadAttribute(deviceDir / "idProduct", raw) != ReadResult::Read) return std::nullopt;
    std::optional<std::u16string> product = ParseUsbId(raw);
    if (!product) return std::nullopt;
    ids.product = std::move(*product);

    if (ReadAttribute(deviceDir / "bNumInterfaces", raw) != ReadResult::Read) return std::nullopt;
    const std::optional<unsigned> interfaceCount = ParseDecimal(raw);
    if (!interfaceCount) return std::nullopt;
    ids.interfaceCount = *interfaceCount;

    // A device without a serial number is known by where it is plugged in. A
    // serial that is there but cannot be read leaves the device out rather than
    // reporting it under the wrong name.
    switch (ReadAttribute(deviceDir / "serial", raw)) {
    case ReadResult::Read:
        if (!raw.empty() && raw.back() == '\n') raw.pop_back();
        ids.instance = text::FromUtf8(raw.empty() ? deviceName : raw);
        break;
    case ReadResult::Missing:
        ids.instance = text::FromUtf8(deviceName);
        break;
    case ReadResult::Failed:
        return std::nullopt;
    }
    return ids;
}

struct FoundInterface {
    std::string deviceName;
    unsigned interfaceNumber = 0;
    std::u16string path;
};

}  // namespace

std::vector<std::u16string> EnumerateReaderInterfacePaths(const fs::path& sysRoot) {
    const fs::path devicesDir = sysRoot / "bus" / "usb" / "devices";
    std::vector<FoundInterface> found;

    std::error_code error;
    fs::directory_iterator entry(devicesDir, error);
    const fs::directory_iterator end;
    for (; !error && entry != end; entry.increment(error)) {
        // Interfaces are named DEVICE:CONFIG.INTERFACE, e.g. 1-1.2:1.0; the
        // device itself sits beside them under its own name.
        const std::string name = entry->path().filename().string();
        const std::size_t colon = name.find(':');
        if (colon == std::string::npos || colon == 0) continue;

        std::string raw;
        if (ReadAttribute(entry->path() / "bInterfaceClass", raw) != ReadResult::Read) continue;
        if (ParseHex(raw, 2) != kSmartCardInterfaceClass) continue;
        if (ReadAttribute(entry->path() / "bInterfaceNumber", raw) != ReadResult::Read) continue;
        const std::optional<unsigned> interfaceNumber = ParseHex(raw, 2);
        if (!interfaceNumber) continue;

        const std::string deviceName = name.substr(0, colon);
        const std::optional<UsbDeviceIds> device = ReadDevice(devicesDir / deviceName, deviceName);
        if (!device) continue;

        std::u16string path = u"\\\\?\\usb#vid_" + device->vendor + u"&pid_" + device->product;
        if (device->interfaceCount > 1) path += u"&mi_" + LowerHexByte(*interfaceNumber);
        path += u'#';
        path += device->instance;
        path += u'#';
        path += kSmartCardReaderClassGuid;
        found.push_back({deviceName, *interfaceNumber, std::move(path)});
    }

    std::sort(found.begin(), found.end(), [](const FoundInterface& a, const FoundInterface& b) {
        if (a.deviceName != b.deviceName) return NameLess(a.deviceName, b.deviceName);
        return a.interfaceNumber < b.interfaceNumber;
    });

    std::vector<std::u16string> paths;
    paths.reserve(found.size());
    for (FoundInterface& item : found) paths.push_back(std::move(item.path));
    return paths;
}

}  // namespace usb
