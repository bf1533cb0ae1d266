// The INI reader against the rules of the Windows profile functions, and the
// POSIX profile functions on real files.
#include "platform/posix/ini_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "control/text.h"
#include "platform/platform.h"

using namespace std::string_literals;

namespace {

// The buffer size the tool reads LogFileName with.
constexpr std::size_t kLogNameCapacity = 260;

struct StringCase {
    const char* name;
    std::string content;
    std::string section;
    std::string key;
    std::string defaultValue;
    std::string expected;
};

void ExpectStrings(const std::vector<StringCase>& cases) {
    for (const StringCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ini::ReadString(c.content, c.section, c.key, c.defaultValue, kLogNameCapacity),
                  c.expected);
    }
}

TEST(IniReadString, FindsTheEntryOfTheSection) {
    ExpectStrings({
        {"plain entry", "[TavixEMV]\nLogFileName=a.log\n", "TavixEMV", "LogFileName", "dflt",
         "a.log"},
        {"section name in other letter case", "[tavixEMV]\nLogFileName=a.log\n", "TAVIXemv",
         "LogFileName", "dflt", "a.log"},
        {"entry name in other letter case", "[TavixEMV]\nlogfilename=a.log\n", "TavixEMV",
         "LOGFILENAME", "dflt", "a.log"},
        {"blanks inside the brackets", "[ \tTavixEMV  ]\nLogFileName=a.log\n", "TavixEMV",
         "LogFileName", "dflt", "a.log"},
        {"blanks around lines, name and value",
         "  \t[TavixEMV]\t \n\t LogFileName \t=\t a.log \t\n", "TavixEMV", "LogFileName", "dflt",
         "a.log"},
        {"blanks inside a value are kept", "[TavixEMV]\nLogFileName = my log.txt \n", "TavixEMV",
         "LogFileName", "dflt", "my log.txt"},
        {"blanks around the names asked for", "[TavixEMV]\nLogFileName=a.log\n", " TavixEMV\t",
         "  LogFileName ", "dflt", "a.log"},
        {"blank inside an entry name", "[TavixEMV]\nLog File = a.log\n", "TavixEMV", "Log File",
         "dflt", "a.log"},
        {"'=' inside the value", "[TavixEMV]\nLogFileName=a=b.log\n", "TavixEMV", "LogFileName",
         "dflt", "a=b.log"},
        {"text after the closing bracket", "[TavixEMV] ; settings\nLogFileName=a.log\n",
         "TavixEMV", "LogFileName", "dflt", "a.log"},
        {"the last bracket on the line closes the header",
         "[TavixEMV] [x]\nLogFileName=a.log\n", "TavixEMV", "LogFileName", "dflt", "dflt"},
        {"a '[' line without ']' stays in the section",
         "[TavixEMV]\n[Broken\nLogFileName=a.log\n", "TavixEMV", "LogFileName", "dflt", "a.log"},
        {"missing section", "[Other]\nLogFileName=a.log\n", "TavixEMV", "LogFileName", "dflt",
         "dflt"},
        {"missing entry", "[TavixEMV]\nOutTimes=5\n", "TavixEMV", "LogFileName", "dflt", "dflt"},
        {"entry of the next section", "[TavixEMV]\nOutTimes=5\n[Other]\nLogFileName=a.log\n",
         "TavixEMV", "LogFileName", "dflt", "dflt"},
        {"entry before any header", "LogFileName=a.log\n[TavixEMV]\nOutTimes=5\n", "TavixEMV",
         "LogFileName", "dflt", "dflt"},
        {"empty section name reads the lines before the first header",
         "LogFileName=a.log\n[TavixEMV]\nLogFileName=b.log\n", "", "LogFileName", "dflt",
         "a.log"},
        {"longer entry name is another entry", "[TavixEMV]\nLogFileNameX=a.log\nLogFile=1\n",
         "TavixEMV", "LogFileName", "dflt", "dflt"},
        {"comment line", "[TavixEMV]\n;LogFileName=a.log\n", "TavixEMV", "LogFileName", "dflt",
         "dflt"},
        {"commented-out header", ";[TavixEMV]\nLogFileName=a.log\n", "TavixEMV", "LogFileName",
         "dflt", "dflt"},
        {"a NUL ends the value", "[TavixEMV]\nLogFileName=a.log\0tail\n"s, "TavixEMV",
         "LogFileName", "dflt", "a.log"},
        {"empty file", "", "TavixEMV", "LogFileName", "dflt", "dflt"},
    });
}

