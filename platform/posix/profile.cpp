// Profile reads on POSIX: the settings file is read whole on every call (the
// tool asks for four values at start-up) and handed to the INI reader, which
// has the rules of the Windows profile functions.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "control/text.h"
#include "platform/platform.h"
#include "platform/posix/ini_reader.h"

namespace platform {

namespace {

// The file's bytes; empty when the file is missing or cannot be read (a
// directory, no permission), which then gives every default, as on Windows.
std::string ReadProfileFile(const std::u16string& path) {
    const int fd = ::open(text::ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            bytes.clear();
            break;
        }
    }
    ::close(fd);
    return bytes;
}

// The INI reader takes UTF-8. Windows also reads a profile saved as UTF-16
// with a byte order mark (Notepad's "Unicode"), so such a file is converted
// here; an odd last byte is dropped. Everything else is taken as UTF-8, with or
// without its byte order mark. (Windows reads a file without a byte order mark
// in the ANSI code page instead; that only matters for non-ASCII text, and
// bytes that are not UTF-8 still come back as the Latin-1 characters.)
std::string ToReaderText(std::string bytes) {
    if (bytes.size() < 2) return bytes;
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const bool littleEndian = byteAt(0) == 0xFF && byteAt(1) == 0xFE;
    const bool bigEndian = byteAt(0) == 0xFE && byteAt(1) == 0xFF;
    if (!littleEndian && !bigEndian) return bytes;

    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const unsigned high = littleEndian ? byteAt(i + 1) : byteAt(i);
        const unsigned low = littleEndian ? byteAt(i) : byteAt(i + 1);
        units.push_back(static_cast<char16_t>((high << 8) | low));
    }
    return text::ToUtf8(units);
}

std::string LoadProfile(const std::u16string& path) {
    return ToReaderText(ReadProfileFile(path));
}

}  // namespace

std::uint32_t ProfileInt(const std::u16string& section, const std::u16string& key,
                         std::int32_t defaultValue, const std::u16string& path) {
    return ini::ReadInt(LoadProfile(path), text::ToUtf8(section), text::ToUtf8(key),
                        defaultValue);
}

std::u16string ProfileString(const std::u16string& section, const std::u16string& key,
                             const std::u16string& defaultValue, std::size_t capacity,
                             const std::u16string& path) {
    return text::FromUtf8(ini::ReadString(LoadProfile(path), text::ToUtf8(section),
                                          text::ToUtf8(key), text::ToUtf8(defaultValue),
                                          capacity));
}

}  // namespace platform
