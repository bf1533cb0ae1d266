// The TestScript reader and its protocol and ATR sections: what each script
// prints, in order, and the card's result.
#include "card_test/test_script.h"

#include "card_test/script_sections.h"
#include "tests/unit/tool_test.h"

namespace {

class TestScriptTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ReadyForCard();
        world().Insert(kReader, fake::Card{.atr = {0x3B, 0x02, 0x14, 0x50}});
        Tool().LogFile = 1;
        Tool().LogPath = u"test.log";
    }

    ResultCode Run(const std::string& script) {
        WriteConfig(script);
        return RunTestScript(1);
    }
};

struct ScriptCase {
    const char* name;
    std::string script;
    bool transfersOn;
    ResultCode expected;
    std::u16string console;  // everything printed, console-only lines included
    std::u16string log;      // what was reported
};

// Test names, not byte dumps, in listings and failures.
void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.name; }

class ScriptCases : public TestScriptTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptCases, PrintsAndResultsAsExpected) {
    const ScriptCase& c = GetParam();
    Tool().XFREn = c.transfersOn ? 1 : 0;
    EXPECT_EQ(Run(c.script), c.expected);
    EXPECT_EQ(world().console, c.console);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(world().scriptOpens, world().scriptCloses) << "the script is always closed";
    EXPECT_EQ(Tool().ScriptFile, nullptr);
}