TEST(IniReadString, FirstMatchWins) {
    ExpectStrings({
        {"two entries of the name", "[TavixEMV]\nLogFileName=first\nLogFileName=second\n",
         "TavixEMV", "LogFileName", "dflt", "first"},
        {"two entries differing in letter case",
         "[TavixEMV]\nlogfilename=first\nLOGFILENAME=second\n", "TavixEMV", "LogFileName", "dflt",
         "first"},
        {"the entry in both sections of the name",
         "[TavixEMV]\nLogFileName=first\n[TavixEMV]\nLogFileName=second\n", "TavixEMV",
         "LogFileName", "dflt", "first"},
        // Only the first section of a name is searched (Wine's reader does so).
        {"the entry only in the second section of the name",
         "[TavixEMV]\nOutTimes=5\n[TavixEMV]\nLogFileName=second\n", "TavixEMV", "LogFileName",
         "dflt", "dflt"},
        {"the second section differs in letter case",
         "[TavixEMV]\nOutTimes=5\n[TAVIXEMV]\nLogFileName=second\n", "TavixEMV", "LogFileName",
         "dflt", "dflt"},
        {"a line without '=' hides a later value", "[TavixEMV]\nLogFileName\nLogFileName=a.log\n",
         "TavixEMV", "LogFileName", "dflt", "dflt"},
        {"an empty value hides a later one", "[TavixEMV]\nLogFileName=\nLogFileName=a.log\n",
         "TavixEMV", "LogFileName", "dflt", ""},
    });
}

// The settings share the file with the test script, whose sections and lines
// are no settings at all.
const std::string kScriptBefore =
    "; Production line 3\r\n"
    "[Card Protocol]\r\n"
    "T1\r\n"
    "[ATR]\r\n"
    "3B 68 00 00 00 73 C8 40 12 00 90 00\r\n"
    "OutTimes=99\r\n";
const std::string kSettings =
    "[TavixEMV]\r\n"
    "OutTimes=30\r\n"
    "XFREn=1\r\n"
    "LogFile=1\r\n"
    "LogFileName=Line3.log\r\n";
const std::string kScriptAfter =
    "[Card Protocol]\r\n"
    "T0\r\n"
    "[Command]\r\n"
    "00 A4 00 00 02 3F 00\r\n"
    "LogFileName=script.log\r\n";

TEST(IniReadString, SettingsAmongScriptSections) {
    const std::string whole = kScriptBefore + kSettings + kScriptAfter;
    ExpectStrings({
        {"script before the settings", kScriptBefore + kSettings, "TavixEMV", "OutTimes", "dflt",
         "30"},
        {"script after the settings", kSettings + kScriptAfter, "TavixEMV", "LogFileName", "dflt",
         "Line3.log"},
        {"script on both sides", whole, "TavixEMV", "LogFileName", "dflt", "Line3.log"},
        {"a script header ends the settings section",
         "[TavixEMV]\r\nOutTimes=30\r\n[Card Protocol]\r\nLogFileName=x.log\r\n", "TavixEMV",
         "LogFileName", "dflt", "dflt"},
        {"a script section is a section", whole, "ATR", "OutTimes", "dflt", "99"},
        {"a script line is an entry without value", whole, "Card Protocol", "T1", "dflt", "dflt"},
        {"a script line read as an entry name", whole, "Command", "00 A4 00 00 02 3F 00", "dflt",
         "dflt"},
    });
}

