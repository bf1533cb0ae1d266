#include "control/result_file.h"

#include <string>

#include "control/text.h"
#include "platform/platform.h"

namespace {

struct Cause {
    ResultCode code;
    const char* text;
};
// One entry per ResultCode.
constexpr Cause kCauses[] = {
    {result::kOk, "passed"},
    {result::kStatusQueryFailed, "reader state could not be read, or reader unavailable"},
    {result::kReaderEmpty, "no card in the reader"},
    {result::kCardMute, "card does not respond"},
    {result::kScriptNotOpened, "test script could not be opened or read"},
    {result::kScriptLineMissing, "test script line missing or out of place"},
    {result::kUnknownProtocol, "unknown protocol in the test script"},
    {result::kAtrNotRead, "card ATR could not be read"},
    {result::kConnectFailed, "connection to the card refused"},
    {result::kTransmitFailed, "command could not be exchanged with the card"},
    {result::kResponseMismatch, "card answer differs from the test script"},
};

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::string Digits(std::int64_t value, std::size_t width) {
    std::string digits = text::ToUtf8(text::Decimal(value));
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

// 0xE00C, 0x0000: four upper-case digits.
std::string CodeText(ResultCode code) {
    std::string hex = text::ToUtf8(text::HexUpper(code));
    return "0x" + std::string(4 - hex.size(), '0') + hex;
}

}  // namespace

const char* ResultCause(ResultCode code) {
    for (const Cause& cause : kCauses) {
        if (cause.code == code) return cause.text;
    }
    return "unknown result";
}

std::string IsoLocalTime(std::int64_t millisecondsSinceEpoch) {
    std::int64_t seconds = millisecondsSinceEpoch / 1000;
    std::int64_t milliseconds = millisecondsSinceEpoch % 1000;
    if (milliseconds < 0) {
        milliseconds += 1000;
        --seconds;
    }
    platform::LocalTime t;
    if (!platform::ToLocalTime(seconds, t) || t.month < 1 || t.month > 12 || t.day < 1) return {};
    // The offset is what the local wall clock is ahead of UTC.
    const std::int64_t wallSeconds =
        DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * 86400 +
        t.hour * 3600 + t.minute * 60 + t.second;
    const std::int64_t offsetMinutes = (wallSeconds - seconds) / 60;
    const std::int64_t absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + "T" +
           Digits(t.hour, 2) + ":" + Digits(t.minute, 2) + ":" + Digits(t.second, 2) + "." +
           Digits(milliseconds, 3) + (offsetMinutes < 0 ? "-" : "+") + Digits(absOffset / 60, 2) +
           ":" + Digits(absOffset % 60, 2);
}

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string ResultRow(ResultCode code, std::uint32_t durationMs) {
    const ToolState& tool = Tool();
    const std::string fields[] = {
        IsoLocalTime(platform::CurrentTimeMs()),
        text::ToUtf8(platform::HostName()),
        text::ToUtf8(tool.ReaderList[0]),
        text::ToUtf8(tool.ReaderHardwareId),
        text::ToUtf8(tool.ReaderSerialNumber),
        text::ToUtf8(tool.CardAtrText),
        code == result::kOk ? "PASS" : "FAILED",
        CodeText(code),
        ResultCause(code),
        text::ToUtf8(text::Decimal(tool.ExchangesSent)),
        text::ToUtf8(text::Decimal(durationMs)),
    };
    std::string row;
    for (const std::string& field : fields) {
        if (&field != &fields[0]) row += ',';
        row += CsvField(field);
    }
    return row + "\r\n";
}

void AppendCardResult(ResultCode code, std::uint32_t durationMs) {
    platform::AppendTextFile(Tool().ResultPath, kResultHeader, ResultRow(code, durationMs));
}
