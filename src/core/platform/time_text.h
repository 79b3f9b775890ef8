// Times and dates as people read them. Local time always goes through here.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "county/delivery_unit.h"

namespace dalvento {

// Formats a time in the local time zone. The pattern knows %Y %m %d %-d %H %M %S %B and %%.
// Gives "" when the system cannot convert the time.
std::string format_local(Time time, std::string_view pattern);

// Formats a calendar date with the same pattern letters (time fields read as zero).
std::string format_date(std::chrono::year_month_day date, std::string_view pattern);

// The local calendar day of a time.
std::optional<std::chrono::year_month_day> local_day(Time time);

// Whole seconds since 1970-01-01 UTC, rounded down.
int64_t unix_seconds(Time time);

// The time a count of seconds since 1970-01-01 UTC names; absent when it cannot be represented.
std::optional<Time> time_from_unix_seconds(int64_t seconds);

}  // namespace dalvento
