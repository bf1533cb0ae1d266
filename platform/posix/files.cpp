// Current directory, file checks, the log and the TestScript on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control/text.h"
#include "platform/platform.h"

namespace platform {

const char16_t kPathSeparator = u'/';

struct ScriptFile {
    std::FILE* stream = nullptr;
    char* buffer = nullptr;  // getline's buffer, reused for every line
    std::size_t capacity = 0;
};

std::u16string CurrentDirectory() {
    // Whole, however long: getcwd with a buffer that grows until it fits.
    std::vector<char> buffer(512);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
    return text::FromUtf8(buffer.data());
}

bool FileExists(const std::u16string& path) {
    return ::access(text::ToUtf8(path).c_str(), F_OK) == 0;
}

bool WriteLogFile(const std::u16string& path, const std::u16string& text, bool append) {
    // A log that reaches the file-size limit (ulimit -f) must fail its write
    // like any other log failure; SIGXFSZ would end the tool instead.
    static const bool fileSizeSignalIgnored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)fileSizeSignalIgnored;

    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (append ? 0 : O_TRUNC);
    const int fd = ::open(text::ToUtf8(path).c_str(), flags, 0666);
    if (fd < 0) return false;

    std::string bytes(text.size() * 2, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {  // UTF-16LE, no byte-order mark
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }

    const off_t end = ::lseek(fd, 0, SEEK_END);
    bool written = end >= 0;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            written = false;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    // A message goes in whole or not at all. The part of one that a full disk
    // or the size limit let through is taken out again: left in, it would cut
    // the message short, and an odd byte count would shift every character
    // appended after it.
    if (!written && done > 0 && ::ftruncate(fd, end) != 0) {
        // Nothing more can be done; the next message tries again.
    }
    ::close(fd);
    return written;
}

ScriptFile* OpenScriptFile(const std::u16string& path) {
    // Read-only: a missing file is never created.
    std::FILE* stream = std::fopen(text::ToUtf8(path).c_str(), "rbe");
    if (stream == nullptr) return nullptr;
    return new ScriptFile{stream};
}

void CloseScriptFile(ScriptFile* file) {
    if (file == nullptr) return;
    std::fclose(file->stream);
    std::free(file->buffer);
    delete file;
}

LineRead ReadScriptFileLine(ScriptFile* file, std::string& bytes) {
    errno = 0;
    const ssize_t length = ::getline(&file->buffer, &file->capacity, file->stream);
    if (length < 0) return std::ferror(file->stream) != 0 ? LineRead::Error : LineRead::End;
    auto size = static_cast<std::size_t>(length);
    if (size > 0 && file->buffer[size - 1] == '\n') {
        --size;
        if (size > 0 && file->buffer[size - 1] == '\r') --size;
    }
    bytes.assign(file->buffer, size);
    return LineRead::Line;
}

}  // namespace platform
