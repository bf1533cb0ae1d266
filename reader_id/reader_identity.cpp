#include "reader_id/reader_identity.h"

#include <string>

#include "control/report.h"
#include "control/tool_state.h"
#include "platform/platform.h"

using namespace std::string_literals;

namespace {
constexpr std::size_t kHardwareIdStart = 8;   // after \\?\usb#
constexpr std::size_t kHardwareIdLength = 17; // vid_VVVV&pid_PPPP
}  // namespace

bool IsSupportedReaderPath(const std::u16string& devicePath) {
    return devicePath.find(kReaderProductToken) != std::u16string::npos ||
           devicePath.find(kReaderUsbIdToken) != std::u16string::npos;
}

std::u16string ExtractHardwareId(const std::u16string& devicePath) {
    if (devicePath.size() <= kHardwareIdStart) return {};
    return devicePath.substr(kHardwareIdStart, kHardwareIdLength);
}

std::u16string ExtractSerialNumber(const std::u16string& devicePath) {
    const std::size_t guidStart = devicePath.find(u"#{");
    if (guidStart == std::u16string::npos) return {};
    const std::u16string head = devicePath.substr(0, guidStart);
    const std::size_t lastHash = head.rfind(u'#');
    const std::size_t begin = lastHash == std::u16string::npos ? 0 : lastHash + 1;
    return head.substr(begin);
}

int ReportReaderIdentity() {
    ToolState& tool = Tool();
    tool.ReaderHardwareId.clear();
    tool.ReaderSerialNumber.clear();
    int count = 0;
    // Paths are held whole, however long.
    for (const std::u16string& path : platform::ListReaderInterfacePaths()) {
        if (!IsSupportedReaderPath(path)) continue;
        tool.ReaderHardwareId = ExtractHardwareId(path);
        tool.ReaderSerialNumber = ExtractSerialNumber(path);
        Report(tool.ReaderHardwareId + u"\r\n"s);
        Report(u"SN  : "s + tool.ReaderSerialNumber + u"\r\n"s);
        ++count;
    }
    return count;
}
