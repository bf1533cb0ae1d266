// The tool's life from start to stop: start-up, the endless polling loop, the
// card-removal wait and the one orderly end.
#pragma once

#include <cstdint>
#include <string>

#include "control/tool_state.h"
#include "platform/platform.h"

// The entry. Returns 0 when the card service cannot give a context; otherwise
// it never returns (the tool ends through StopTool).
int RunTool();

// Lists the readers into ReaderList and ReaderCount. Returns the card service's
// status, 0 on success.
platform::CardStatus ListReaders();

// Polls until the first reader reports no card (0) or a query fails (0xE002).
// Stops the tool when Escape is down. With `cardWaitSawEmpty` (this
// iteration's card wait found the reader empty), a card that the first query
// finds came in after the card wait looked and has not been tested: the wait
// returns 0 at once and leaves the card to the next iteration's card wait.
ResultCode WaitCardRemoval(bool cardWaitSawEmpty = false);

// Releases the context, prints the stop message and ends the process with 0.
[[noreturn]] void StopTool();

// Local time as "%H:%M:%S %B %d %Y" (e.g. "14:03:07 December 09 2024"); empty
// when the time cannot be converted.
std::u16string FormatStartTime(std::int64_t secondsSinceEpoch);
