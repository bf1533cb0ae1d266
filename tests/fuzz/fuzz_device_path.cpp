// Reader identification over arbitrary device paths: IsSupportedReaderPath,
// ExtractHardwareId and ExtractSerialNumber, and the identity report built
// from a list of such paths on the fake platform.
//
// Input: device paths as UTF-8 text, one per line.
//
// Properties besides "no crash, no sanitizer report":
//  - the hardware id is at most 17 characters and stands in the path from
//    index 8;
//  - the serial number holds no '#' and is what stands right before the first
//    "#{", after the '#' before it (or from the start);
//  - the report counts one reader per supported path.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/text.h"
#include "control/tool_state.h"
#include "reader_id/reader_identity.h"
#include "tests/fake/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckPath(const std::u16string& path) {
    const std::u16string id = ExtractHardwareId(path);
    FUZZ_CHECK(id.size() <= 17);
    FUZZ_CHECK(id.empty() ? path.size() <= 8 : path.compare(8, id.size(), id) == 0);

    const std::u16string serial = ExtractSerialNumber(path);
    FUZZ_CHECK(serial.find(u'#') == std::u16string::npos);
    const std::size_t guid = path.find(u"#{");
    if (guid == std::u16string::npos) {
        FUZZ_CHECK(serial.empty());
        return;
    }
    FUZZ_CHECK(serial.size() <= guid);
    const std::size_t begin = guid - serial.size();
    FUZZ_CHECK(path.compare(begin, serial.size(), serial) == 0);
    FUZZ_CHECK(begin == 0 || path[begin - 1] == u'#');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string all = text::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<std::u16string> paths;
    for (std::size_t pos = 0; pos <= all.size();) {
        std::size_t end = all.find(u'\n', pos);
        if (end == std::u16string::npos) end = all.size();
        paths.push_back(all.substr(pos, end - pos));
        pos = end + 1;
    }

    int supported = 0;
    for (const std::u16string& path : paths) {
        CheckPath(path);
        supported += IsSupportedReaderPath(path) ? 1 : 0;
    }

    ResetToolState();
    fake::Reset();
    fake::Get().interfacePaths = paths;
    FUZZ_CHECK(ReportReaderIdentity() == supported);
    return 0;
}
