// The tool's life from start to stop, on the fake platform: whole console
// text and whole log contents.
#include "control/main_loop.h"
#include "control/text.h"

#include "tests/unit/tool_test.h"

namespace {

class MainLoopTest : public ToolTest {};

TEST_F(MainLoopTest, MissingConfigurationStopsBeforeTheBanner) {
    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_EQ(world().console, u"Can't open CmdTavixEMV.ini \r\n"s + kStopped);
    EXPECT_EQ(world().clears, 1);
    EXPECT_TRUE(world().files.empty()) << "no log may be written";
    EXPECT_TRUE(world().calls.empty()) << "the card service is never asked";
}

TEST_F(MainLoopTest, NoCardServiceAtStartEndsWithoutTheStopMessage) {
    WriteConfig(kLogOn);
    world().serviceUp = false;
    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_EQ(world().console, kBanner + kStartTime + kNoContext);
    EXPECT_EQ(Log(), kStartTime);
}

TEST_F(MainLoopTest, CardServiceLostOnALaterIterationEndsTheSameWay) {
    WriteConfig(kLogOn);
    world().Plug(kReader);
    world().At(450, [](fake::World& w) { w.serviceUp = false; });
    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + kInsertCard + kNoContext);
    EXPECT_EQ(Log(), kStartTime + kConnected);
    EXPECT_TRUE(world().openContexts.empty()) << "every context but the failed one was released";
}

TEST_F(MainLoopTest, ReaderPromptOncePerAbsence) {
    WriteConfig("");
    world().At(1000, [](fake::World& w) { w.Plug(kReader); });
    world().At(2000, [](fake::World& w) { w.Unplug(kReader); });
    world().At(3000, [](fake::World& w) { w.Plug(kReader); });
    world().escapeAtMs = 4000;
    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_EQ(world().console, kBanner + kStartTime + kInsertReader + kConnected + kInsertCard +
                                   kInsertReader + kConnected + kStopped);
}

TEST_F(MainLoopTest, ReaderIsAnnouncedAndIdentifiedOncePerPlugIn) {
    WriteConfig(kLogOn);
    world().interfacePaths = {
        u"\\\\?\\usb#vid_0d3b&pid_6173#ABC123#{50dd5230-ba8a-11d1-bf5d-0000f805f530}"s};
    world().Plug(kReader);
    world().At(1000, [](fake::World& w) { w.Unplug(kReader); });
    world().At(1500, [](fake::World& w) { w.Plug(kReader); });
    world().escapeAtMs = 2500;
    EXPECT_EQ(fake::RunToolToExit(), 0);

    const std::u16string identity = u"vid_0d3b&pid_6173\r\nSN  : ABC123\r\n"s;
    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + identity + kInsertCard +
                                   kInsertReader + kConnected + identity + kStopped);
    EXPECT_EQ(Log(), kStartTime + kConnected + identity + kConnected + identity);
}

TEST_F(MainLoopTest, EveryIterationWorksWithAFreshContext) {
    WriteConfig("");
    world().Plug(kReader);
    world().escapeAtMs = 1000;
    fake::RunToolToExit();
    const auto established = world().CallsNamed("EstablishContext");
    const auto released = world().CallsNamed("ReleaseContext");
    ASSERT_GE(established.size(), 5u);
    // Each new context follows the release of the one before; StopTool
    // releases the last one.
    EXPECT_EQ(released.size(), established.size());
    EXPECT_TRUE(world().openContexts.empty());
    for (const auto& call : established) EXPECT_EQ(call.a, 2u) << "SCARD_SCOPE_SYSTEM";
}

// Escape is sampled at fixed points; each one must stop the tool at once.
struct EscapeCase {
    const char* name;
    bool reader;
    bool card;
    int poll;  // the Escape poll (1-based) at which the key is down
    std::uint64_t atMs;
};

// Test names, not byte dumps, in listings and failures.
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class EscapeTest : public ToolTest, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(EscapeTest, StopsTheToolWithTheStopMessage) {
    const EscapeCase& c = GetParam();
    WriteConfig("[Card Protocol]\nT1\n");
    if (c.reader) world().Plug(kReader);
    if (c.card) world().Insert(kReader, fake::Card{});
    if (c.poll > 0) world().escapeOnPoll = c.poll;
    if (c.atMs > 0) world().escapeAtMs = c.atMs;

    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_TRUE(world().console.ends_with(kStopped)) << c.name;
    EXPECT_EQ(world().console.find(kStopped), world().console.size() - kStopped.size());
    EXPECT_EQ(world().escapePolls, c.poll > 0 ? c.poll : world().escapePolls) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    PollingPoints, EscapeTest,
    ::testing::Values(
        // Poll 1 comes before the first iteration.
        EscapeCase{"before the first iteration", true, false, 1, 0},
        // No reader: the second poll is the end of the first iteration.
        EscapeCase{"end of an iteration", false, false, 2, 0},
        // Reader, no card: poll 2 is inside the card wait, 3 starts the removal wait.
        EscapeCase{"inside the card wait", true, false, 2, 0},
        EscapeCase{"start of the removal wait", true, false, 3, 0},
        // A card left in: the removal wait polls Escape between its queries.
        EscapeCase{"during the removal wait", true, true, 0, 5000}),
    [](const auto& param) {
        std::string name = param.param.name;
        for (char& ch : name) if (ch == ' ') ch = '_';
        return name;
    });