TEST(IniReadString, TakesOffOnePairOfQuotes) {
    const auto entry = [](const char* name, const std::string& value,
                          const std::string& expected) {
        return StringCase{name, "[TavixEMV]\nLogFileName=" + value + "\n", "TavixEMV",
                          "LogFileName", "dflt", expected};
    };
    ExpectStrings({
        entry("double quotes", "\"a.log\"", "a.log"),
        entry("single quotes", "'a.log'", "a.log"),
        entry("blanks inside quotes are kept", "\"  a.log  \"", "  a.log  "),
        entry("blanks outside quotes go", "  \"a.log\"  ", "a.log"),
        entry("quotes that do not match", "\"a.log'", "\"a.log'"),
        entry("only an opening quote", "\"a.log", "\"a.log"),
        entry("only a closing quote", "a.log\"", "a.log\""),
        entry("only one pair goes", "\"\"a.log\"\"", "\"a.log\""),
        entry("quotes inside the value", "a \"b\" c", "a \"b\" c"),
        entry("a lone quote", "\"", "\""),
        entry("two quotes", "\"\"", ""),
        entry("empty value", "", ""),
        entry("blanks only", "  \t ", ""),
    });
}

TEST(IniReadString, LineEndsAndByteOrderMark) {
    const auto file = [](const char* name, const std::string& content) {
        return StringCase{name, content, "TavixEMV", "LogFileName", "dflt", "a.log"};
    };
    ExpectStrings({
        file("LF", "[TavixEMV]\nOutTimes=5\nLogFileName=a.log\nXFREn=1\n"),
        file("CRLF", "[TavixEMV]\r\nOutTimes=5\r\nLogFileName=a.log\r\nXFREn=1\r\n"),
        file("CR only", "[TavixEMV]\rOutTimes=5\rLogFileName=a.log\rXFREn=1\r"),
        file("mixed", "[TavixEMV]\r\nOutTimes=5\nLogFileName=a.log\rXFREn=1\r\n"),
        file("no line end after the last line", "[TavixEMV]\r\nLogFileName=a.log"),
        file("empty lines", "\r\n\r\n[TavixEMV]\r\n\r\n\n\rLogFileName=a.log\r\n\r\n"),
        file("UTF-8 byte order mark", "\xEF\xBB\xBF[TavixEMV]\r\nLogFileName=a.log\r\n"),
        file("DOS end-of-file mark", "[TavixEMV]\r\nLogFileName=a.log\x1A"),
        file("DOS end-of-file mark on its own line", "[TavixEMV]\r\nLogFileName=a.log\r\n\x1A"),
    });
    ExpectStrings({
        {"a byte order mark after the start is text",
         "[TavixEMV]\r\n\xEF\xBB\xBFLogFileName=a.log\r\n", "TavixEMV", "LogFileName", "dflt",
         "dflt"},
    });
}

TEST(IniReadString, DefaultLosesTrailingSpacesAndQuotes) {
    const auto fallback = [](const char* name, const std::string& value,
                             const std::string& expected) {
        return StringCase{name, "[TavixEMV]\nOutTimes=5\n", "TavixEMV", "LogFileName", value,
                          expected};
    };
    ExpectStrings({
        fallback("plain", "CmdTavixEMV.log", "CmdTavixEMV.log"),
        fallback("trailing spaces", "x.log   ", "x.log"),
        fallback("leading spaces stay", "  x.log", "  x.log"),
        fallback("a trailing tab stays", "x.log\t", "x.log\t"),
        fallback("spaces only keep the first", "   ", " "),
        fallback("quotes", "\"x.log\"", "x.log"),
        fallback("empty", "", ""),
    });
}

struct CapacityCase {
    const char* name;
    std::string line;  // the line in [TavixEMV]
    std::size_t capacity;
    std::string expected;
};

TEST(IniReadString, CutsToTheBufferCapacity) {
    const std::vector<CapacityCase> cases = {
        {"no buffer", "LogFileName=val1", 0, ""},
        {"room for the terminator only", "LogFileName=val1", 1, ""},
        {"one character short", "LogFileName=val1", 4, "val"},
        {"exact fit", "LogFileName=val1", 5, "val1"},
        {"quoted, room to spare", "LogFileName=\"val1\"", 7, "val1"},
        {"quoted, exact fit", "LogFileName=\"val1\"", 6, "val1"},
        // Wine takes off one more character here; see CopyToBuffer.
        {"quoted, one short of the closing quote", "LogFileName=\"val1\"", 5, "val"},
        {"quoted, cut", "LogFileName=\"val1\"", 4, "val"},
        {"two-byte characters count one", "LogFileName=\xC3\xA9\xC3\xA9\xC3\xA9", 3,
         "\xC3\xA9\xC3\xA9"},
        {"a character beyond the BMP counts two", "LogFileName=a\xF0\x9F\x98\x80z", 5,
         "a\xF0\x9F\x98\x80z"},
        {"a character beyond the BMP fits whole", "LogFileName=a\xF0\x9F\x98\x80z", 4,
         "a\xF0\x9F\x98\x80"},
        {"a character beyond the BMP is not split", "LogFileName=a\xF0\x9F\x98\x80z", 3, "a"},
        {"a byte that is no UTF-8 counts one", "LogFileName=\xFF\x61\x62", 3, "\xFF\x61"},
        {"the default is cut too", "OutTimes=5", 4, "Cmd"},
    };
    for (const CapacityCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ini::ReadString("[TavixEMV]\r\n" + c.line + "\r\n", "TavixEMV", "LogFileName",
                                  "CmdTavixEMV.log", c.capacity),
                  c.expected);
    }
}

