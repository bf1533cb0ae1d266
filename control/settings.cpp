#include "control/settings.h"

#include <string>

#include "control/main_loop.h"
#include "control/report.h"
#include "control/tool_state.h"
#include "platform/platform.h"

using namespace std::string_literals;

namespace {
const std::u16string kSection = u"TavixEMV"s;
// LogFileName and ResultFile are read into 260 characters, the terminator
// included.
constexpr std::size_t kLogNameCapacity = 260;
}  // namespace

void LoadSettings() {
    // The current directory is used whole, however long it is.
    const std::u16string path =
        platform::CurrentDirectory() + platform::kPathSeparator + kConfigFileName;

    if (!platform::FileExists(path)) {
        PrintConsole(u"Can't open CmdTavixEMV.ini \r\n"s);
        StopTool();
    }

    ToolState& tool = Tool();
    tool.OutTimes = platform::ProfileInt(kSection, u"OutTimes"s, 60, path);
    tool.XFREn = platform::ProfileInt(kSection, u"XFREn"s, 0, path);
    tool.LogFile = platform::ProfileInt(kSection, u"LogFile"s, 0, path);
    tool.LogPath = platform::ProfileString(kSection, u"LogFileName"s, u"CmdTavixEMV.log"s,
                                           kLogNameCapacity, path);
    tool.ResultPath = platform::ProfileString(kSection, u"ResultFile"s, u""s, kLogNameCapacity, path);
}
