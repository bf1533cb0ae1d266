// A card that comes in between the card wait and the removal wait of one
// main-loop iteration: the next iteration tests it.
#include "tests/unit/tool_test.h"

namespace {

class CardArrivalTest : public ToolTest {};

TEST_F(CardArrivalTest, CardThatComesInAfterTheCardWaitLookedIsTested) {
    WriteConfig("[Card Protocol]\nT1\n");
    world().Plug(kReader);
    // The first card wait queries at 1 ms and finds the reader empty; the
    // removal wait then sleeps 10 ms before its first query. The card comes
    // in between.
    world().At(5, [](fake::World& w) { w.Insert(kReader, fake::Card{}); });
    world().escapeAtMs = 3000;
    EXPECT_EQ(fake::RunToolToExit(), 0);
    EXPECT_EQ(world().console, kBanner + kStartTime + kConnected + kInsertCard +
                                   u"Test Protocol : T1\r\n"s + kPass + kStopped);
}

}  // namespace
