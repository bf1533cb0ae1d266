#include "control/text.h"

namespace text {

namespace {
constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

}  // namespace

std::size_t DecodeUtf8At(std::string_view bytes, std::size_t pos, char32_t& codePoint) {
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byteAt(pos);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2; value = lead & 0x1Fu; minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3; value = lead & 0x0Fu; minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4; value = lead & 0x07u; minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > bytes.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byteAt(pos + i);
        if ((next & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    codePoint = value;
    return length;
}

namespace {

void AppendCodePoint(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}
}  // namespace

std::u16string HexByte(std::uint8_t value) {
    return {kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
}

std::u16string HexUpper(std::uint32_t value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), kHexDigits[value & 0x0F]);
        value >>= 4;
    } while (value != 0);
    return digits;
}

std::u16string Decimal(std::int64_t value) {
    // Work on the magnitude as unsigned so that the smallest value is safe.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                        : static_cast<std::uint64_t>(value);
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits.insert(digits.begin(), u'-');
    return digits;
}

std::u16string Ascii(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::u16string FromScriptBytes(std::string_view bytes) {
    // The leading ASCII, usually the whole line, one unit per byte; the rest
    // character by character.
    std::size_t pos = 0;
    while (pos < bytes.size() && static_cast<unsigned char>(bytes[pos]) < 0x80) ++pos;
    std::u16string out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(pos));
    if (pos == bytes.size()) return out;
    out.reserve(bytes.size());
    while (pos < bytes.size()) {
        char32_t cp = 0;
        const std::size_t length = DecodeUtf8At(bytes, pos, cp);
        if (length == 0) {
            out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[pos])));
            ++pos;
        } else {
            AppendCodePoint(out, cp);
            pos += length;
        }
    }
    return out;
}

std::u16string FromUtf8(std::string_view bytes) { return FromScriptBytes(bytes); }

std::string ToUtf8(std::u16string_view text) {
    // The leading ASCII, usually the whole text, one byte per unit; the rest
    // character by character.
    std::size_t i = 0;
    while (i < text.size() && text[i] < 0x80) ++i;
    std::string out(i, '\0');
    for (std::size_t j = 0; j < i; ++j) out[j] = static_cast<char>(text[j]);
    if (i == text.size()) return out;
    out.reserve(text.size() + (text.size() - i) * 2);
    for (; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace text
