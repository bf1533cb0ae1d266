#include "card_test/script_sections.h"

#include <algorithm>
#include <string>

#include "card_test/test_script.h"
#include "control/report.h"
#include "control/text.h"
#include "platform/pcsc_values.h"

using namespace std::string_literals;

namespace {

struct ProtocolKeyword {
    const char16_t* line;
    std::uint32_t protocols;
};
// Protocol line -> preferred protocols of the transfer test's connection.
constexpr ProtocolKeyword kProtocolKeywords[] = {
    {u"Auto", pcsc::PROTOCOL_T0_OR_T1},  // the card service chooses
    {u"T0", pcsc::PROTOCOL_T0},
    {u"T1", pcsc::PROTOCOL_T1},
};

std::u16string LineNumberText() { return text::Decimal(Tool().ScriptLineNumber); }

}  // namespace

ResultCode ReadProtocolSection() {
    ToolState& tool = Tool();
    tool.CardProtocol = 0;
    std::u16string line;
    if (!ReadScriptLine(line)) {
        PrintConsole(u"Can't get protocol setting in CmdTavixEMV.ini line "s + LineNumberText() +
                     u"\r\n"s);
        return result::kScriptLineMissing;
    }
    Report(u"Test Protocol : "s + line + u"\r\n"s);
    for (const ProtocolKeyword& keyword : kProtocolKeywords) {
        if (line == keyword.line) {
            tool.CardProtocol = keyword.protocols;
            return result::kOk;
        }
    }
    PrintConsole(u"Unknown protocol setting : "s + line + u" \r\n"s);
    return result::kUnknownProtocol;
}

ResultCode ReadAtrSection(platform::CardContext context) {
    ToolState& tool = Tool();
    tool.AtrMatched = false;
    platform::ReaderState& record = tool.ReaderStateRecord;
    record.readerName = tool.ReaderList[0];
    record.currentState = pcsc::STATE_UNAWARE;

    std::u16string cardAtrText;
    if (context != 0) {
        if (platform::GetStatusChange(context, 0, record) != 0 || record.atrLength == 0) {
            return result::kAtrNotRead;
        }
        const std::size_t length = std::min<std::size_t>(record.atrLength, record.atr.size());
        for (std::size_t i = 0; i < length; ++i) {
            if (i != 0) cardAtrText += u' ';
            cardAtrText += text::HexByte(record.atr[i]);
        }
        tool.CardAtrText = cardAtrText;
    }

    std::u16string expected;
    if (!ReadScriptLine(expected)) {
        PrintConsole(u"Can't get ATR from CmdTavixEMV.ini line "s + LineNumberText() + u"\r\n"s);
        return result::kScriptLineMissing;
    }
    // The ATR goes out by itself: no label, no line end.
    WriteReport(tool.LogPath, cardAtrText, 1);
    tool.AtrMatched = expected == cardAtrText;
    return result::kOk;
}
