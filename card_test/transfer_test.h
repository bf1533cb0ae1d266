// The "[XFR]" section: scripted command/response exchanges inside one
// transaction, each answer compared byte for byte with the script.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/tool_state.h"

ResultCode RunTransferTest(platform::CardContext context);

// The exchange count: decimal, or hexadecimal after "0x"/"0X". No character is
// rejected; the arithmetic is 32-bit and wraps.
std::int32_t ParseCount(const std::u16string& line);

// Hexadecimal text to bytes: spaces removed, characters taken in pairs, an odd
// last character ignored. Never fails; `bytes` is replaced. Returns its size.
std::size_t HexTextToBytes(const std::u16string& line, std::vector<std::uint8_t>& bytes);
