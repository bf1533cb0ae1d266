// One card turn: the short wait, the insert-card prompt, and the coloured
// verdict.
#include "card_test/card_test_cycle.h"

#include "control/main_loop.h"
#include "tests/unit/tool_test.h"

namespace {

class CardTestCycleTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ReadyForCard();
    }
};

// The first test that matches the event state decides.
TEST_F(CardTestCycleTest, WaitDecidesByTheEventState) {
    struct Case { std::uint32_t state; ResultCode expected; };
    const Case cases[] = {
        {0x20, 0x0000},          // present
        {0x10 | 0x200, 0xE004},  // empty wins over mute
        {0x20 | 0x200, 0xE005},  // present and mute
        {0x20 | 0x08, 0xE002},   // present and unavailable
        {0x200 | 0x08, 0xE005},  // mute wins over unavailable
        {0x08, 0xE002},
    };
    for (const Case& c : cases) {
        world().Insert(kReader, fake::Card{.state = c.state});
        const std::uint64_t before = world().nowMs;
        EXPECT_EQ(WaitForCard(1), c.expected) << std::hex << c.state;
        // Only a ready card earns the 100 ms pause.
        EXPECT_EQ(world().nowMs - before, c.expected == 0 ? 101u : 1u) << std::hex << c.state;
    }
    world().Remove(kReader);
    EXPECT_EQ(WaitForCard(1), 0xE004);
}

TEST_F(CardTestCycleTest, WaitQueriesTheFirstReaderWithTenMillisecondsAndPresentAsKnownState) {
    world().Insert(kReader, fake::Card{});
    Tool().ReaderStateRecord.readerName = u"stale";
    Tool().ReaderStateRecord.currentState = 0;
    WaitForCard(1);
    const auto queries = world().CallsNamed("GetStatusChange");
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].reader, kReader);
    EXPECT_EQ(queries[0].a, 10u);
    EXPECT_EQ(queries[0].b, 0x20u);
}

TEST_F(CardTestCycleTest, WaitWithNoneOfTheFourBitsQueriesAgainAndWatchesEscape) {
    world().Insert(kReader, fake::Card{.state = 0x04});
    world().escapeOnPoll = 5;
    EXPECT_THROW(WaitForCard(1), fake::ToolExit);
    EXPECT_EQ(world().CallsNamed("GetStatusChange").size(), 4u);
    EXPECT_EQ(world().console, kStopped);
}

TEST_F(CardTestCycleTest, WaitFailsWhenTheQueryFails) {
    world().Insert(kReader, fake::Card{});
    world().Inject("GetStatusChange", fake::kTimeout);
    EXPECT_EQ(WaitForCard(1), 0xE002);
}

TEST_F(CardTestCycleTest, PromptIsPrintedOncePerWaitingPeriodAndNeverLogged) {
    WriteConfig("");
    Tool().LogFile = 1;
    Tool().LogPath = u"test.log";
    // Empty reader: the prompt once, however many turns.
    EXPECT_EQ(RunCardTestCycle(), 0xE004);
    EXPECT_EQ(RunCardTestCycle(), 0xE004);
    EXPECT_EQ(world().console, kInsertCard);
    EXPECT_FALSE(Tool().CardPromptPending);

    // A mute card releases no verdict, and the prompt stays spent.
    world().Insert(kReader, fake::Card{.state = 0x220});
    EXPECT_EQ(RunCardTestCycle(), 0xE005);
    EXPECT_EQ(world().console, kInsertCard);

    // A tested card makes the prompt due again.
    world().Insert(kReader, fake::Card{});
    EXPECT_EQ(RunCardTestCycle(), 0);
    EXPECT_TRUE(Tool().CardPromptPending);
    world().Remove(kReader);
    EXPECT_EQ(RunCardTestCycle(), 0xE004);
    EXPECT_EQ(RunCardTestCycle(), 0xE004);
    EXPECT_EQ(world().console, kInsertCard + kPass + kInsertCard);
    EXPECT_EQ(Log(), kPass) << "only the verdict reaches the log";
}

TEST_F(CardTestCycleTest, VerdictColoursThenBrightWhite) {
    struct Case { const char* script; std::uint16_t colour; std::u16string verdict; };
    const Case cases[] = {
        {"", 10, kPass},                      // nothing to run: PASS
        {"[Nonsense]\n", 12, kFailed},         // script error: FAILED
    };
    for (const Case& c : cases) {
        world().console.clear();
        world().consoleWithColours.clear();
        world().colours.clear();
        WriteConfig(c.script);
        world().Insert(kReader, fake::Card{});
        RunCardTestCycle();
        EXPECT_EQ(world().colours, (std::vector<std::uint16_t>{c.colour, 15}));
        EXPECT_TRUE(world().consoleWithColours.ends_with(u"{" + U(std::to_string(c.colour)) + u"}" +
                                                          c.verdict + u"{15}"));
    }
    EXPECT_EQ(kPass.size(), 20u);
    EXPECT_EQ(kFailed.size(), 21u);
}

TEST_F(CardTestCycleTest, MissingScriptFailsTheCardWithoutAMessageOfItsOwn) {
    world().Insert(kReader, fake::Card{});
    EXPECT_EQ(RunCardTestCycle(), 0xE006);
    EXPECT_EQ(world().consoleWithColours, u"{12}"s + kFailed + u"{15}");
}

}  // namespace
