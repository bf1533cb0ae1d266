// What the per-card results file needs on POSIX: the time in milliseconds,
// the host name, and appending whole rows to a text file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <string>

#include "control/text.h"
#include "platform/platform.h"

namespace platform {

std::int64_t CurrentTimeMs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::u16string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return text::FromUtf8(name);
}

bool AppendTextFile(const std::u16string& path, std::string_view header, std::string_view row) {
    const int fd = ::open(text::ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat info {};
    const bool known = ::fstat(fd, &info) == 0;
    std::string bytes;
    if (known && info.st_size == 0) bytes = header;
    bytes += row;

    std::size_t done = 0;
    bool ok = known;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    // A row goes in whole or not at all: a part that a full disk let through
    // is taken out again.
    if (!ok && done > 0) ::ftruncate(fd, info.st_size);
    ::close(fd);
    return ok;
}

}  // namespace platform
