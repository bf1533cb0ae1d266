// The TestScript reader: opens the configuration file for one card, reads it
// line by line and hands each section to its handler.
#pragma once

#include <string>

#include "control/tool_state.h"

// Runs the TestScript against the card; the result is the card's ResultCode.
ResultCode RunTestScript(platform::CardContext context);

// Puts the next significant line (not empty, not starting with ';') into
// `line`; false at the end of the script, on a read error, or when no script
// is open. Every line read, skipped or not, counts in ScriptLineNumber.
bool ReadScriptLine(std::u16string& line);
