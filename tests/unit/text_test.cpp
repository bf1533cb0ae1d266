// Conversions between script bytes, text and UTF-8, with the non-ASCII part
// at every place in the line: the conversions copy a leading ASCII run
// directly and go character by character from the first other byte on.
#include <gtest/gtest.h>

#include <string>

#include "control/text.h"

namespace {

struct BytesCase {
    const char* name;
    std::string bytes;
    std::u16string text;
};

TEST(TextTest, ScriptBytesToText) {
    const BytesCase cases[] = {
        {"empty", "", u""},
        {"ascii_only", "00 A4 00 00 02 3F 00", u"00 A4 00 00 02 3F 00"},
        {"utf8_first", "\xC3\xA9 90 00", u"\u00E9 90 00"},
        {"utf8_after_ascii", "Cmd \xC3\xA9", u"Cmd \u00E9"},
        {"latin1_byte_after_ascii", "ab\xE9" "cd", u"ab\u00E9cd"},
        {"ascii_again_after_utf8", "a\xE2\x82\xAC" "b c", u"a\u20ACb c"},
        {"four_byte_sequence_last", "x\xF0\x9F\x98\x80", u"x\U0001F600"},
        {"cut_sequence_at_the_end", "ab\xC3", u"ab\u00C3"},
        {"first_byte_past_ascii", "\x7F\x80", u"\u007F\u0080"},
        {"nul_inside_ascii", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const BytesCase& c : cases) {
        EXPECT_EQ(text::FromScriptBytes(c.bytes), c.text) << c.name;
        EXPECT_EQ(text::FromUtf8(c.bytes), c.text) << c.name;
    }
}

TEST(TextTest, TextToUtf8) {
    const BytesCase cases[] = {
        {"empty", "", u""},
        {"ascii_only", "Please insert card  \r\n", u"Please insert card  \r\n"},
        {"non_ascii_first", "\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
        {"non_ascii_after_ascii", "Virtual \xE2\x82\xAC reader", u"Virtual \u20AC reader"},
        {"pair_after_ascii", "ab\xF0\x9F\x98\x80", u"ab\U0001F600"},
        {"lone_surrogate_after_ascii", "ab\xEF\xBF\xBD" "c", std::u16string(u"ab") + char16_t{0xD800} + u"c"},
        {"last_unit_below_0x80", "\xC2\x80\x7F", u"\u0080\u007F"},
    };
    for (const BytesCase& c : cases) EXPECT_EQ(text::ToUtf8(c.text), c.bytes) << c.name;
}

}  // namespace
