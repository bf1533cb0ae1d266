// System facts and the process exit on Windows.
#include <cstdlib>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

OsVersion GetOsVersion() {
    // Without a compatibility manifest, Windows 8.1 and later report 6.2.
    OSVERSIONINFOW info{};
    static_assert(sizeof info == 276);
    info.dwOSVersionInfoSize = sizeof info;
    // A failed call leaves the numbers 0, which means no warm-up connection.
    GetVersionExW(&info);
    return {info.dwMajorVersion, info.dwMinorVersion};
}

void ExitProcess(int status) { std::exit(status); }

}  // namespace platform
