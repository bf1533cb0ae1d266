// The card checks and the transfer test: what reaches the card, what is
// printed, and how every connection ends.
#include <optional>

#include "card_test/card_checks.h"
#include "card_test/test_script.h"
#include "card_test/transfer_test.h"
#include "control/text.h"
#include "tests/unit/tool_test.h"

namespace {

const fake::Bytes kSelectMf = {0xA0, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

class CardExchangeTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ReadyForCard();
        Tool().XFREn = 1;
        Tool().LogFile = 1;
        Tool().LogPath = u"test.log";
    }

    void TearDown() override {
        // Every successful connection ends in exactly one disconnect that
        // leaves the card, besides the warm-up's reset; every transaction ends.
        const auto& calls = world().calls;
        for (const fake::Call& connect : world().CallsNamed("Connect")) {
            if (connect.status != 0) continue;
            int disconnects = 0, begins = 0, ends = 0;
            for (const fake::Call& c : calls) {
                if (c.handle != connect.handle) continue;
                disconnects += c.name == "Disconnect";
                begins += c.name == "BeginTransaction";
                ends += c.name == "EndTransaction";
                if (c.name == "EndTransaction") {
                    EXPECT_EQ(c.a, 0u) << "SCARD_LEAVE_CARD";
                }
            }
            EXPECT_EQ(disconnects, 1) << "handle " << connect.handle;
            EXPECT_EQ(begins, ends) << "handle " << connect.handle;
        }
        EXPECT_TRUE(world().connectedCards.empty());
        for (const fake::Call& c : world().CallsNamed("Disconnect")) {
            EXPECT_TRUE(c.a == 0u || (c.a == 1u && world().osVersion.major == 6))
                << "disposition " << c.a;
        }
    }

    ResultCode Run(const std::string& script) {
        WriteConfig(script);
        return RunTestScript(1);
    }
};

// ------------------------------------------------------------ hex and count

TEST(HexTextToBytesTest, Rules) {
    struct Case { std::u16string line; fake::Bytes bytes; };
    const Case cases[] = {
        {u"00 A4 04 00 02 3F 00", {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}},
        {u"00A404 00023F00", {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}},
        {u"90 0", {0x90}},                       // odd last digit ignored
        {u"9", {}},
        {u"", {}},
        {u"   ", {}},
        {u"a0", {0xA0}},                         // lower case: ('a'-0x37)*16 wraps to A0 ...
        {u"0a", {0x2A}},                         // ... but as the low digit it gives 2A
        {u"\t0", {static_cast<std::uint8_t>((0x09 - 0x30) * 16)}},  // a tab is not removed
        {u"FF ff", {0xFF, 0xFF & ((0x66 - 0x37) * 16 + (0x66 - 0x37))}},
        {u"G0", {0x00}},                         // 'G' is 16: 16*16 wraps to 0
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = {1, 2, 3};
        EXPECT_EQ(HexTextToBytes(c.line, bytes), c.bytes.size());
        EXPECT_EQ(bytes, c.bytes) << text::ToUtf8(c.line);
    }
}

TEST(HexTextToBytesTest, LongLinesAreCarriedWhole) {
    std::u16string line;
    for (int i = 0; i < 300; ++i) line += u"5A ";
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(HexTextToBytes(line, bytes), 300u);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(300, 0x5A));
}

TEST(ParseCountTest, Rules) {
    struct Case { std::u16string line; std::int32_t count; };
    const Case cases[] = {
        {u"5", 5}, {u"0", 0}, {u"", 0}, {u"0x", 0}, {u"0x0", 0}, {u"0x05", 5}, {u"0X0A", 10},
        {u"0x10", 16}, {u"0xff", static_cast<std::int32_t>((0x66 - 0x37) * 16 + (0x66 - 0x37))},
        {u"123", 123}, {u"-1", static_cast<std::int32_t>(static_cast<std::uint32_t>(0x2D - 0x30) * 10u + 1u)},
        {u"4294967296", 0}, {u"2147483648", INT32_MIN},
        {u"0x1FFFFFFFF", -1},  // a ninth digit weighs nothing
        {u" 5", static_cast<std::int32_t>(static_cast<std::uint32_t>(0x20 - 0x30) * 10u + 5u)},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseCount(c.line), c.count) << text::ToUtf8(c.line);
}

