// The one path by which messages reach the console and the log.
#pragma once

#include <string>

// Prints `text` on the console and, when logging is on, writes it to the log at
// `logPath`: appended when `append` is 1, otherwise the log is created anew.
// Returns 1 when the text was written to the log in full, otherwise 0.
int WriteReport(const std::u16string& logPath, const std::u16string& text, int append);

// Reports ReportText (console and log, appended).
void Report();
// Sets ReportText to `message` and reports it.
void Report(std::u16string message);

// Prints on the console only; the log never sees these messages.
void PrintConsole(const std::u16string& message);
