#include "control/main_loop.h"

#include <array>
#include <string>

#include "card_test/card_test_cycle.h"
#include "control/report.h"
#include "control/settings.h"
#include "control/text.h"
#include "platform/pcsc_values.h"
#include "reader_id/reader_identity.h"

using namespace std::string_literals;

namespace {

constexpr std::uint32_t kLoopPauseMs = 100;
constexpr std::uint32_t kRemovalPollPauseMs = 10;
constexpr std::uint32_t kRemovalQueryTimeoutMs = 50;

// Releases the current context, if any, and establishes a fresh one.
bool RenewContext() {
    ToolState& tool = Tool();
    if (tool.CardContext != 0) {
        platform::ReleaseContext(tool.CardContext);
        tool.CardContext = 0;
    }
    return platform::EstablishContext(pcsc::SCOPE_SYSTEM, tool.CardContext) == 0;
}

void StopIfEscape() {
    if (platform::EscapeDown()) StopTool();
}

std::u16string TwoDigits(int value) {
    std::u16string digits = text::Decimal(value);
    return digits.size() < 2 ? u"0"s + digits : digits;
}

}  // namespace

int RunTool() {
    ToolState& tool = Tool();
    platform::ConsoleOpen();
    platform::ConsoleClear();
    LoadSettings();

    PrintConsole(u"Tavix USB Smart Card Reader MP Tool \r\n"s);
    tool.ReportText = u"==================\r\nStart time: "s +
                      FormatStartTime(platform::CurrentTime()) + u"\r\n"s;
    WriteReport(tool.LogPath, tool.ReportText, 0);

    bool readerPromptPending = true;
    bool readerConnected = false;

    if (!RenewContext()) {
        PrintConsole(u"Can't Establish Scard Context! \r\n"s);
        return 0;
    }
    StopIfEscape();

    for (;;) {
        if (!RenewContext()) {
            PrintConsole(u"Can't Establish Scard Context! \r\n"s);
            return 0;
        }

        // A listing that succeeds with no names at all counts as no reader.
        if (ListReaders() != 0 || tool.ReaderCount == 0) {
            if (readerPromptPending) {
                PrintConsole(u"Please insert Tavix Smart card reader first! \r\n\r\n"s);
                readerPromptPending = false;
            }
            readerConnected = false;
        } else {
            readerPromptPending = true;
            if (!readerConnected) {
                Report(u"Reader is connected! \r\n"s);
                ReportReaderIdentity();
                readerConnected = true;
            }
            const ResultCode cycle = RunCardTestCycle();
            tool.ReaderStateRecord.readerName = tool.ReaderList[0];
            tool.ReaderStateRecord.currentState = pcsc::STATE_PRESENT;
            WaitCardRemoval(cycle == result::kReaderEmpty);
        }

        platform::SleepMs(kLoopPauseMs);
        StopIfEscape();
    }
}

platform::CardStatus ListReaders() {
    ToolState& tool = Tool();
    tool.ReaderCount = 0;
    std::u16string names;
    const platform::CardStatus status = platform::ListReaders(tool.CardContext, names);
    if (status != 0) return status;

    // Names are NUL-ended, the list ends with an empty name (or the buffer's end).
    std::size_t pos = 0;
    while (pos < names.size() && names[pos] != u'\0') {
        std::size_t end = names.find(u'\0', pos);
        if (end == std::u16string::npos) end = names.size();
        // Only the first entries are kept; the rest of the tool uses entry 0 only.
        if (tool.ReaderCount < kReaderListSize) {
            tool.ReaderList[tool.ReaderCount] = names.substr(pos, end - pos);
            ++tool.ReaderCount;
        }
        pos = end + 1;
    }
    return 0;
}

ResultCode WaitCardRemoval(bool cardWaitSawEmpty) {
    ToolState& tool = Tool();
    StopIfEscape();
    for (bool firstQuery = true;; firstQuery = false) {
        platform::SleepMs(kRemovalPollPauseMs);
        if (platform::GetStatusChange(tool.CardContext, kRemovalQueryTimeoutMs,
                                      tool.ReaderStateRecord) != 0) {
            return result::kStatusQueryFailed;
        }
        if ((tool.ReaderStateRecord.eventState & pcsc::STATE_EMPTY) != 0) {
            if (tool.CardPromptPending) {
                PrintConsole(u"Please insert card  \r\n\r\n"s);
                tool.CardPromptPending = false;
            }
            return result::kOk;
        }
        // A card in a reader that the card wait has just found empty was never
        // tested: waiting for its removal would skip it.
        if (firstQuery && cardWaitSawEmpty) return result::kOk;
        tool.CardPromptPending = true;
        StopIfEscape();
    }
}

void StopTool() {
    if (Tool().CardContext != 0) platform::ReleaseContext(Tool().CardContext);
    PrintConsole(u"Tavix MP Tool Stoped! \r\n"s);
    platform::ExitProcess(0);
}

std::u16string FormatStartTime(std::int64_t secondsSinceEpoch) {
    static const std::array<const char16_t*, 12> kMonths = {
        u"January", u"February", u"March",     u"April",   u"May",      u"June",
        u"July",    u"August",   u"September", u"October", u"November", u"December"};
    platform::LocalTime t;
    if (!platform::ToLocalTime(secondsSinceEpoch, t) || t.month < 1 || t.month > 12) {
        return {};
    }
    std::u16string formatted = TwoDigits(t.hour) + u":" + TwoDigits(t.minute) + u":" +
                               TwoDigits(t.second) + u" " + kMonths[static_cast<std::size_t>(t.month - 1)] +
                               u" " + TwoDigits(t.day) + u" " + text::Decimal(t.year);
    // The text must fit 128 characters, the terminator included.
    return formatted.size() < 128 ? formatted : std::u16string{};
}
