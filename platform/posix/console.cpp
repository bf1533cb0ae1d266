// Console and keyboard on a POSIX terminal.
//
// While the tool runs, a terminal on stdin is kept in non-canonical, no-echo
// mode so that Escape can be sampled without waiting; its settings are put back
// on every way out: normal exit, SIGINT, SIGTERM, SIGHUP, SIGQUIT (Ctrl+\ on
// the terminal) and SIGABRT (an uncaught error, such as exhausted memory, ends
// in it). Colours are ANSI and used only on a terminal, and only when NO_COLOR
// is not set.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "control/text.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr unsigned char kEsc = 0x1B;

struct ConsoleState {
    bool stdinIsTerminal = false;
    bool savedTerminal = false;
    termios savedSettings{};
    bool colours = false;
    volatile std::sig_atomic_t colourChanged = 0;
    bool inputEnded = false;
};
ConsoleState g_console;

void WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // a closed or broken stdout loses the console copy only
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Async-signal-safe: only write() and tcsetattr().
void RestoreConsole() {
    if (g_console.colourChanged != 0) {
        static const char kReset[] = "\x1b[0m";
        WriteAll(kReset, sizeof kReset - 1);
        g_console.colourChanged = 0;
    }
    if (g_console.savedTerminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_console.savedSettings);
    }
}

void OnTerminatingSignal(int signalNumber) {
    RestoreConsole();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// Reads whatever bytes are waiting on stdin without blocking.
std::string ReadPendingInput() {
    std::string bytes;
    if (g_console.inputEnded) return bytes;
    for (;;) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, 0);
        if (ready <= 0) break;
        if ((pfd.revents & POLLNVAL) != 0) {
            g_console.inputEnded = true;
            break;
        }
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // End of input is not Escape; a terminal with VMIN 0 also reads 0
            // when nothing is typed, which is no end.
            if (!g_console.stdinIsTerminal) g_console.inputEnded = true;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < sizeof buffer) break;
    }
    return bytes;
}

// True when the bytes hold an Escape key press: a lone ESC, not one that
// starts a cursor-key or function-key sequence (ESC [ ... or ESC O x).
bool HoldsLoneEscape(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (static_cast<unsigned char>(bytes[i]) != kEsc) continue;
        if (i + 1 == bytes.size()) return true;
        const char next = bytes[i + 1];
        if (next == '[') {
            // CSI: parameters and intermediates, then one final byte 0x40..0x7E.
            i += 2;
            while (i < bytes.size() && !(bytes[i] >= 0x40 && bytes[i] <= 0x7E)) ++i;
        } else if (next == 'O') {
            i += 2;  // SS3 and its one final byte
        } else if (static_cast<unsigned char>(next) == kEsc) {
            return true;
        } else {
            ++i;  // Alt+key: not Escape
        }
    }
    return false;
}

}  // namespace

void ConsoleOpen() {
    g_console.stdinIsTerminal = ::isatty(STDIN_FILENO) == 1;
    g_console.colours = ::isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
    std::signal(SIGPIPE, SIG_IGN);

    if (g_console.stdinIsTerminal && ::tcgetattr(STDIN_FILENO, &g_console.savedSettings) == 0) {
        g_console.savedTerminal = true;
        termios raw = g_console.savedSettings;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    std::atexit(RestoreConsole);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT}) {
        std::signal(signalNumber, OnTerminatingSignal);
    }
}

void ConsolePrint(const std::u16string& text) {
    const std::string utf8 = text::ToUtf8(text);
    WriteAll(utf8.data(), utf8.size());
}

void ConsoleSetAttribute(std::uint16_t attribute) {
    if (!g_console.colours) return;
    const char* sequence = nullptr;
    switch (attribute) {
        case 10: sequence = "\x1b[92m"; break;  // bright green
        case 12: sequence = "\x1b[91m"; break;  // bright red
        case 15: sequence = "\x1b[97m"; break;  // bright white
        default: return;
    }
    g_console.colourChanged = 1;
    WriteAll(sequence, std::char_traits<char>::length(sequence));
}

void ConsoleClear() {
    if (::isatty(STDOUT_FILENO) != 1) return;
    static const char kClear[] = "\x1b[H\x1b[2J\x1b[3J";
    WriteAll(kClear, sizeof kClear - 1);
}

bool EscapeDown() {
    const std::string bytes = ReadPendingInput();
    if (bytes.empty()) return false;
    if (!g_console.stdinIsTerminal) return bytes.find(static_cast<char>(kEsc)) != std::string::npos;
    return HoldsLoneEscape(bytes);
}

}  // namespace platform
