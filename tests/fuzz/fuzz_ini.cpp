// The INI reader (profile reads with the Windows rules) over arbitrary file
// content, section and key names, defaults and buffer sizes.
//
// Input, read with FuzzedDataProvider: the names asked for (mostly the tool's
// own), the default, the buffer size, then the file content.
//
// Properties besides "no crash, no sanitizer report":
//  - a string read fits its buffer: at most capacity - 1 UTF-16 units;
//  - the line ends do not matter: CRLF, LF and lone CR give the same values;
//  - names are matched without regard to ASCII letter case;
//  - a UTF-8 byte order mark in front of the file changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "control/text.h"
#include "platform/posix/ini_reader.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
    return text;
}

std::string SwapAsciiCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

struct Query {
    std::string section;
    std::string key;
    std::string defaultValue;
    std::size_t capacity;
    std::int32_t defaultInt;
};

void CheckSameValues(const std::string& a, const std::string& b, const Query& q) {
    FUZZ_CHECK(ini::ReadString(a, q.section, q.key, q.defaultValue, q.capacity) ==
               ini::ReadString(b, q.section, q.key, q.defaultValue, q.capacity));
    FUZZ_CHECK(ini::ReadInt(a, q.section, q.key, q.defaultInt) ==
               ini::ReadInt(b, q.section, q.key, q.defaultInt));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Query q;
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: q.section = "TavixEMV"; q.key = "LogFileName"; break;
        case 1: q.section = "TavixEMV"; q.key = "XFREn"; break;
        case 2: q.key = input.ConsumeRandomLengthString(16); break;  // the unnamed section
        default:
            q.section = input.ConsumeRandomLengthString(16);
            q.key = input.ConsumeRandomLengthString(16);
            break;
    }
    q.defaultValue = input.ConsumeRandomLengthString(16);
    q.capacity = input.ConsumeIntegralInRange<std::size_t>(0, 300);
    q.defaultInt = input.ConsumeIntegral<std::int32_t>();
    const std::string content = input.ConsumeRemainingBytesAsString();

    const std::string value = ini::ReadString(content, q.section, q.key, q.defaultValue, q.capacity);
    const std::size_t units = text::FromUtf8(value).size();
    FUZZ_CHECK(q.capacity == 0 ? value.empty() : units <= q.capacity - 1);
    ini::ReadInt(content, q.section, q.key, q.defaultInt);

    const std::string lf = ReplaceAll(content, "\r\n", "\n");
    CheckSameValues(content, lf, q);
    CheckSameValues(lf, ReplaceAll(lf, "\n", "\r\n"), q);
    CheckSameValues(lf, ReplaceAll(lf, "\n", "\r"), q);

    Query swapped = q;
    swapped.section = SwapAsciiCase(q.section);
    swapped.key = SwapAsciiCase(q.key);
    FUZZ_CHECK(ini::ReadString(content, swapped.section, swapped.key, q.defaultValue, q.capacity) ==
               value);

    if (!content.starts_with("\xEF\xBB\xBF")) CheckSameValues(content, "\xEF\xBB\xBF" + content, q);
    return 0;
}
