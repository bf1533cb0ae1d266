// What the per-card results file needs on Windows: the time in milliseconds,
// the host name, and appending whole rows to a text file.
#include <string>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

std::int64_t CurrentTimeMs() {
    // FILETIME counts 100 ns intervals since 1601-01-01 UTC.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return ticks / 10'000 - 11'644'473'600'000;
}

std::u16string HostName() {
    wchar_t name[256] = {};
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
    return win32::FromWide(name, size);
}

bool AppendTextFile(const std::u16string& path, std::string_view header, std::string_view row) {
    const HANDLE file = CreateFileW(win32::Wide(path), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    LARGE_INTEGER end{};
    bool ok = GetFileSizeEx(file, &size) != 0 &&
              SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END) != 0;
    std::string bytes;
    if (size.QuadPart == 0) bytes = header;
    bytes += row;
    DWORD written = 0;
    ok = ok && bytes.size() <= MAXDWORD &&
         WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
         written == bytes.size();
    // A row goes in whole or not at all.
    if (!ok && written > 0 && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0) {
        SetEndOfFile(file);
    }
    CloseHandle(file);
    return ok;
}

}  // namespace platform
