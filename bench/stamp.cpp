// Starts a command with its stdout on a pipe and time-stamps every line it
// writes, at the moment the line arrives:
//
//   bench_stamp COMMAND [ARGS...]
//
//   <monotonic ns> start <pid>       just before the command is started
//   <monotonic ns> line <text>       one per line (line end taken off)
//   <monotonic ns> exit <status>     when its stdout ends and it has exited
//
// stdin and stderr are the command's own. The stamps come from here, not
// from whoever reads this program's output, so a slow reader costs nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "pcsc_bench.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    int out[2];
    if (::pipe(out) != 0) return 1;
    const std::int64_t start = bench::NowNs();
    const pid_t pid = ::fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execvp(argv[1], argv + 1);
        std::perror("exec");
        ::_exit(127);
    }
    ::close(out[1]);
    std::printf("%lld start %d\n", static_cast<long long>(start), static_cast<int>(pid));
    std::fflush(stdout);

    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(out[0], buffer, sizeof buffer);
        const long long now = bench::NowNs();
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t begin = 0;
        for (std::size_t end; (end = pending.find('\n', begin)) != std::string::npos; begin = end + 1) {
            std::size_t length = end - begin;
            if (length > 0 && pending[begin + length - 1] == '\r') --length;
            std::printf("%lld line %.*s\n", now, static_cast<int>(length), pending.data() + begin);
        }
        pending.erase(0, begin);
        std::fflush(stdout);
    }
    if (!pending.empty()) {
        std::printf("%lld line %s\n", static_cast<long long>(bench::NowNs()), pending.c_str());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%lld exit %d\n", static_cast<long long>(bench::NowNs()), code);
    return 0;
}