struct IntCase {
    const char* name;
    std::string line;  // the line in [TavixEMV]
    std::int32_t defaultValue;
    std::uint32_t expected;
};

TEST(IniReadInt, ReadsNumbersAsWindowsDoes) {
    const std::vector<IntCase> cases = {
        {"decimal", "OutTimes=45", 60, 45},
        {"entry name in other letter case", "OUTTIMES=45", 60, 45},
        {"plus sign", "OutTimes=+7", 60, 7},
        {"minus one wraps", "OutTimes=-1", 60, 0xFFFFFFFFu},
        {"smallest 32-bit value", "OutTimes=-2147483648", 60, 0x80000000u},
        {"largest 32-bit value", "OutTimes=4294967295", 60, 0xFFFFFFFFu},
        {"overflow wraps to 0", "OutTimes=4294967296", 60, 0},
        {"overflow wraps to 1", "OutTimes=4294967297", 60, 1},
        {"negative overflow wraps", "OutTimes=-4294967297", 60, 0xFFFFFFFFu},
        {"hexadecimal", "OutTimes=0x1F", 60, 0x1F},
        {"hexadecimal in lower case", "OutTimes=0xff", 60, 0xFF},
        {"hexadecimal, all bits", "OutTimes=0xFFFFFFFF", 60, 0xFFFFFFFFu},
        {"negative hexadecimal", "OutTimes=-0x10", 60, 0xFFFFFFF0u},
        {"upper-case X is no prefix", "OutTimes=0X1F", 60, 0},
        {"octal prefix", "OutTimes=0o17", 60, 15},
        {"binary prefix", "OutTimes=0b101", 60, 5},
        {"leading zero stays decimal", "OutTimes=017", 60, 17},
        {"prefix without digits", "OutTimes=0x", 60, 0},
        {"hexadecimal stops at the first non-digit", "OutTimes=0x1G", 60, 1},
        {"junk after the number", "OutTimes=12abc", 60, 12},
        {"decimal point", "OutTimes=1.5", 60, 1},
        {"comment after the number", "OutTimes=45 ; seconds", 60, 45},
        {"no number", "OutTimes=abc", 60, 0},
        {"two signs", "OutTimes=--5", 60, 0},
        {"blank after the sign", "OutTimes=- 5", 60, 0},
        {"quoted", "OutTimes=\"42\"", 60, 42},
        {"blank inside quotes", "OutTimes=' 42'", 60, 42},
        {"blanks before the value", "OutTimes=\t 42", 60, 42},
        // The value is cut to 29 characters before it is read.
        {"29 characters are read", "OutTimes=" + std::string(27, '0') + "12", 60, 12},
        {"the 30th character is cut off", "OutTimes=" + std::string(29, '0') + "12", 60, 0},
        {"empty value gives the default", "OutTimes=", 60, 60},
        {"empty quotes give the default", "OutTimes=\"\"", 60, 60},
        {"no '=' gives the default", "OutTimes", 60, 60},
        {"missing entry gives the default", "XFREn=1", 60, 60},
        {"missing section gives the default", "[Other]\r\nOutTimes=5", 60, 60},
        {"negative default wraps", "XFREn=1", -5, 0xFFFFFFFBu},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ini::ReadInt("[TavixEMV]\r\n" + c.line + "\r\n", "TavixEMV", "OutTimes",
                               c.defaultValue),
                  c.expected);
    }
}

