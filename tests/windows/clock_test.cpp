// Local time on Windows, under Wine with the time zone Europe/Berlin (set by
// the test's environment): one winter and one summer instant.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/platform.h"

namespace {

TEST(LocalTime, FollowsTheSystemTimeZoneWithDaylightSaving) {
    const char* zone = std::getenv("TZ");
    ASSERT_TRUE(zone != nullptr && std::string(zone) == "Europe/Berlin")
        << "run with TZ=Europe/Berlin (the Windows tests set it)";
    struct Case {
        std::int64_t utcSeconds;
        platform::LocalTime local;
    };
    const Case cases[] = {
        {1705320000, {2024, 1, 15, 13, 0, 0}},   // 2024-01-15 12:00:00 UTC, CET
        {1719835199, {2024, 7, 1, 13, 59, 59}},  // 2024-07-01 11:59:59 UTC, CEST
        {1704067199, {2024, 1, 1, 0, 59, 59}},   // 2023-12-31 23:59:59 UTC: next day, next year
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utcSeconds);
        platform::LocalTime t;
        ASSERT_TRUE(platform::ToLocalTime(c.utcSeconds, t));
        EXPECT_EQ(t.year, c.local.year);
        EXPECT_EQ(t.month, c.local.month);
        EXPECT_EQ(t.day, c.local.day);
        EXPECT_EQ(t.hour, c.local.hour);
        EXPECT_EQ(t.minute, c.local.minute);
        EXPECT_EQ(t.second, c.local.second);
    }
}

TEST(LocalTime, CurrentTimeIsSecondsSince1970) {
    // The C runtime's clock counts the same seconds.
    const std::int64_t runtime = static_cast<std::int64_t>(std::time(nullptr));
    EXPECT_NEAR(static_cast<double>(platform::CurrentTime()), static_cast<double>(runtime), 2.0);
}

}  // namespace
