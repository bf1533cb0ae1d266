// Small helpers shared by the benchmark programs.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds: the clock Python's time.monotonic_ns() reads,
// so the driver can put every program's stamps on one time line.
inline std::int64_t NowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// "00 A4 00 00" or "00A40000" -> bytes; false on anything else.
inline bool ParseHex(const std::string& text, std::vector<unsigned char>& bytes) {
    bytes.clear();
    int high = -1;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c == ' ') continue;
        else return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

}  // namespace bench
