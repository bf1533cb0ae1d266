#include "card_test/card_test_cycle.h"

#include <string>

#include "card_test/test_script.h"
#include "control/main_loop.h"
#include "control/report.h"
#include "control/result_file.h"
#include "platform/pcsc_values.h"

using namespace std::string_literals;

namespace {
constexpr std::uint32_t kCardQueryTimeoutMs = 10;
constexpr std::uint32_t kCardSettlePauseMs = 100;

// Console text attributes.
constexpr std::uint16_t kBrightGreen = 10;
constexpr std::uint16_t kBrightRed = 12;
constexpr std::uint16_t kBrightWhite = 15;
}  // namespace

ResultCode WaitForCard(platform::CardContext context) {
    ToolState& tool = Tool();
    if (platform::EscapeDown()) StopTool();
    for (;;) {
        tool.ReaderStateRecord.readerName = tool.ReaderList[0];
        tool.ReaderStateRecord.currentState = pcsc::STATE_PRESENT;
        if (platform::GetStatusChange(context, kCardQueryTimeoutMs, tool.ReaderStateRecord) != 0) {
            return result::kStatusQueryFailed;
        }
        const std::uint32_t event = tool.ReaderStateRecord.eventState;
        if ((event & pcsc::STATE_EMPTY) != 0) return result::kReaderEmpty;
        if ((event & pcsc::STATE_MUTE) != 0) return result::kCardMute;
        if ((event & pcsc::STATE_UNAVAILABLE) != 0) return result::kStatusQueryFailed;
        if ((event & pcsc::STATE_PRESENT) != 0) {
            platform::SleepMs(kCardSettlePauseMs);
            return result::kOk;
        }
        if (platform::EscapeDown()) StopTool();
    }
}

ResultCode RunCardTestCycle() {
    ToolState& tool = Tool();
    const ResultCode waited = WaitForCard(tool.CardContext);
    if (waited != result::kOk) {
        if (tool.CardPromptPending) PrintConsole(u"Please insert card  \r\n\r\n"s);
        tool.CardPromptPending = false;
        return waited;
    }

    tool.CardPromptPending = true;
    tool.CardAtrText.clear();
    tool.ExchangesSent = 0;
    const std::uint32_t readyAt = platform::TickCountMs();
    const ResultCode verdict = RunTestScript(tool.CardContext);
    if (verdict == result::kOk) {
        platform::ConsoleSetAttribute(kBrightGreen);
        tool.ReportText = u"           PASS \r\n\r\n"s;
    } else {
        platform::ConsoleSetAttribute(kBrightRed);
        tool.ReportText = u"          FAILED \r\n\r\n"s;
    }
    WriteReport(tool.LogPath, tool.ReportText, 1);
    if (!tool.ResultPath.empty()) AppendCardResult(verdict, platform::TickCountMs() - readyAt);
    platform::ConsoleSetAttribute(kBrightWhite);
    return verdict;
}
