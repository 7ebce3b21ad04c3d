// platform/local_time.h -- the broken-down local time of a moment, in the system's time zone.
// Any thread.
#pragma once

#include <ctime>

namespace kelvane::platform {

// Fills |*parts| with |moment| as local time; false (|*parts| untouched) when the system cannot
// convert it.
bool LocalTime(std::time_t moment, std::tm* parts);

}  // namespace kelvane::platform
