#include "tests/unit/tool_test.h"

#include "control/text.h"

std::u16string U(const std::string& utf8) { return text::FromUtf8(utf8); }
