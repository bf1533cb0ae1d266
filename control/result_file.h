// The per-card results file: one CSV row (RFC 4180, UTF-8, CRLF) for every
// judged card, for the line's records. Kept only when ResultFile is set.
#pragma once

#include <cstdint>
#include <string>

#include "control/tool_state.h"

// The first line of a new results file.
inline constexpr char kResultHeader[] =
    "time,host,reader,hardware_id,serial_number,atr,verdict,result_code,cause,exchanges,"
    "duration_ms\r\n";

// A short English cause for a ResultCode ("unknown result" for others).
const char* ResultCause(ResultCode code);

// The row for the card just judged: time of the verdict, this computer, the
// first reader and its last reported identity, the card's ATR, the verdict
// with its code and cause, the commands sent, and `durationMs` from the card
// being ready to its verdict.
std::string ResultRow(ResultCode code, std::uint32_t durationMs);

// Appends that row to ResultPath. A file that cannot be written is skipped
// silently and tried again for the next card; it never changes a verdict.
void AppendCardResult(ResultCode code, std::uint32_t durationMs);

// Local time as ISO 8601 with milliseconds and the UTC offset,
// e.g. "2024-12-09T14:03:07.042+01:00"; empty when it cannot be converted.
std::string IsoLocalTime(std::int64_t millisecondsSinceEpoch);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& value);
