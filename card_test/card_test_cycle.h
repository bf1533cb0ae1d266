// One turn of the per-card test: a short wait for a ready card in the first
// reader, the script run, and the coloured verdict.
#pragma once

#include "control/tool_state.h"

// Returns the wait's code when no card was ready, otherwise the card's result
// (0 is PASS).
ResultCode RunCardTestCycle();

// Queries the first reader once (10 ms); 0 after a 100 ms pause when a card is
// ready. Stops the tool when Escape is down.
ResultCode WaitForCard(platform::CardContext context);