const std::u16string kProtoT1 = u"Test Protocol : T1\r\n"s;
const std::u16string kMatched = u"\r\nCard ATR matched\r\n"s + kReader + u" \r\n"s + kRule;

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptCases,
    ::testing::Values(
        ScriptCase{"empty_file", "", false, 0, u"", u""},
        ScriptCase{"comments_only", "; one\n;\n\n;two", false, 0, u"", u""},
        ScriptCase{"protocol_only", "[Card Protocol]\nT1\n", false, 0, kProtoT1, kProtoT1},
        ScriptCase{"comment_between_header_and_body", "[Card Protocol]\n; why\n\nAuto\n", false, 0,
                   u"Test Protocol : Auto\r\n", u"Test Protocol : Auto\r\n"},
        ScriptCase{"protocol_missing_at_end", "; 1\n; 2\n\n; 4\n\n; 6\n[Card Protocol]\n", false, 0xE007,
                   u"Can't get protocol setting in CmdTavixEMV.ini line 7\r\n", u""},
        ScriptCase{"protocol_lower_case", "[Card Protocol]\nt1\n", false, 0xE008,
                   u"Test Protocol : t1\r\nUnknown protocol setting : t1 \r\n",
                   u"Test Protocol : t1\r\n"},
        ScriptCase{"protocol_trailing_space", "[Card Protocol]\nT1 \n", false, 0xE008,
                   u"Test Protocol : T1 \r\nUnknown protocol setting : T1  \r\n",
                   u"Test Protocol : T1 \r\n"},
        ScriptCase{"atr_matched_transfers_off", "[ATR]\n3B 02 14 50\n[XFR]\n", false, 0,
                   u"3B 02 14 50"s + kMatched, u"3B 02 14 50"s + kMatched},
        ScriptCase{"atr_matched_transfers_on_then_end", "[ATR]\n3B 02 14 50\n", true, 0,
                   u"3B 02 14 50", u"3B 02 14 50"},
        ScriptCase{"atr_matched_then_settings_header", "[ATR]\n3B 02 14 50\n[TavixEMV]\nXFREn=1\n", true,
                   0xE007, u"3B 02 14 500x3: [TavixEMV]\r\n", u"3B 02 14 50"},
        ScriptCase{"atr_missing_at_end", "[ATR]\n;\n", false, 0xE007,
                   u"Can't get ATR from CmdTavixEMV.ini line 2\r\n", u""},
        ScriptCase{"atr_header_with_trailing_space", "[ATR] \n", false, 0xE007, u"0x1: [ATR] \r\n", u""},
        ScriptCase{"atr_header_with_leading_space", " [ATR]\n", false, 0xE007, u"0x1:  [ATR]\r\n", u""},
        ScriptCase{"atr_header_lower_case", "[atr]\n", false, 0xE007, u"0x1: [atr]\r\n", u""},
        ScriptCase{"space_before_semicolon", " ; not a comment\n", false, 0xE007,
                   u"0x1:  ; not a comment\r\n", u""},
        ScriptCase{"tenth_line_is_unexpected", ";\n;\n;\n;\n;\n;\n;\n;\n;\nbad\n", false, 0xE007,
                   u"0xA: bad\r\n", u""},
        ScriptCase{"settings_section_first", "[TavixEMV]\nXFREn=1\n[Card Protocol]\nT1\n", false,
                   0xE007, u"0x1: [TavixEMV]\r\n", u""},
        ScriptCase{"per_cent_signs_are_text", "[Card Protocol]\n%s%n%x\n", false, 0xE008,
                   u"Test Protocol : %s%n%x\r\nUnknown protocol setting : %s%n%x \r\n",
                   u"Test Protocol : %s%n%x\r\n"},
        ScriptCase{"crlf_line_ends", "[Card Protocol]\r\nT1\r\n[ATR]\r\n3B 02 14 50\r\n", false, 0,
                   kProtoT1 + u"3B 02 14 50" + kMatched, kProtoT1 + u"3B 02 14 50" + kMatched},
        ScriptCase{"last_line_without_line_end", "[Card Protocol]\nT0", false, 0,
                   u"Test Protocol : T0\r\n", u"Test Protocol : T0\r\n"},
        ScriptCase{"cr_without_lf_stays_in_the_line", "[Card Protocol]\rT1\n", false, 0xE007,
                   u"0x1: [Card Protocol]\rT1\r\n", u""},
        ScriptCase{"latin1_byte_and_utf8", "[Card Protocol]\n\xE9 \xC3\xA9\n", false, 0xE008,
                   u"Test Protocol : \u00E9 \u00E9\r\nUnknown protocol setting : \u00E9 \u00E9 \r\n",
                   u"Test Protocol : \u00E9 \u00E9\r\n"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(TestScriptTest, AtrNotMatchedRunsTheBasicCheckWhateverTransfersSay) {
    for (const std::uint32_t transfers : {0u, 1u}) {
        world().console.clear();
        Tool().XFREn = transfers;
        EXPECT_EQ(Run("[ATR]\n3b 02 14 50\n[XFR]\n"), 0);
        EXPECT_TRUE(world().console.starts_with(
            u"3B 02 14 50\r\nCard ATR not matched, We only do some simple test:\r\n"));
        EXPECT_EQ(world().CallsNamed("Transmit").back().data,
                  (fake::Bytes{0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}));
    }
}

TEST_F(TestScriptTest, ExpectedAtrMustMatchCharacterForCharacter) {
    world().Insert(kReader, fake::Card{.atr = {0x3B, 0x8F, 0x80, 0x01}});
    const char* nonMatching[] = {"3b 8f 80 01", "3B  8F 80 01", " 3B 8F 80 01", "3B 8F 80 01 ",
                                 "3B\t8F 80 01", "3B 8F 80", "3B8F8001"};
    for (const char* expected : nonMatching) {
        WriteConfig(std::string("[ATR]\n") + expected + "\n");
        Tool().ScriptLineNumber = 0;
        Tool().ScriptFile = platform::OpenScriptFile(u"CmdTavixEMV.ini");
        std::u16string header;
        ASSERT_TRUE(ReadScriptLine(header));
        EXPECT_EQ(ReadAtrSection(1), 0);
        EXPECT_FALSE(Tool().AtrMatched) << expected;
        platform::CloseScriptFile(Tool().ScriptFile);
        Tool().ScriptFile = nullptr;
    }
}

TEST_F(TestScriptTest, OneByteAtrIsTwoCharacters) {
    world().Insert(kReader, fake::Card{.atr = {0x3B}});
    Tool().XFREn = 1;
    EXPECT_EQ(Run("[ATR]\n3B\n"), 0);
    EXPECT_TRUE(Tool().AtrMatched);
    EXPECT_EQ(world().console, u"3B");
}

TEST_F(TestScriptTest, AtrThatCannotBeReadFailsSilently) {
    Tool().XFREn = 1;
    world().Inject("GetStatusChange", fake::kTimeout);
    EXPECT_EQ(Run("[ATR]\n3B 02 14 50\n"), 0xE009);
    world().Remove(kReader);  // pulled out after it was seen: no ATR
    EXPECT_EQ(Run("[ATR]\n3B 02 14 50\n"), 0xE009);
    EXPECT_EQ(world().console, u"");
    EXPECT_EQ(Tool().ScriptLineNumber, 1) << "the expected-ATR line is not read";
}

TEST_F(TestScriptTest, AtrQueryIsMadeWithUnawareStateAndNoTimeOut) {
    Tool().XFREn = 1;
    Run("[ATR]\n3B 02 14 50\n");
    const auto query = world().CallsNamed("GetStatusChange").at(0);
    EXPECT_EQ(query.a, 0u);
    EXPECT_EQ(query.b, 0u);
    EXPECT_EQ(query.reader, kReader);
}

TEST_F(TestScriptTest, ProtocolKeywordsSetTheTransferProtocols) {
    struct Case { const char* line; std::uint32_t protocols; ResultCode result; };
    const Case cases[] = {{"Auto", 3, 0}, {"T0", 1, 0}, {"T1", 2, 0}, {"AUTO", 0, 0xE008},
                          {"T=1", 0, 0xE008}, {"auto", 0, 0xE008}};
    for (const Case& c : cases) {
        Tool().CardProtocol = 7;
        EXPECT_EQ(Run(std::string("[Card Protocol]\n") + c.line + "\n"), c.result) << c.line;
        EXPECT_EQ(Tool().CardProtocol, c.protocols) << c.line;
    }
}

TEST_F(TestScriptTest, SecondProtocolSectionReplacesTheFirst) {
    Tool().XFREn = 1;
    EXPECT_EQ(Run("[Card Protocol]\nT0\n[ATR]\n3B 02 14 50\n[Card Protocol]\nT1\n[XFR]\n0\n"), 0);
    EXPECT_EQ(world().CallsNamed("Connect").back().b, 2u);
}

TEST_F(TestScriptTest, TransferSectionBeforeAnyAtrRunsWhateverTheSettings) {
    Tool().XFREn = 0;
    world().Insert(kReader, fake::Card{.atr = {0x3B, 0x00}});
    Tool().CardProtocol = 3;
    EXPECT_EQ(Run("[XFR]\n0\n"), 0);
    EXPECT_EQ(world().CallsNamed("Connect").size(), 1u);
}

TEST_F(TestScriptTest, ScriptHeldOpenElsewhereFailsTheCard) {
    WriteConfig("[Card Protocol]\nT1\n");
    world().lockedScripts.insert(world().Path(u"CmdTavixEMV.ini"));
    EXPECT_EQ(RunTestScript(1), 0xE006);
    EXPECT_EQ(world().console, u"");
}

TEST_F(TestScriptTest, ReadErrorNeverPassesTheCard) {
    world().scriptReadErrorAtLine = 3;
    EXPECT_EQ(Run("[Card Protocol]\nT1\n[ATR]\n3B 02 14 50\n"), 0xE006);
    EXPECT_EQ(world().scriptOpens, world().scriptCloses);
}

TEST_F(TestScriptTest, AnEarlierOpenScriptIsClosedFirst) {
    WriteConfig("");
    Tool().ScriptFile = platform::OpenScriptFile(u"CmdTavixEMV.ini");
    EXPECT_EQ(RunTestScript(1), 0);
    EXPECT_EQ(world().scriptOpens, 2);
    EXPECT_EQ(world().scriptCloses, 2);
}

TEST_F(TestScriptTest, ReadScriptLineWithoutAnOpenScriptIsFalse) {
    std::u16string line = u"kept";
    EXPECT_FALSE(ReadScriptLine(line));
    EXPECT_EQ(line, u"kept");
}

}  // namespace
