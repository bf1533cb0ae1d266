// The settings reader of the POSIX build against the real profile functions.
//
// Each row is a CmdTavixEMV.ini. Its bytes go to the INI reader that the POSIX
// build uses (ini::ReadInt / ini::ReadString, compiled here unchanged), and the
// same bytes, written to a file, go to GetPrivateProfileIntW and
// GetPrivateProfileStringW (Wine's, when the test runs under Wine). Every
// query of the row must get the same answer from both.
//
// Every row asks the tool's four settings with the tool's defaults; some ask
// more, where the row has more to show.
//
// Not in the table, because the two differ there by design: non-ASCII text in
// a file without a byte-order mark. Windows reads such a file in the ANSI code
// page, the POSIX reader as UTF-8 (bytes that are no UTF-8 come back as the
// Latin-1 characters); with a UTF-8 byte-order mark both read UTF-8 (row
// utf8_with_byte_order_mark). Files in UTF-16 are turned into UTF-8 by the
// POSIX backend before they reach the reader, so they are not the reader's
// concern.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "control/text.h"
#include "platform/posix/ini_reader.h"
#include "tests/windows/temp_folder.h"

using namespace std::string_literals;

namespace {

struct Query {
    enum Kind { Int, String } kind;
    std::string key;
    std::string defaultValue;    // String: the default text; Int: the number, in decimal
    std::size_t capacity = 260;  // String only
    std::string section = "TavixEMV";
};

Query Int(std::string key, std::int32_t defaultValue) {
    return {Query::Int, std::move(key), std::to_string(defaultValue)};
}
Query Str(std::string key, std::string defaultValue, std::size_t capacity = 260) {
    return {Query::String, std::move(key), std::move(defaultValue), capacity};
}

struct Row {
    const char* name;  // a test name: letters, digits and '_'
    std::string content;
    std::vector<Query> extra = {};
};

// A failing row is named, not dumped as bytes.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// What the tool asks at start-up.
const std::vector<Query> kSettings = {
    Int("OutTimes", 60), Int("XFREn", 0), Int("LogFile", 0), Str("LogFileName", "CmdTavixEMV.log")};

// The settings of the sample file, with the test script before or after them.
const std::string kScriptCrLf =
    "; test script\r\n[Card Protocol]\r\nT0\r\n[ATR]\r\n3B 02 14 50\r\n[XFR]\r\n2\r\n"
    "00 A4 00 00 02 3F 00\r\n90 00\r\n00 B0 00 00 04\r\n12 34 56 78 90 00\r\n";
const std::string kSettingsCrLf =
    "[TavixEMV]\r\n; 1 = transfers\r\nXFREn=1\r\nLogFile=1\r\nLogFileName=CmdTavixEMV.log\r\n"
    "OutTimes=60\r\n";

std::string ToLf(std::string text) {
    std::string out;
    for (const char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

const std::vector<Row> kRows = {
    // Line ends.
    {"settings_crlf", "[TavixEMV]\r\nOutTimes=30\r\nXFREn=1\r\nLogFile=1\r\nLogFileName=run.log\r\n"},
    {"settings_lf", "[TavixEMV]\nOutTimes=30\nXFREn=1\nLogFile=1\nLogFileName=run.log\n"},
    {"lone_cr_line_ends", "[TavixEMV]\rOutTimes=31\rXFREn=1\rLogFileName=cr.log\r"},
    {"mixed_line_ends_no_final_one", "[TavixEMV]\r\nOutTimes=32\nXFREn=1\r\n\r\nLogFileName=end.log"},
    {"empty_file", ""},
    // The test script and the settings in one file.
    {"script_before_settings_crlf", kScriptCrLf + "\r\n" + kSettingsCrLf},
    {"script_after_settings_crlf", kSettingsCrLf + kScriptCrLf},
    {"script_before_settings_lf", ToLf(kScriptCrLf + "\r\n" + kSettingsCrLf)},
    {"script_after_settings_lf", ToLf(kSettingsCrLf + kScriptCrLf)},
    {"missing_section", kScriptCrLf},
    {"settings_before_any_header", "OutTimes=5\nXFREn=1\nLogFile=1\n[Card Protocol]\nT0\n"},
    // Blanks.
    {"blanks_around_everything",
     "  [ TavixEMV ]  \n  OutTimes  =  45  \n\tXFREn\t=\t1\t\nLogFile = 1\nLogFileName =  my log.log  \n",
     {Str("Log File Name", "none")}},
    {"blank_inside_a_name", "[TavixEMV]\nLog File = 1\nLogFile=1\n", {Int("Log File", 7)}},
    {"empty_values", "[TavixEMV]\nOutTimes=\nXFREn=\nLogFile=\nLogFileName=\n"},
    {"blank_values", "[TavixEMV]\nOutTimes= \t\nXFREn=  \nLogFileName=   \n"},
    {"entries_without_equals", "[TavixEMV]\nOutTimes\nXFREn\nLogFileName\n"},
    // Letter case.
    {"letter_case", "[tavixemv]\nOUTTIMES=12\nxfren=1\nLogfile=1\nlogfilename=Case.LOG\n",
     {Int("outtimes", 1), {Query::Int, "OutTimes", "1", 0, "TAVIXEMV"}}},
    // Quotes.
    {"quotes",
     "[TavixEMV]\nLogFileName=\"quoted name.log\"\nOutTimes=\"20\"\nXFREn='1'\nLogFile=\"1\n"
     "Single='x'\nMismatch=\"abc'\nOnlyQuote=\"\nEmptyQuotes=\"\"\nInner=a\"b\"c\nSpaced=\" a \"\n",
     {Str("Single", "d"), Str("Mismatch", "d"), Str("OnlyQuote", "d"), Str("EmptyQuotes", "d"),
      Str("Inner", "d"), Str("Spaced", "d"), Int("OnlyQuote", 9), Int("EmptyQuotes", 9)}},
    {"quoted_values_at_the_capacity",
     "[TavixEMV]\nFour=\"abcd\"\nFive=\"abcde\"\nSix=\"abcdef\"\nPlain=abcdef\n",
     {Str("Four", "d", 5), Str("Five", "d", 5), Str("Six", "d", 5), Str("Plain", "d", 5),
      Str("Four", "d", 6), Str("Five", "d", 6), Str("Plain", "d", 1), Str("Plain", "d", 0)}},
    // Numbers.
    {"hexadecimal",
     "[TavixEMV]\nOutTimes=0x1F\nXFREn=0X10\nLogFile= 0x1f\nLogFileName=0x10\nOctal=0o17\nBinary=0b101\n"
     "HexJunk=0x1G\nHexOnly=0x\nUpperDigits=0xABCDEF\n",
     {Int("LogFileName", 0), Int("Octal", 0), Int("Binary", 0), Int("HexJunk", 0),
      Int("HexOnly", 5), Int("UpperDigits", 0)}},
    {"negatives",
     "[TavixEMV]\nOutTimes=-1\nXFREn=-0\nLogFile=+5\nNegHex=-0x10\nDouble=--3\nSpaceSign=- 3\nMin=-2147483648\n",
     {Int("NegHex", 0), Int("Double", 7), Int("SpaceSign", 7), Int("Min", 0), Int("Missing", -5)}},
    {"junk_after_a_number",
     "[TavixEMV]\nOutTimes=60s\nXFREn=1 ; on\nLogFile=1abc\nLogFileName=run.log ; the log\n"
     "Junk=abc\nTwo=1 2\nDecimal=1.9\n",
     {Int("Junk", 4), Int("Two", 0), Int("Decimal", 0)}},
    {"large_numbers",
     "[TavixEMV]\nOutTimes=4294967295\nXFREn=4294967296\nLogFile=99999999999\n"
     "Long=000000000000000000000000000042\nLonger=0000000000000000000000000000042\n",
     {Int("Long", 0), Int("Longer", 0)}},
    // Duplicates.
    {"duplicate_keys",
     "[TavixEMV]\nOutTimes=10\nOutTimes=20\nLogFileName=first.log\nLogFileName=second.log\n"
     "XFREn\nXFREn=1\nLogFile=\nLogFile=1\n"},
    {"duplicate_sections",
     "[TavixEMV]\nOutTimes=10\n[Other]\nXFREn=1\n[TavixEMV]\nOutTimes=20\nLogFile=1\n"
     "[tavixemv]\nLogFileName=third.log\n"},
    {"empty_first_section_of_the_name", "[TavixEMV]\n[ATR]\n3B\n[TavixEMV]\nLogFile=1\n"},
    // Headers and comments.
    {"header_oddities",
     "[TavixEMV] ; settings\nOutTimes=7\n[TavixEMV\nXFREn=1\n[Tavix EMV]\nLogFile=1\n"},
    {"two_brackets_on_a_header", "[TavixEMV] [x]\nOutTimes=8\n[TavixEMV]\nXFREn=1\n"},
    {"comments", ";OutTimes=1\n[TavixEMV]\n;LogFile=1\n# XFREn=1\nLogFile=0\nOutTimes=9 ;nine\n",
     {Str(";LogFile", "d"), Str("# XFREn", "d")}},
    {"equals_signs", "[TavixEMV]\nLogFileName=a=b.log\n=value\nOutTimes==5\n",
     {Str("", "d")}},
    // Text.
    {"long_value_cut_to_the_buffer", "[TavixEMV]\nLogFileName=" + std::string(300, 'L') + "\n",
     {Str("LogFileName", "d", 10)}},
    {"utf8_with_byte_order_mark", "\xEF\xBB\xBF[TavixEMV]\nLogFileName=caf\xC3\xA9 \xE2\x82\xAC.log\nLogFile=1\n"},
    {"default_with_trailing_blanks", "[TavixEMV]\n",
     {Str("LogFileName", "dflt.log   "), Str("LogFileName", " "), Str("LogFileName", "")}},
};

class ProfileDifferential : public ::testing::TestWithParam<Row> {
protected:
    static void SetUpTestSuite() { folder_ = new wintest::TempFolder; }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    static wintest::TempFolder* folder_;
};
wintest::TempFolder* ProfileDifferential::folder_ = nullptr;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST_P(ProfileDifferential, SameAnswers) {
    const Row& row = GetParam();
    // One file per row: Wine keeps recently read profiles cached.
    const auto path = (*folder_ / (std::string(row.name) + ".ini")).wstring();
    wintest::WriteBytes(path, row.content);

    std::vector<Query> queries = kSettings;
    queries.insert(queries.end(), row.extra.begin(), row.extra.end());
    for (const Query& q : queries) {
        SCOPED_TRACE("[" + q.section + "] " + q.key + " default \"" + q.defaultValue + "\"" +
                     (q.kind == Query::String ? " capacity " + std::to_string(q.capacity) : ""));
        if (q.kind == Query::Int) {
            const std::int32_t defaultValue = std::stoi(q.defaultValue);
            const UINT windows = GetPrivateProfileIntW(Wide(q.section).c_str(), Wide(q.key).c_str(),
                                                       defaultValue, path.c_str());
            EXPECT_EQ(ini::ReadInt(row.content, q.section, q.key, defaultValue), windows);
        } else {
            std::vector<wchar_t> buffer(q.capacity + 1, L'\0');
            const DWORD length = GetPrivateProfileStringW(
                Wide(q.section).c_str(), Wide(q.key).c_str(), Wide(q.defaultValue).c_str(),
                buffer.data(), static_cast<DWORD>(q.capacity), path.c_str());
            const std::string windows =
                text::ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length));
            EXPECT_EQ(ini::ReadString(row.content, q.section, q.key, q.defaultValue, q.capacity),
                      windows);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ProfileDifferential, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
