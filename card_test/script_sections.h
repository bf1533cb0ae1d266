// The "[Card Protocol]" and "[ATR]" sections of the TestScript.
#pragma once

#include <string>

#include "control/tool_state.h"

// Reads the protocol line and sets CardProtocol: "Auto" 3, "T0" 1, "T1" 2.
ResultCode ReadProtocolSection();

// Reads the card's ATR from the first reader, reports it as hexadecimal text
// and compares it with the script's expected-ATR line; sets AtrMatched.
ResultCode ReadAtrSection(platform::CardContext context);
