#include "control/report.h"

#include "control/tool_state.h"
#include "platform/platform.h"

int WriteReport(const std::u16string& logPath, const std::u16string& text, int append) {
    platform::ConsolePrint(text);
    if (Tool().LogFile == 0) return 0;
    return platform::WriteLogFile(logPath, text, append == 1) ? 1 : 0;
}

void Report() { WriteReport(Tool().LogPath, Tool().ReportText, 1); }

void Report(std::u16string message) {
    Tool().ReportText = std::move(message);
    Report();
}

void PrintConsole(const std::u16string& message) { platform::ConsolePrint(message); }
