// The per-card results file: one exact CSV row per judged card.
#include "control/result_file.h"

#include "card_test/card_test_cycle.h"
#include <set>

#include "control/text.h"
#include "reader_id/reader_identity.h"
#include "tests/unit/tool_test.h"

namespace {

const std::string kResults = "results.csv";

class ResultFileTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ReadyForCard();
        Tool().XFREn = 1;
        Tool().ResultPath = U(kResults);
    }

    const std::string& Results() { return world().files[world().Path(U(kResults))]; }

    // The row expected for the card just judged, with the fake's clock.
    std::string Row(const std::string& rest) {
        return IsoLocalTime(platform::CurrentTimeMs()) + ",line-3," + text::ToUtf8(kReader) + "," + rest +
               "\r\n";
    }
};

const std::string kScript = "[Card Protocol]\nT1\n[ATR]\n3B 02 14 50\n[XFR]\n2\n00 01\n90 00\n00 02\n90 00\n";

struct RowCase {
    const char* name;
    std::string script;  // empty: no configuration file at all
    fake::Card card;
    std::string inject;  // a card-service call that fails once
    std::string rest;    // the row after time, host and reader
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class ResultRows : public ResultFileTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(ResultRows, OneExactRowPerJudgedCard) {
    const RowCase& c = GetParam();
    if (!c.script.empty()) WriteConfig(c.script);
    world().Insert(kReader, c.card);
    if (!c.inject.empty()) world().Inject(c.inject, fake::kCommError);
    RunCardTestCycle();
    EXPECT_EQ(Results(), kResultHeader + Row(c.rest));
}

fake::Card CardAnswering(fake::Bytes answer) {
    fake::Card card;
    card.defaultResponse = std::move(answer);
    return card;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ResultRows,
    ::testing::Values(
        RowCase{"pass", kScript, {}, "", ",,3B 02 14 50,PASS,0x0000,passed,2,1"},
        RowCase{"script_missing", "", {}, "", ",,,FAILED,0xE006,test script could not be opened or read,0,0"},
        RowCase{"script_line_out_of_place", "[Nonsense]\n", {}, "",
                ",,,FAILED,0xE007,test script line missing or out of place,0,0"},
        RowCase{"unknown_protocol", "[Card Protocol]\nT=1\n", {}, "",
                ",,,FAILED,0xE008,unknown protocol in the test script,0,0"},
        RowCase{"atr_not_read", kScript, {.atr = {}}, "", ",,,FAILED,0xE009,card ATR could not be read,0,1"},
        RowCase{"connection_refused", kScript, {}, "Connect",
                ",,3B 02 14 50,FAILED,0xE00A,connection to the card refused,0,1"},
        RowCase{"exchange_failed", kScript, {}, "Transmit",
                ",,3B 02 14 50,FAILED,0xE00B,command could not be exchanged with the card,1,1"},
        RowCase{"answer_differs", kScript, CardAnswering({0x6A, 0x82}), "",
                ",,3B 02 14 50,FAILED,0xE00C,card answer differs from the test script,1,1"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ResultCauseTest, EveryResultCodeHasItsOwnCause) {
    const ResultCode codes[] = {0x0000, 0xE002, 0xE004, 0xE005, 0xE006, 0xE007,
                                0xE008, 0xE009, 0xE00A, 0xE00B, 0xE00C};
    std::set<std::string> causes;
    for (const ResultCode code : codes) causes.insert(ResultCause(code));
    EXPECT_EQ(causes.size(), std::size(codes));
    EXPECT_EQ(causes.count("unknown result"), 0u);
    EXPECT_STREQ(ResultCause(0xE003), "unknown result");
}

TEST_F(ResultFileTest, CardsWithoutAVerdictGiveNoRow) {
    for (const std::uint32_t state : {0x10u, 0x220u, 0x28u}) {  // empty, mute, unavailable
        world().Insert(kReader, fake::Card{.state = state});
        RunCardTestCycle();
    }
    EXPECT_FALSE(world().files.contains(world().Path(U(kResults))));
}

TEST_F(ResultFileTest, RowsAccumulateAndAnExistingFileIsNeverTruncated) {
    world().files[world().Path(U(kResults))] = std::string(kResultHeader) + "an,earlier,row\r\n";
    WriteConfig("");
    for (int i = 0; i < 3; ++i) {
        world().Insert(kReader, fake::Card{});
        RunCardTestCycle();
    }
    const std::string& results = Results();
    EXPECT_TRUE(results.starts_with(std::string(kResultHeader) + "an,earlier,row\r\n"));
    std::size_t rows = 0;
    for (std::size_t pos = 0; (pos = results.find("\r\n", pos)) != std::string::npos; pos += 2) ++rows;
    EXPECT_EQ(rows, 5u);
}

TEST_F(ResultFileTest, AnUnwritableFileIsSilentAndTriedAgainForTheNextCard) {
    WriteConfig("");
    const std::u16string path = world().Path(U(kResults));
    world().unwritable.insert(path);
    world().Insert(kReader, fake::Card{});
    EXPECT_EQ(RunCardTestCycle(), 0);
    EXPECT_EQ(world().console, kPass);
    EXPECT_FALSE(world().files.contains(path));

    world().unwritable.clear();
    world().Insert(kReader, fake::Card{});
    EXPECT_EQ(RunCardTestCycle(), 0);
    EXPECT_EQ(Results(), kResultHeader + Row(",,,PASS,0x0000,passed,0,0"));
}

TEST_F(ResultFileTest, IdentityColumnsHoldTheLastReportedReader) {
    world().interfacePaths = {u"\\\\?\\usb#vid_0d3b&pid_6173#ABC123#{50dd5230-ba8a-11d1-bf5d-0000f805f530}"s};
    ReportReaderIdentity();
    WriteConfig("");
    world().Insert(kReader, fake::Card{});
    RunCardTestCycle();
    EXPECT_EQ(Results(), kResultHeader + Row("vid_0d3b&pid_6173,ABC123,,PASS,0x0000,passed,0,0"));

    // A plug-in with no supported reader clears them.
    world().interfacePaths.clear();
    ReportReaderIdentity();
    EXPECT_EQ(Tool().ReaderHardwareId, u"");
    EXPECT_EQ(Tool().ReaderSerialNumber, u"");
}

TEST_F(ResultFileTest, FieldsAreQuotedAsCsvWants) {
    const std::u16string reader = u"Reader \"A\", slot 1";
    ReadyForCard(reader);
    WriteConfig("");
    world().Insert(reader, fake::Card{});
    RunCardTestCycle();
    EXPECT_NE(Results().find(",\"Reader \"\"A\"\", slot 1\","), std::string::npos) << Results();

    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"}, {"", ""}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""}, {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"}};
    for (const auto& [value, field] : cases) EXPECT_EQ(CsvField(value), field);
}

TEST_F(ResultFileTest, LocalTimeInIso8601WithMillisecondsAndOffset) {
    struct Case { std::int64_t ms; int offset; std::string iso; };
    const Case cases[] = {
        {1733749387042, 60, "2024-12-09T14:03:07.042+01:00"},
        {1733749387999, 0, "2024-12-09T13:03:07.999+00:00"},
        {1733749387000, -330, "2024-12-09T07:33:07.000-05:30"},
        {951782400000, 0, "2000-02-29T00:00:00.000+00:00"},  // leap day
        {1735689599500, 60, "2025-01-01T00:59:59.500+01:00"},
    };
    for (const Case& c : cases) {
        world().utcOffsetMinutes = c.offset;
        EXPECT_EQ(IsoLocalTime(c.ms), c.iso);
    }
    world().localTimeFails = true;
    EXPECT_EQ(IsoLocalTime(0), "");
}

TEST_F(ResultFileTest, WithoutTheSettingNothingElseChanges) {
    // The same card, with and without a results file: console and log alike.
    std::u16string console[2];
    std::u16string log[2];
    for (int withResults = 0; withResults < 2; ++withResults) {
        ResetToolState();
        fake::Reset();
        ReadyForCard();
        Tool().XFREn = 1;
        Tool().LogFile = 1;
        Tool().LogPath = u"test.log";
        if (withResults != 0) Tool().ResultPath = U(kResults);
        WriteConfig(kScript);
        world().Insert(kReader, fake::Card{});
        RunCardTestCycle();
        console[withResults] = world().consoleWithColours;
        log[withResults] = Log();
        EXPECT_EQ(world().files.contains(world().Path(U(kResults))), withResults != 0);
    }
    EXPECT_EQ(console[0], console[1]);
    EXPECT_EQ(log[0], log[1]);
}

}  // namespace