TEST(AppendHexBytesTest, PairsEachFollowedByASpaceThenLineEnd) {
    std::u16string text = u"ATR : ";
    const std::uint8_t bytes[] = {0x3B, 0x02, 0x14, 0x50};
    AppendHexBytes(text, bytes);
    EXPECT_EQ(text, u"ATR : 3B 02 14 50 \r\n");
    std::u16string empty;
    AppendHexBytes(empty, {});
    EXPECT_EQ(empty, u"\r\n");
    // Any length, with no 84-byte limit.
    std::vector<std::uint8_t> many(258, 0xAB);
    std::u16string big;
    AppendHexBytes(big, many);
    EXPECT_EQ(big.size(), 258u * 3 + 2);
}

// ------------------------------------------------------------ basic check

const std::u16string kNotMatched = u"\r\nCard ATR not matched, We only do some simple test:\r\n"s;

TEST_F(CardExchangeTest, BasicCheckShowsTheFirstTwoBytesOfAnyAnswer) {
    struct Case { fake::Bytes answer; std::u16string shown; };
    const Case cases[] = {
        {{0x6E, 0x00}, u"Response: 6E 00\r\n"},
        {{0x6D, 0x00}, u"Response: 6D 00\r\n"},
        {{0x12, 0x34, 0x90, 0x00}, u"Response: 12 34\r\n"},
    };
    for (const Case& c : cases) {
        world().console.clear();
        world().Insert(kReader, fake::Card{.atr = {0x3B, 0x8F}, .responses = {{kSelectMf, c.answer}}});
        EXPECT_EQ(Run("[ATR]\n3B 02\n"), 0);
        EXPECT_EQ(world().console, u"3B 8F"s + kNotMatched + kRule + kReader + u"\r\n" +
                                       u"ATR : 3B 8F \r\nActiveProtocol : T1\r\n" +
                                       u"Cmd : A0 A4 00 00 02 3F 00\r\n" + c.shown + kRule);
    }
    const auto sent = world().CallsNamed("Transmit").back();
    EXPECT_EQ(sent.data, kSelectMf);
    EXPECT_EQ(sent.offered, 128u);
    EXPECT_EQ(sent.a, 2u) << "the I/O request carries the active protocol";
    EXPECT_EQ(world().CallsNamed("Connect").back().b, 3u);
    EXPECT_EQ(Tool().CardProtocol, 3u);
}

TEST_F(CardExchangeTest, BasicCheckAnswerWithoutStatusWordIsNoExchange) {
    for (const fake::Bytes& answer : {fake::Bytes{}, fake::Bytes{0x61}}) {
        world().console.clear();
        world().Insert(kReader, fake::Card{.responses = {{kSelectMf, answer}}});
        EXPECT_EQ(RunBasicCardCheck(1), 0xE00B);
        EXPECT_TRUE(world().console.ends_with(u"Cmd : A0 A4 00 00 02 3F 00\r\n"s +
                                              u"Error! Fail to send smartcard data !\r\n" + kRule));
    }
}

TEST_F(CardExchangeTest, BasicCheckConnectionRefused) {
    world().Insert(kReader, fake::Card{.atr = {0x3B}});
    world().Inject("Connect", fake::kProtoMismatch);
    Tool().ReaderStateRecord.atr[0] = 0x3B;
    Tool().ReaderStateRecord.atrLength = 1;
    EXPECT_EQ(RunBasicCardCheck(1), 0xE00A);
    EXPECT_EQ(world().console, kNotMatched + kRule + kReader + u"\r\nATR : 3B \r\n");
    EXPECT_TRUE(world().CallsNamed("BeginTransaction").empty());
}

TEST_F(CardExchangeTest, BasicCheckExchangeFailure) {
    world().Insert(kReader, fake::Card{.atr = {}});
    world().cards[kReader].activeProtocol = 1;
    world().Inject("Transmit", fake::kCommError);
    Tool().ReaderStateRecord.atrLength = 0;
    EXPECT_EQ(RunBasicCardCheck(1), 0xE00B);
    EXPECT_EQ(world().console, kNotMatched + kRule + kReader + u"\r\nATR : \r\n" +
                                   u"ActiveProtocol : T0\r\nCmd : A0 A4 00 00 02 3F 00\r\n" +
                                   u"Error! Fail to send smartcard data !\r\n" + kRule);
    EXPECT_EQ(Log(), world().console);
}

