// Sleep, tick count and local time on Windows.
//
// The local time comes from the system's time-zone settings
// (SystemTimeToTzSpecificLocalTime), not from the C runtime: the runtime
// would read a TZ variable in the environment with its own rules, and a POSIX
// TZ value such as "Europe/Berlin" (which Wine hands on from the Linux side)
// would then give a wrong time.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

namespace {

// FILETIME counts 100 ns intervals since 1601-01-01 UTC.
constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

}  // namespace

void SleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint32_t TickCountMs() { return GetTickCount(); }

std::int64_t CurrentTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime);
    return ticks / kTicksPerSecond - kSecondsFrom1601To1970;
}

bool ToLocalTime(std::int64_t secondsSinceEpoch, LocalTime& out) {
    if (secondsSinceEpoch < -kSecondsFrom1601To1970 ||
        secondsSinceEpoch > INT64_MAX / kTicksPerSecond - kSecondsFrom1601To1970) {
        return false;
    }
    const auto ticks =
        static_cast<std::uint64_t>((secondsSinceEpoch + kSecondsFrom1601To1970) * kTicksPerSecond);
    FILETIME utc{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utcTime{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&utc, &utcTime) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &local)) {
        return false;
    }
    out.year = local.wYear;
    out.month = local.wMonth;
    out.day = local.wDay;
    out.hour = local.wHour;
    out.minute = local.wMinute;
    out.second = local.wSecond;
    return true;
}

}  // namespace platform
