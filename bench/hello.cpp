// The smallest program that starts like the tool: the C++ runtime and
// libpcsclite loaded, one line written to stdout. Its start-up time is the
// reference for the tool's time from process start to banner.
#include <PCSC/winscard.h>
#include <unistd.h>

#include <string>

// Keeps libpcsclite among the loaded libraries without calling it.
LONG (*volatile g_keepLinked)(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT) = SCardEstablishContext;

int main() {
    const std::string line = "hello\r\n";
    return ::write(STDOUT_FILENO, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 1;
}
