// The [XFR] value parsers over arbitrary script lines: ParseCount and
// HexTextToBytes. The line is decoded as the script reader decodes it.
//
// Properties besides "no crash, no sanitizer report", each checked against an
// independent computation:
//  - the decoded line, printed as UTF-8 and read back, is the same text (what
//    the console shows is what the script holds);
//  - HexTextToBytes gives one byte per two characters left after removing the
//    spaces, and leaves the line unchanged;
//  - when those characters are all upper-case hexadecimal digits, the bytes
//    are their usual hexadecimal reading;
//  - a count line of decimal digits, or of "0x"/"0X" and hexadecimal digits,
//    gives its value modulo 2^32, read from the left.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "card_test/transfer_test.h"
#include "control/text.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

int UpperHexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

void CheckHexText(const std::u16string& line) {
    const std::u16string before = line;
    std::vector<std::uint8_t> bytes = {0xEE};  // replaced, never appended to
    const std::size_t count = HexTextToBytes(line, bytes);
    FUZZ_CHECK(line == before);
    FUZZ_CHECK(count == bytes.size());

    std::u16string digits;
    for (const char16_t c : line) {
        if (c != u' ') digits += c;
    }
    FUZZ_CHECK(count == digits.size() / 2);

    bool allDigits = true;
    for (const char16_t c : digits) allDigits = allDigits && UpperHexDigit(c) >= 0;
    if (!allDigits) return;
    for (std::size_t i = 0; i < count; ++i) {
        const int expected = UpperHexDigit(digits[2 * i]) * 16 + UpperHexDigit(digits[2 * i + 1]);
        FUZZ_CHECK(bytes[i] == expected);
    }
}

void CheckCount(const std::u16string& line) {
    const std::int32_t count = ParseCount(line);
    const bool hex = line.size() >= 2 && line[0] == u'0' && (line[1] == u'x' || line[1] == u'X');
    const std::u16string_view digits = std::u16string_view(line).substr(hex ? 2 : 0);
    std::uint64_t expected = 0;
    for (const char16_t c : digits) {
        const int digit = hex ? UpperHexDigit(c) : (c >= u'0' && c <= u'9' ? c - u'0' : -1);
        if (digit < 0) return;  // a meaningless count; only "no crash" holds
        expected = (expected * (hex ? 16u : 10u) + static_cast<unsigned>(digit)) % 0x100000000u;
    }
    FUZZ_CHECK(static_cast<std::uint32_t>(count) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string line =
        text::FromScriptBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(text::FromScriptBytes(text::ToUtf8(line)) == line);
    CheckHexText(line);
    CheckCount(line);
    return 0;
}
