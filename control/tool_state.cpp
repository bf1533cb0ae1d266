#include "control/tool_state.h"

namespace {
ToolState g_tool;
}

ToolState& Tool() { return g_tool; }

void ResetToolState() { g_tool = ToolState{}; }