TEST_F(CardExchangeTest, NoProtocolLineForAnUnknownActiveProtocol) {
    world().Insert(kReader, fake::Card{.activeProtocol = 0});
    EXPECT_EQ(RunBasicCardCheck(1), 0);
    EXPECT_EQ(world().console.find(u"ActiveProtocol"), std::u16string::npos);
    EXPECT_EQ(world().CallsNamed("Transmit").back().a, 0u);
}

TEST_F(CardExchangeTest, MatchedCheckConnectsAndDisconnects) {
    world().Insert(kReader, fake::Card{});
    Tool().XFREn = 0;
    Tool().CardProtocol = 1;
    EXPECT_EQ(Run("[Card Protocol]\nT0\n[ATR]\n3B 02 14 50\n"), 0);
    EXPECT_EQ(world().console, u"Test Protocol : T0\r\n3B 02 14 50\r\nCard ATR matched\r\n"s + kReader +
                                   u" \r\n" + kRule);
    EXPECT_TRUE(world().CallsNamed("Transmit").empty());
    EXPECT_TRUE(world().CallsNamed("BeginTransaction").empty());
    EXPECT_EQ(Tool().CardProtocol, 3u);
}

TEST_F(CardExchangeTest, MatchedCheckConnectionRefusedFailsTheCard) {
    world().Insert(kReader, fake::Card{});
    Tool().XFREn = 0;
    world().Inject("Connect", fake::kRemovedCard);
    EXPECT_EQ(Run("[ATR]\n3B 02 14 50\n"), 0xE00A);
    EXPECT_EQ(world().console, u"3B 02 14 50\r\nCard ATR matched\r\n"s + kReader + u" \r\n");
}

TEST_F(CardExchangeTest, WarmUpConnectionOnlyOnVersionSixPointOneAndLater) {
    struct Case { platform::OsVersion version; bool warmUp; };
    const Case cases[] = {{{6, 1}, true}, {{6, 2}, true}, {{6, 3}, true}, {{6, 0}, false},
                          {{10, 0}, false}, {{5, 1}, false}, {{0, 0}, false}};
    for (const Case& c : cases) {
        world().calls.clear();
        world().osVersion = c.version;
        world().Insert(kReader, fake::Card{});
        platform::CardHandle card = 0;
        std::uint32_t active = 0;
        ASSERT_EQ(ConnectCard(1, 3, card, active), 0u);
        const auto connects = world().CallsNamed("Connect");
        ASSERT_EQ(connects.size(), c.warmUp ? 2u : 1u);
        if (c.warmUp) {
            EXPECT_EQ(connects[0].b, 2u) << "warm-up asks for T=1 only";
            EXPECT_EQ(world().calls[1].name, "Disconnect");
            EXPECT_EQ(world().calls[1].a, 1u) << "SCARD_RESET_CARD";
        }
        EXPECT_EQ(connects.back().a, 2u) << "shared mode";
        EXPECT_EQ(connects.back().b, 3u);
        platform::Disconnect(card, 0);
    }
    world().osVersion = {10, 0};  // the teardown's disposition check
}

// ------------------------------------------------------------ transfer test

const std::u16string kXfrBanner = u"\r\nCard ATR matched, do XFR Test:\r\n"s + kRule + kReader + u" \r\n"s;

