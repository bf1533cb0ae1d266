// The two short card checks, and the card-handling pieces that the transfer
// test shares with them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "control/tool_state.h"

// The rule line under the checks and the transfer test.
inline constexpr char16_t kRuleLine[] =
    u"==========================================================\r\n";

// For a card whose ATR differs from the script's: reports the ATR, connects,
// sends SELECT MF (A0 A4 00 00 02 3F 00) and reports the answer's first two
// bytes. 0 whenever the command could be exchanged.
ResultCode RunBasicCardCheck(platform::CardContext context);

// For a card whose ATR matched with transfers off: connect and disconnect.
ResultCode RunMatchedCardCheck(platform::CardContext context);

// Connects to the first reader in shared mode (after a warm-up connection with
// a reset on systems that report version 6.1 to 6.x). Returns the status of
// the real connection.
platform::CardStatus ConnectCard(platform::CardContext context, std::uint32_t preferredProtocols,
                                 platform::CardHandle& card, std::uint32_t& activeProtocol);

// Reports "ActiveProtocol : T0" or "T1"; nothing for any other value.
void ReportActiveProtocol(std::uint32_t activeProtocol);

// Appends each byte as two upper-case digits and a space, then "\r\n".
void AppendHexBytes(std::u16string& text, std::span<const std::uint8_t> bytes);
