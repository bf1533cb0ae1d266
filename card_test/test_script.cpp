#include "card_test/test_script.h"

#include <string>

#include "card_test/card_checks.h"
#include "card_test/script_sections.h"
#include "card_test/transfer_test.h"
#include "control/report.h"
#include "control/settings.h"
#include "control/text.h"
#include "platform/platform.h"

using namespace std::string_literals;

namespace {
void CloseScript() {
    ToolState& tool = Tool();
    if (tool.ScriptFile != nullptr) {
        platform::CloseScriptFile(tool.ScriptFile);
        tool.ScriptFile = nullptr;
    }
}
}  // namespace

bool ReadScriptLine(std::u16string& line) {
    ToolState& tool = Tool();
    if (tool.ScriptFile == nullptr) return false;
    std::string bytes;
    for (;;) {
        const platform::LineRead read = platform::ReadScriptFileLine(tool.ScriptFile, bytes);
        if (read == platform::LineRead::Error) tool.ScriptReadFailed = true;
        if (read != platform::LineRead::Line) return false;
        ++tool.ScriptLineNumber;
        if (!bytes.empty() && bytes[0] != ';') break;
    }
    line = text::FromScriptBytes(bytes);
    return true;
}

ResultCode RunTestScript(platform::CardContext context) {
    ToolState& tool = Tool();
    ResultCode result = result::kOk;
    tool.ScriptLineNumber = 0;
    tool.ScriptReadFailed = false;
    CloseScript();

    // Opened by its bare name: it resolves against the current directory.
    tool.ScriptFile = platform::OpenScriptFile(kConfigFileName);
    if (tool.ScriptFile == nullptr) return result::kScriptNotOpened;

    std::u16string line;
    while (ReadScriptLine(line)) {
        if (line == u"[Card Protocol]") {
            result = ReadProtocolSection();
            if (result != result::kOk) break;
        } else if (line == u"[ATR]") {
            result = ReadAtrSection(context);
            if (result != result::kOk) break;
            if (!tool.AtrMatched) {
                result = RunBasicCardCheck(context);
                break;
            }
            if (tool.XFREn == 0) {
                Report(u"\r\nCard ATR matched\r\n"s);
                result = RunMatchedCardCheck(context);
                break;
            }
            // Matched with transfers on: the script goes on to its [XFR] section.
        } else if (line == u"[XFR]") {
            result = RunTransferTest(context);
            break;
        } else {
            PrintConsole(u"0x"s + text::HexUpper(static_cast<std::uint32_t>(tool.ScriptLineNumber)) +
                         u": "s + line + u"\r\n"s);
            result = result::kScriptLineMissing;
            break;
        }
    }

    // A script that could not be read to its end must never pass the card.
    if (tool.ScriptReadFailed && result == result::kOk) result = result::kScriptNotOpened;
    CloseScript();
    return result;
}
