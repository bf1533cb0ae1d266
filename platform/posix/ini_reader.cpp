#include "platform/posix/ini_reader.h"

#include "control/text.h"

#include <algorithm>
#include <optional>

namespace ini {

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// GetPrivateProfileIntW reads the value into a buffer of this many characters
// before it reads the number, so longer values are cut first.
constexpr std::size_t kIntBufferCapacity = 30;

// The characters the profile reader trims: tab, LF, VT, FF, CR, space and ^Z
// (the DOS end-of-file mark some old files still carry).
bool IsBlank(char c) {
    return (c >= '\t' && c <= '\r') || c == ' ' || c == '\x1A';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Names and values end at a NUL, as the C strings Windows keeps them in do.
std::string_view UpToNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// The value of the entry that decides the look-up, or nothing when the default
// applies (no such section or entry, or the entry has no '=').
std::optional<std::string_view> FindValue(std::string_view content, std::string_view section,
                                          std::string_view key) {
    if (content.starts_with(kUtf8ByteOrderMark)) content.remove_prefix(kUtf8ByteOrderMark.size());
    section = Trim(UpToNul(section));
    key = Trim(UpToNul(key));

    // Lines before the first header make up the unnamed section.
    bool inSection = section.empty();
    // Lines end at CR or LF, both found with memchr (string_view::find), which
    // keeps a large file quick to read in any build. The next LF is kept from
    // line to line, so that a file with CR line ends is not searched to its
    // end for every line.
    std::size_t nextLf = content.find('\n');
    std::size_t next = 0;
    while (next < content.size()) {
        if (nextLf < next) nextLf = content.find('\n', next);
        const std::size_t lineEnd = std::min(nextLf, content.substr(0, nextLf).find('\r', next));
        const std::string_view line =
            Trim(content.substr(next, lineEnd == std::string_view::npos ? std::string_view::npos
                                                                         : lineEnd - next));
        next = lineEnd == std::string_view::npos ? content.size() : lineEnd + 1;
        if (line.empty()) continue;

        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                // Only the first section of the name is searched: leaving it
                // ends the look-up.
                if (inSection) return std::nullopt;
                inSection = SameName(UpToNul(Trim(line.substr(1, close - 1))), section);
                continue;
            }
            // A '[' without ']' is no header; the line is read as an entry.
        }
        if (!inSection) continue;

        const std::size_t equals = line.find('=');
        if (!SameName(UpToNul(Trim(line.substr(0, equals))), key)) continue;
        if (equals == std::string_view::npos) return std::nullopt;
        return UpToNul(Trim(line.substr(equals + 1)));
    }
    return std::nullopt;
}

struct CharacterSize {
    std::size_t bytes;
    std::size_t units;  // UTF-16 code units
};

// The character at `pos`: a valid, shortest-form UTF-8 sequence, or else the
// single byte there (which FromUtf8 turns into one character as well).
CharacterSize CharacterAt(std::string_view text, std::size_t pos) {
    char32_t codePoint = 0;
    const std::size_t length = text::DecodeUtf8At(text, pos, codePoint);
    if (length == 0) return {1, 1};
    return {length, codePoint >= 0x10000 ? std::size_t{2} : std::size_t{1}};
}

std::size_t Utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const CharacterSize size = CharacterAt(text, pos);
        units += size.units;
        pos += size.bytes;
    }
    return units;
}

// The longest run of whole characters from the front that fits `maxUnits`.
std::string_view Head(std::string_view text, std::size_t maxUnits) {
    std::size_t pos = 0;
    std::size_t units = 0;
    while (pos < text.size()) {
        const CharacterSize size = CharacterAt(text, pos);
        if (units + size.units > maxUnits) break;
        units += size.units;
        pos += size.bytes;
    }
    return text.substr(0, pos);
}

std::string_view WithoutLastCharacter(std::string_view text) {
    std::size_t pos = 0;
    std::size_t last = 0;
    while (pos < text.size()) {
        last = pos;
        pos += CharacterAt(text, pos).bytes;
    }
    return text.substr(0, last);
}

// Puts `text` into a buffer of `capacity` characters as the profile reader
// does: a matching pair of surrounding quotes goes, and the rest is cut to
// capacity - 1 characters.
//
// The opening quote is skipped and the closing one is copied along, then
// taken off again, but only if the text (closing quote included) was no longer
// than the capacity. When it is exactly as long, the copy already stopped
// before the quote and a character of the text itself is taken off. Wine
// behaves so; we keep to it for the same results on the same file.
std::string CopyToBuffer(std::string_view text, std::size_t capacity) {
    if (capacity == 0) return {};
    bool quoted = false;
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        quoted = true;
        text.remove_prefix(1);
    }
    std::string_view copied = Head(text, capacity - 1);
    if (quoted && capacity >= Utf16Length(text)) copied = WithoutLastCharacter(copied);
    return std::string(copied);
}

// The default loses its trailing spaces, though never its first character.
std::string_view TrimDefault(std::string_view text) {
    text = UpToNul(text);
    while (text.size() > 1 && text.back() == ' ') text.remove_suffix(1);
    return text;
}

std::uint32_t DigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a' + 10);
    return 36;  // no digit in any base
}

// The number at the start of `text`, read as GetPrivateProfileIntW reads it
// (see ReadInt in the header).
std::uint32_t ParseNumber(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= 0x20) ++pos;

    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }

    // Only the lower-case prefixes count, as in Wine's reader: "0X1F" reads as 0.
    std::uint32_t base = 10;
    if (text.size() - pos >= 2 && text[pos] == '0') {
        switch (text[pos + 1]) {
            case 'x': base = 16; pos += 2; break;
            case 'o': base = 8; pos += 2; break;
            case 'b': base = 2; pos += 2; break;
            default: break;
        }
    }

    // Unsigned arithmetic: overflow wraps modulo 2^32 as intended.
    std::uint32_t total = 0;
    for (; pos < text.size(); ++pos) {
        const std::uint32_t digit = DigitValue(text[pos]);
        if (digit >= base) break;
        total = total * base + digit;
    }
    return negative ? 0u - total : total;
}

}  // namespace

std::uint32_t ReadInt(std::string_view content, std::string_view section, std::string_view key,
                      std::int32_t defaultValue) {
    const std::string value = ReadString(content, section, key, {}, kIntBufferCapacity);
    if (value.empty()) return static_cast<std::uint32_t>(defaultValue);
    return ParseNumber(value);
}

std::string ReadString(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view defaultValue, std::size_t capacity) {
    const std::optional<std::string_view> value = FindValue(content, section, key);
    return CopyToBuffer(value ? *value : TrimDefault(defaultValue), capacity);
}

}  // namespace ini
