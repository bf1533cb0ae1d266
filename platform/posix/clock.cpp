// Sleep, tick count and local time on POSIX.
#include <ctime>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

void SleepMs(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::uint32_t TickCountMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    // Wraps like the Windows tick count.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u);
}

std::int64_t CurrentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool ToLocalTime(std::int64_t secondsSinceEpoch, LocalTime& out) {
    const auto seconds = static_cast<time_t>(secondsSinceEpoch);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return false;
    out.year = local.tm_year + 1900;
    out.month = local.tm_mon + 1;
    out.day = local.tm_mday;
    out.hour = local.tm_hour;
    out.minute = local.tm_min;
    out.second = local.tm_sec;
    return true;
}

}  // namespace platform
