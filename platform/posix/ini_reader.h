// Reads settings from the text of an INI file the way the Windows profile
// functions (GetPrivateProfileIntW / GetPrivateProfileStringW) read them, so
// that one CmdTavixEMV.ini behaves the same on both systems.
//
// The functions work on the file's bytes, taken as UTF-8 (a UTF-8 byte order
// mark at the start is skipped). They never touch the file system.
//
// The file layout, as the profile reader sees it:
//  - Lines end at CR, LF or any run of them (CRLF, LF and lone CR all work).
//    Every line is trimmed of blanks (space, tab, VT, FF and the DOS end-of-file
//    character ^Z) at both ends; empty lines are skipped.
//  - A line that starts with '[' and contains a ']' opens a section. Its name
//    is the text between the '[' and the last ']' on the line, trimmed;
//    whatever follows that ']' is ignored. A '[' line without any ']' is not a
//    section header and is read like any other line.
//  - Any other line is an entry of the current section. Its name is the text
//    before the first '=', trimmed; its value is the text after that '=',
//    trimmed. A line without '=' is an entry without a value. So test-script
//    lines ("00 A4 00 00 02 3F 00", "T1") and comments (";...") are entries
//    that nothing ever asks for, and script headers ("[Card Protocol]",
//    "[ATR]") are sections like any other.
//  - Lines before the first header belong to an unnamed section, which an
//    empty (or all-blank) section name selects.
//  - A NUL byte ends a name or a value, as in the C strings Windows keeps.
//
// The look-up:
//  - Section and entry names compare without regard to ASCII letter case; the
//    names asked for are trimmed of blanks first.
//  - Only the first section of a given name is searched. An entry that appears
//    only in a later section of the same name is not found: Wine's profile
//    reader stops at the first matching section, and so do we.
//  - Within that section the first entry of the given name decides. If that
//    entry has no '=', the default is used, even when a later line of the same
//    name has a value.
//  - A missing section or entry gives the default. An entry with '=' but an
//    empty value is found: ReadString gives "" while ReadInt gives the default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ini {

// GetPrivateProfileIntW: the value is read as ReadString would read it into a
// 30-character buffer (so after quote removal and cut to 29 characters). An
// empty result gives `defaultValue`. Otherwise the number is read like this:
// leading spaces and control characters (codes up to 0x20) are skipped, then an
// optional '+' or '-', then an optional prefix "0x" (hexadecimal), "0o"
// (octal) or "0b" (binary) in lower case only, otherwise decimal; digits are
// read up to the first character that is not a digit of the base. No digits
// give 0. Overflow wraps modulo 2^32 and a minus sign negates modulo 2^32, so
// "-1" is 0xFFFFFFFF.
std::uint32_t ReadInt(std::string_view content, std::string_view section, std::string_view key,
                      std::int32_t defaultValue);

// GetPrivateProfileStringW: the entry's value, or the default when the entry
// is missing or has no '='. Trailing spaces of the default are dropped (all
// but its first character). Whichever text is chosen then loses one pair of
// matching surrounding quotes ("..." or '...', when it is at least two
// characters long) and is cut to fit a buffer of `capacity` characters
// including the terminator, i.e. at most capacity - 1 characters; capacity 0
// gives "".
//
// Characters are counted as Windows counts them: in UTF-16 code units, so a
// character outside the Basic Multilingual Plane counts two. A cut never splits
// a character: a character that would not fit whole is left out (where Windows
// would leave half of a surrogate pair). A byte that is not part of valid
// UTF-8 counts as one character.
//
// A quoted text whose length (without the opening quote) equals `capacity`
// loses one more character than the cut alone would take; the Windows-
// compatible reader in Wine does so, and this reader keeps to it.
std::string ReadString(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view defaultValue, std::size_t capacity);

}  // namespace ini
