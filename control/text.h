// Small helpers that build message texts without printf formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// Two upper-case hexadecimal digits: 0x3B -> "3B".
std::u16string HexByte(std::uint8_t value);
// Upper-case hexadecimal without leading zeros: 10 -> "A", 0 -> "0".
std::u16string HexUpper(std::uint32_t value);
// Decimal with a minus sign for negative values.
std::u16string Decimal(std::int64_t value);

// ASCII literal to text (for the tool's own fixed texts).
std::u16string Ascii(std::string_view ascii);

// The valid, shortest-form UTF-8 sequence at `pos`: its length in bytes, with
// its code point in `codePoint`; 0 when the bytes there are no such sequence.
std::size_t DecodeUtf8At(std::string_view bytes, std::size_t pos, char32_t& codePoint);

// TestScript bytes to text: valid UTF-8 sequences decode to their characters,
// every other byte to the character of the same value (U+0080..U+00FF).
std::u16string FromScriptBytes(std::string_view bytes);
// Text to UTF-8 for a POSIX console or file name; unpaired surrogates become
// U+FFFD.
std::string ToUtf8(std::u16string_view text);
// UTF-8 (as the system hands out names) to text; invalid bytes map as in
// FromScriptBytes.
std::u16string FromUtf8(std::string_view bytes);

}  // namespace text