TEST_F(MainLoopTest, EscapeDuringTheRemovalWaitLeavesTheCardTestedOnce) {
    WriteConfig("[Card Protocol]\nT1\n");
    world().Plug(kReader);
    world().Insert(kReader, fake::Card{});
    world().escapeAtMs = 5000;
    fake::RunToolToExit();
    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + u"Test Protocol : T1\r\n"s +
                                   kPass + kStopped);
    // The removal wait polls every 10 ms plus the query.
    EXPECT_GT(world().CallsNamed("GetStatusChange").size(), 400u);
}

TEST_F(MainLoopTest, LoggingOffTouchesNoFile) {
    WriteConfig("[TavixEMV]\nLogFile=0\nLogFileName=test.log\n[Card Protocol]\nT1\n");
    const auto before = world().files;
    world().Plug(kReader);
    world().escapeAtMs = 500;
    fake::RunToolToExit();
    EXPECT_EQ(world().files, before);
    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + kInsertCard + kStopped);
}

TEST_F(MainLoopTest, StartTimeCreatesTheLogAnewAndLaterMessagesAppend) {
    WriteConfig(kLogOn);
    world().files[world().Path(u"test.log")] = "old content of an earlier run";
    world().Plug(kReader);
    world().escapeAtMs = 500;
    fake::RunToolToExit();
    EXPECT_EQ(Log(), kStartTime + kConnected);
    const std::string& bytes = world().files[world().Path(u"test.log")];
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x3D\x00\x3D\x00", 4)) << "UTF-16LE, no BOM";
}

TEST_F(MainLoopTest, UnformattableTimeLeavesTheStartLineEmpty) {
    WriteConfig("");
    world().localTimeFails = true;
    world().serviceUp = false;
    fake::RunToolToExit();
    EXPECT_EQ(world().console, kBanner + u"==================\r\nStart time: \r\n"s + kNoContext);
}

TEST_F(MainLoopTest, LogFailuresNeverReachTheConsoleOrStopTheTool) {
    WriteConfig(kLogOn);
    world().unwritable.insert(world().Path(u"test.log"));
    world().Plug(kReader);
    world().escapeAtMs = 500;
    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + kInsertCard + kStopped);
}

// --- ListReaders

TEST_F(MainLoopTest, ListingKeepsTheFirstEightNamesInServiceOrder) {
    for (int i = 0; i < 10; ++i) world().Plug(u"Reader " + text::Decimal(i));
    ASSERT_EQ(ListReaders(), 0u);
    EXPECT_EQ(Tool().ReaderCount, 8);
    EXPECT_EQ(Tool().ReaderList[0], u"Reader 0");
    EXPECT_EQ(Tool().ReaderList[7], u"Reader 7");
}

TEST_F(MainLoopTest, FailedListingKeepsTheOldNames) {
    world().Plug(kReader);
    ASSERT_EQ(ListReaders(), 0u);
    world().Unplug(kReader);
    EXPECT_NE(ListReaders(), 0u);
    EXPECT_EQ(Tool().ReaderCount, 0);
    EXPECT_EQ(Tool().ReaderList[0], kReader);
}

TEST_F(MainLoopTest, ListingWithNoNamesCountsAsNoReader) {
    WriteConfig("");
    world().Plug(kReader);
    world().rawReaderList = std::u16string(1, u'\0');
    world().escapeAtMs = 500;
    fake::RunToolToExit();
    EXPECT_EQ(world().console, kBanner + kStartTime + kInsertReader + kStopped);
}

TEST_F(MainLoopTest, ListingWithoutTheClosingEmptyNameIsReadToItsEnd) {
    world().Plug(kReader);
    world().rawReaderList = u"A\0B"s;
    ASSERT_EQ(ListReaders(), 0u);
    EXPECT_EQ(Tool().ReaderCount, 2);
    EXPECT_EQ(Tool().ReaderList[1], u"B");
}

// --- WaitCardRemoval

TEST_F(MainLoopTest, RemovalWaitFailsOnAQueryError) {
    ReadyForCard();
    world().Insert(kReader, fake::Card{});
    Tool().ReaderStateRecord.currentState = 0x20;
    world().Inject("GetStatusChange", fake::kTimeout);
    EXPECT_EQ(WaitCardRemoval(), 0xE002);
    EXPECT_TRUE(Tool().CardPromptPending) << "untouched by a failed query";
    EXPECT_EQ(world().console, u"");
}

TEST_F(MainLoopTest, RemovalWaitPromptsOnceWhenTheCardLeaves) {
    ReadyForCard();
    world().Insert(kReader, fake::Card{});
    Tool().CardPromptPending = false;
    Tool().ReaderStateRecord.currentState = 0x20;
    world().At(300, [](fake::World& w) { w.Remove(kReader); });
    EXPECT_EQ(WaitCardRemoval(), 0);
    EXPECT_EQ(world().console, kInsertCard);
    EXPECT_FALSE(Tool().CardPromptPending);
    for (const auto& call : world().CallsNamed("GetStatusChange")) {
        EXPECT_EQ(call.a, 50u);
        EXPECT_EQ(call.b, 0x20u) << "the known state is never updated";
    }
}

// --- FormatStartTime

TEST_F(MainLoopTest, StartTimeFormat) {
    struct Case { platform::LocalTime t; std::u16string expected; };
    const Case cases[] = {
        {{2024, 12, 9, 14, 3, 7}, u"14:03:07 December 09 2024"},
        {{2025, 1, 31, 0, 0, 0}, u"00:00:00 January 31 2025"},
        {{2026, 5, 1, 23, 59, 59}, u"23:59:59 May 01 2026"},
    };
    for (const Case& c : cases) {
        world().localTime = c.t;
        EXPECT_EQ(FormatStartTime(0), c.expected);
    }
    world().localTimeFails = true;
    EXPECT_EQ(FormatStartTime(0), u"");
}

}  // namespace
