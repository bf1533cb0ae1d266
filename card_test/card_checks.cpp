#include "card_test/card_checks.h"

#include <algorithm>
#include <array>
#include <string>

#include "control/report.h"
#include "control/text.h"
#include "platform/pcsc_values.h"

using namespace std::string_literals;

namespace {
// SELECT of the master file: class A0, INS A4, P1 00, P2 00, Lc 02, 3F 00.
constexpr std::array<std::uint8_t, 7> kSelectMasterFile = {0xA0, 0xA4, 0x00, 0x00,
                                                           0x02, 0x3F, 0x00};
constexpr std::size_t kBasicResponseSize = 128;
}  // namespace

void AppendHexBytes(std::u16string& text, std::span<const std::uint8_t> bytes) {
    text.reserve(text.size() + bytes.size() * 3 + 2);
    for (const std::uint8_t byte : bytes) {
        text += text::HexByte(byte);
        text += u' ';
    }
    text += u"\r\n";
}

void ReportActiveProtocol(std::uint32_t activeProtocol) {
    if ((activeProtocol & pcsc::PROTOCOL_T0) != 0) {
        Report(u"ActiveProtocol : T0\r\n"s);
    } else if ((activeProtocol & pcsc::PROTOCOL_T1) != 0) {
        Report(u"ActiveProtocol : T1\r\n"s);
    }
}

platform::CardStatus ConnectCard(platform::CardContext context, std::uint32_t preferredProtocols,
                                 platform::CardHandle& card, std::uint32_t& activeProtocol) {
    const std::u16string& reader = Tool().ReaderStateRecord.readerName;
    // Systems that report 6.1 and later 6.x get a card reset by a throw-away
    // connection first. POSIX reports no version, so it never happens there.
    const platform::OsVersion version = platform::GetOsVersion();
    if (version.major == 6 && version.minor != 0) {
        platform::Connect(context, reader, pcsc::SHARE_SHARED, pcsc::PROTOCOL_T1, card,
                          activeProtocol);
        platform::Disconnect(card, pcsc::RESET_CARD);
    }
    return platform::Connect(context, reader, pcsc::SHARE_SHARED, preferredProtocols, card,
                             activeProtocol);
}

ResultCode RunBasicCardCheck(platform::CardContext context) {
    ToolState& tool = Tool();
    const platform::ReaderState& record = tool.ReaderStateRecord;
    Report(u"\r\nCard ATR not matched, We only do some simple test:\r\n"s + kRuleLine +
           record.readerName + u"\r\n"s);

    std::u16string atrText;
    AppendHexBytes(atrText, std::span(record.atr).first(
                                std::min<std::size_t>(record.atrLength, record.atr.size())));
    Report(u"ATR : "s + atrText);

    platform::CardHandle card = 0;
    std::uint32_t activeProtocol = 0;
    tool.CardProtocol = pcsc::PROTOCOL_T0_OR_T1;
    if (ConnectCard(context, pcsc::PROTOCOL_T0_OR_T1, card, activeProtocol) != 0) {
        return result::kConnectFailed;
    }
    ReportActiveProtocol(activeProtocol);
    platform::BeginTransaction(card);
    Report(u"Cmd : A0 A4 00 00 02 3F 00\r\n"s);

    // Cleared before the exchange: no byte of anything earlier is ever shown.
    std::array<std::uint8_t, kBasicResponseSize> response{};
    std::uint32_t received = kBasicResponseSize;
    ++tool.ExchangesSent;
    ResultCode result = result::kOk;
    // An answer without even a status word means the card never took the
    // command (a card pulled out at that moment can leave such an answer).
    if (platform::Transmit(card, activeProtocol, kSelectMasterFile, response, received) != 0 ||
        received < 2) {
        Report(u"Error! Fail to send smartcard data !\r\n"s);
        result = result::kTransmitFailed;
    } else {
        Report(u"Response: "s + text::HexByte(response[0]) + u" "s + text::HexByte(response[1]) +
               u"\r\n"s);
    }
    platform::EndTransaction(card, pcsc::LEAVE_CARD);
    platform::Disconnect(card, pcsc::LEAVE_CARD);
    Report(kRuleLine);
    return result;
}

ResultCode RunMatchedCardCheck(platform::CardContext context) {
    ToolState& tool = Tool();
    Report(tool.ReaderStateRecord.readerName + u" \r\n"s);

    platform::CardHandle card = 0;
    std::uint32_t activeProtocol = 0;
    tool.CardProtocol = pcsc::PROTOCOL_T0_OR_T1;
    if (ConnectCard(context, pcsc::PROTOCOL_T0_OR_T1, card, activeProtocol) != 0) {
        return result::kConnectFailed;
    }
    platform::Disconnect(card, pcsc::LEAVE_CARD);
    Report(kRuleLine);
    return result::kOk;
}