// ------------------------------------------------------------ real files

// A fresh directory for the test's files, removed afterwards.
class ProfileFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tavix_profile_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Writes the bytes to `name` (UTF-8) in the directory; gives the path.
    std::u16string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << bytes;
        file.close();
        EXPECT_TRUE(file) << "cannot write " << path;
        return text::FromUtf8(path);
    }

    std::u16string PathOf(const std::string& name) const {
        return text::FromUtf8(dir_ + "/" + name);
    }

    std::string dir_;
};

std::string Utf16WithByteOrderMark(const std::u16string& text, bool littleEndian) {
    std::string bytes;
    const auto put = [&](char16_t unit) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes.push_back(littleEndian ? low : high);
        bytes.push_back(littleEndian ? high : low);
    };
    put(u'\xFEFF');
    for (const char16_t unit : text) put(unit);
    return bytes;
}

TEST_F(ProfileFileTest, ReadsTheSettingsFromTheFile) {
    const std::u16string path =
        Write("CmdTavixEMV.ini", kScriptBefore + kSettings + kScriptAfter);
    EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"OutTimes", 60, path), 30u);
    EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"XFREn", 0, path), 1u);
    EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"LogFile", 0, path), 1u);
    EXPECT_EQ(platform::ProfileString(u"TavixEMV", u"LogFileName", u"CmdTavixEMV.log",
                                      kLogNameCapacity, path),
              u"Line3.log");
}

TEST_F(ProfileFileTest, MissingOrUnreadableFileGivesTheDefaults) {
    // A path that does not exist, and one that is a directory.
    for (const std::u16string& path : {PathOf("absent.ini"), text::FromUtf8(dir_)}) {
        SCOPED_TRACE(text::ToUtf8(path));
        EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"OutTimes", 60, path), 60u);
        EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"OutTimes", -1, path), 0xFFFFFFFFu);
        EXPECT_EQ(platform::ProfileString(u"TavixEMV", u"LogFileName", u"CmdTavixEMV.log",
                                          kLogNameCapacity, path),
                  u"CmdTavixEMV.log");
    }
}

TEST_F(ProfileFileTest, ReadsTheFileAgainOnEveryCall) {
    const std::u16string path = Write("CmdTavixEMV.ini", "[TavixEMV]\r\nOutTimes=5\r\n");
    EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"OutTimes", 60, path), 5u);
    Write("CmdTavixEMV.ini", "[TavixEMV]\r\nOutTimes=7\r\n");
    EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"OutTimes", 60, path), 7u);
}

TEST_F(ProfileFileTest, NonAsciiPathAndValue) {
    // "Prüfstand" in the file name, and a log name with characters of two,
    // three and four UTF-8 bytes.
    const std::u16string path = Write(
        "Pr\xC3\xBC" "fstand.ini",
        "[TavixEMV]\r\nLogFileName=Protokoll-\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80.log\r\n");
    EXPECT_EQ(platform::ProfileString(u"TavixEMV", u"LogFileName", u"CmdTavixEMV.log",
                                      kLogNameCapacity, path),
              u"Protokoll-\u00E4\u20AC\U0001F600.log");
    // The capacity counts UTF-16 units: the last character takes two.
    EXPECT_EQ(platform::ProfileString(u"TavixEMV", u"LogFileName", u"CmdTavixEMV.log", 14, path),
              u"Protokoll-\u00E4\u20AC");
}

TEST_F(ProfileFileTest, ReadsUtf16FilesWithByteOrderMark) {
    const std::u16string content =
        u"[TavixEMV]\r\nOutTimes=12\r\nLogFileName=Pr\u00FCfung.log\r\n";
    for (const bool littleEndian : {true, false}) {
        SCOPED_TRACE(littleEndian ? "little-endian" : "big-endian");
        const std::u16string path =
            Write("CmdTavixEMV.ini", Utf16WithByteOrderMark(content, littleEndian));
        EXPECT_EQ(platform::ProfileInt(u"TavixEMV", u"OutTimes", 60, path), 12u);
        EXPECT_EQ(platform::ProfileString(u"TavixEMV", u"LogFileName", u"CmdTavixEMV.log",
                                          kLogNameCapacity, path),
                  u"Pr\u00FCfung.log");
    }
}

}  // namespace