TEST_F(CardExchangeTest, RoadOfOneCard) {
    fake::Card card{.responses = {{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x90, 0x00}},
                                  {{0x00, 0xB0, 0x00, 0x00, 0x04}, {0x01, 0x02, 0x03, 0x04, 0x90, 0x00}},
                                  {{0x00, 0xCA, 0x9F, 0x7F, 0x00}, {0x6A, 0x88}}}};
    world().Insert(kReader, card);
    const std::string script =
        "; production script\n[Card Protocol]\nT1\n[ATR]\n3B 02 14 50\n[XFR]\n3\n"
        "00 A4 00 00 02 3F 00\n90 00\n00B0000004\n01 02 03 04 90 00\n; third\n00 CA 9F 7F 00\n6A 88\n"
        "\n[TavixEMV]\nXFREn=1\n";
    EXPECT_EQ(Run(script), 0);
    const std::u16string expected =
        u"Test Protocol : T1\r\n3B 02 14 50"s + kXfrBanner + u"ActiveProtocol : T1\r\n" +
        u"Cmd : 00 A4 00 00 02 3F 00\r\nResponse : 90 00\r\n" +
        u"Cmd : 00B0000004\r\nResponse : 01 02 03 04 90 00\r\n" +
        u"Cmd : 00 CA 9F 7F 00\r\nResponse : 6A 88\r\n" + kRule;
    EXPECT_EQ(world().console, expected);
    EXPECT_EQ(Log(), expected);
    const auto sent = world().CallsNamed("Transmit");
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& t : sent) EXPECT_EQ(t.offered, 258u);
    EXPECT_EQ(world().CallsNamed("Connect").at(0).b, 2u) << "the script's protocol";
    EXPECT_EQ(world().CallsNamed("BeginTransaction").size(), 1u);
}

TEST_F(CardExchangeTest, ZeroExchangesStillConnectAndCloseCleanly) {
    for (const char* count : {"0", "0x0", "0x"}) {
        world().console.clear();
        world().Insert(kReader, fake::Card{});
        EXPECT_EQ(Run(std::string("[Card Protocol]\nAuto\n[XFR]\n") + count + "\n"), 0);
        EXPECT_EQ(world().console, u"Test Protocol : Auto\r\n"s + kXfrBanner + u"ActiveProtocol : T1\r\n" + kRule);
    }
}

TEST_F(CardExchangeTest, HexadecimalCountRunsThatManyExchanges) {
    std::string script = "[Card Protocol]\nAuto\n[XFR]\n0x10\n";
    for (int i = 0; i < 20; ++i) script += "00 00 00 00\n90 00\n";
    world().Insert(kReader, fake::Card{});
    EXPECT_EQ(Run(script), 0);
    EXPECT_EQ(world().CallsNamed("Transmit").size(), 16u);
}

TEST_F(CardExchangeTest, NegativeCountRunsUntilTheScriptEnds) {
    world().Insert(kReader, fake::Card{});
    EXPECT_EQ(Run("[Card Protocol]\nAuto\n[XFR]\n-1\n00 00\n90 00\n00 00\n90 00\n"), 0xE007);
    EXPECT_EQ(world().CallsNamed("Transmit").size(), 2u);
    EXPECT_TRUE(world().console.ends_with(u"Can't get [XFR] Data from CmdTavixEMV.ini line 8\r\n"s + kRule));
}

