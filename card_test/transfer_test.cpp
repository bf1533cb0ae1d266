#include "card_test/transfer_test.h"

#include <algorithm>
#include <array>
#include <string>

#include "card_test/card_checks.h"
#include "card_test/test_script.h"
#include "control/report.h"
#include "control/text.h"
#include "platform/pcsc_values.h"

using namespace std::string_literals;

namespace {

// Every exchange offers this much for the answer.
constexpr std::size_t kResponseSize = 258;

// A character's digit value: letters from 'A' up count from 10, everything
// else from '0'. Only 0-9 and A-F give true digits; the rest is not rejected.
std::uint32_t DigitValue(char16_t c) {
    return c >= 0x41 ? static_cast<std::uint32_t>(c) - 0x37u : static_cast<std::uint32_t>(c) - 0x30u;
}

void PrintMissingData() {
    PrintConsole(u"Can't get [XFR] Data from CmdTavixEMV.ini line "s +
                 text::Decimal(Tool().ScriptLineNumber) + u"\r\n"s);
}

}  // namespace

std::int32_t ParseCount(const std::u16string& line) {
    std::uint32_t value = 0;
    std::uint32_t weight = 1;
    const bool hex = line.starts_with(u"0x") || line.starts_with(u"0X");
    const std::size_t first = hex ? 2 : 0;
    const std::uint32_t base = hex ? 16 : 10;
    for (std::size_t i = line.size(); i > first; --i) {
        const std::uint32_t digit = hex ? DigitValue(line[i - 1]) : line[i - 1] - 0x30u;
        value += digit * weight;
        weight *= base;
    }
    return static_cast<std::int32_t>(value);
}

std::size_t HexTextToBytes(const std::u16string& line, std::vector<std::uint8_t>& bytes) {
    std::u16string digits;
    digits.reserve(line.size());
    for (const char16_t c : line) {
        if (c != u' ') digits += c;
    }
    bytes.assign(digits.size() / 2, 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(DigitValue(digits[2 * i]) * 16u + DigitValue(digits[2 * i + 1]));
    }
    return bytes.size();
}

ResultCode RunTransferTest(platform::CardContext context) {
    ToolState& tool = Tool();
    std::u16string countLine;
    if (!ReadScriptLine(countLine)) {
        PrintConsole(u"Can't get [XFR] NUM from CmdTavixEMV.ini line "s +
                     text::Decimal(tool.ScriptLineNumber) + u"\r\n"s);
        return result::kScriptLineMissing;
    }
    Report(u"\r\nCard ATR matched, do XFR Test:\r\n"s + kRuleLine +
           tool.ReaderStateRecord.readerName + u" \r\n"s);
    const auto exchanges = static_cast<std::uint32_t>(ParseCount(countLine));

    platform::CardHandle card = 0;
    std::uint32_t activeProtocol = 0;
    if (ConnectCard(context, tool.CardProtocol, card, activeProtocol) != 0) {
        return result::kConnectFailed;
    }
    ReportActiveProtocol(activeProtocol);
    platform::BeginTransaction(card);

    ResultCode result = result::kOk;
    std::vector<std::uint8_t> exchange;
    std::array<std::uint8_t, kResponseSize> response{};
    std::u16string commandLine;
    std::u16string expectedLine;
    for (std::uint32_t n = 0; n < exchanges && result == result::kOk; ++n) {
        if (!ReadScriptLine(commandLine)) {
            PrintMissingData();
            result = result::kScriptLineMissing;
            break;
        }
        Report(u"Cmd : "s + commandLine + u"\r\n"s);
        HexTextToBytes(commandLine, exchange);

        std::uint32_t received = kResponseSize;
        ++tool.ExchangesSent;
        if (platform::Transmit(card, activeProtocol, exchange, response, received) != 0) {
            Report(u"Error! Fail to send smartcard data !\r\n"s);
            result = result::kTransmitFailed;
            break;
        }
        if (received > kResponseSize) received = kResponseSize;

        if (!ReadScriptLine(expectedLine)) {
            PrintMissingData();
            result = result::kScriptLineMissing;
            break;
        }
        HexTextToBytes(expectedLine, exchange);
        const std::span<const std::uint8_t> actual(response.data(), received);
        if (!std::equal(exchange.begin(), exchange.end(), actual.begin(), actual.end())) {
            std::u16string actualText;
            AppendHexBytes(actualText, actual);
            Report(u"Error! Card response compare error!\r\nExpect : "s + expectedLine + u"\r\n"s);
            Report(u"Actual : "s + actualText + u"\r\n"s);
            result = result::kResponseMismatch;
            break;
        }
        Report(u"Response : "s + expectedLine + u"\r\n"s);
    }

    Report(kRuleLine);
    platform::EndTransaction(card, pcsc::LEAVE_CARD);
    platform::Disconnect(card, pcsc::LEAVE_CARD);
    return result;
}
