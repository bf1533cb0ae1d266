// System facts and the process exit on POSIX.
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

// POSIX has no Windows version numbers, so the warm-up connection that some
// Windows versions get before every card connection never happens here.
OsVersion GetOsVersion() { return {}; }

void ExitProcess(int status) {
    // atexit handlers put the terminal back.
    std::exit(status);
}

}  // namespace platform