TEST_F(CardExchangeTest, TransferFailureRows) {
    struct Case {
        const char* name;
        std::string body;  // after "[Card Protocol]\nT1\n[XFR]\n"
        std::string inject;
        ResultCode expected;
        std::u16string tail;  // printed after the banner
        // What the log holds after the banner, when the tail has console-only lines.
        std::optional<std::u16string> logTail = std::nullopt;
    };
    const std::u16string t1 = u"ActiveProtocol : T1\r\n"s;
    const Case cases[] = {
        {"no count line", "; nothing\n", "", 0xE007,
         u"Can't get [XFR] NUM from CmdTavixEMV.ini line 4\r\n", u""},
        {"connection refused", "1\n00 00\n90 00\n", "Connect", 0xE00A, u""},
        {"command line missing", "2\n00 00\n90 00\n", "", 0xE007,
         t1 + u"Cmd : 00 00\r\nResponse : 90 00\r\nCan't get [XFR] Data from CmdTavixEMV.ini line 6\r\n" + kRule,
         t1 + u"Cmd : 00 00\r\nResponse : 90 00\r\n" + kRule},
        {"expected line missing", "1\n00 00\n", "", 0xE007,
         t1 + u"Cmd : 00 00\r\nCan't get [XFR] Data from CmdTavixEMV.ini line 5\r\n" + kRule,
         t1 + u"Cmd : 00 00\r\n" + kRule},
        {"exchange fails", "1\n00 00\n90 00\n", "Transmit", 0xE00B,
         t1 + u"Cmd : 00 00\r\nError! Fail to send smartcard data !\r\n" + kRule},
        {"answer differs", "1\n00 01\n90  00\n", "", 0xE00C,
         t1 + u"Cmd : 00 01\r\nError! Card response compare error!\r\nExpect : 90  00\r\nActual : 6A 82 \r\n\r\n" + kRule},
        {"expected one byte short", "1\n00 01\n6A\n", "", 0xE00C,
         t1 + u"Cmd : 00 01\r\nError! Card response compare error!\r\nExpect : 6A\r\nActual : 6A 82 \r\n\r\n" + kRule},
        {"lower-case expected", "1\n00 01\n6a 82\n", "", 0xE00C,
         t1 + u"Cmd : 00 01\r\nError! Card response compare error!\r\nExpect : 6a 82\r\nActual : 6A 82 \r\n\r\n" + kRule},
        {"comment inside a pair", "1\n00 01\n; answer follows\n\n6A82\n", "", 0,
         t1 + u"Cmd : 00 01\r\nResponse : 6A82\r\n" + kRule},
    };
    for (const Case& c : cases) {
        world().console.clear();
        world().files.erase(world().Path(u"test.log"));
        world().Insert(kReader, fake::Card{.responses = {{{0x00, 0x00}, {0x90, 0x00}}},
                                           .defaultResponse = {0x6A, 0x82}});
        if (!c.inject.empty()) world().Inject(c.inject, fake::kCommError);
        EXPECT_EQ(Run("[Card Protocol]\nT1\n[XFR]\n" + c.body), c.expected) << c.name;
        const std::u16string head = u"Test Protocol : T1\r\n"s;
        if (std::string(c.name) == "no count line") {
            EXPECT_EQ(world().console, head + c.tail) << c.name;
            EXPECT_EQ(Log(), head) << c.name;
        } else {
            EXPECT_EQ(world().console, head + kXfrBanner + c.tail) << c.name;
            EXPECT_EQ(Log(), head + kXfrBanner + c.logTail.value_or(c.tail)) << c.name;
        }
    }
}

TEST_F(CardExchangeTest, NothingIsSentAfterTheFailingExchange) {
    world().Insert(kReader, fake::Card{.defaultResponse = {0x6A, 0x82}});
    EXPECT_EQ(Run("[Card Protocol]\nT1\n[XFR]\n3\n00 01\n90 00\n00 02\n90 00\n00 03\n90 00\n"), 0xE00C);
    EXPECT_EQ(world().CallsNamed("Transmit").size(), 1u);
}

TEST_F(CardExchangeTest, ProtocolTheCardDoesNotOfferIsRefused) {
    world().Insert(kReader, fake::Card{.activeProtocol = 1});
    EXPECT_EQ(Run("[Card Protocol]\nT1\n[XFR]\n1\n00 00\n90 00\n"), 0xE00A);
    EXPECT_EQ(world().console, u"Test Protocol : T1\r\n"s + kXfrBanner);
}

TEST_F(CardExchangeTest, CardPulledMidTransfer) {
    std::string script = "[Card Protocol]\nT1\n[XFR]\n50\n";
    for (int i = 0; i < 50; ++i) script += "00 00\n90 00\n";
    world().Insert(kReader, fake::Card{.removeAfterExchanges = 10});
    EXPECT_EQ(Run(script), 0xE00B);
    EXPECT_EQ(world().CallsNamed("Transmit").size(), 10u);
    EXPECT_TRUE(world().console.ends_with(u"Error! Fail to send smartcard data !\r\n"s + kRule));
}

TEST_F(CardExchangeTest, LongAnswersAreShownWhole) {
    fake::Bytes answer(200, 0x11);
    world().Insert(kReader, fake::Card{.defaultResponse = answer});
    EXPECT_EQ(Run("[Card Protocol]\nT1\n[XFR]\n1\n00 00\n90 00\n"), 0xE00C);
    std::u16string actual = u"Actual : ";
    for (int i = 0; i < 200; ++i) actual += u"11 ";
    EXPECT_NE(world().console.find(actual + u"\r\n\r\n"), std::u16string::npos);
}

}  // namespace
