#pragma once
#include <cstdint>

namespace platform {

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

LocalTime LocalNow();

// A wall-clock instant, cheap to take; converted to local time later.
struct WallClock {
  std::int64_t seconds;
  std::int32_t nanoseconds;
};
WallClock WallNow();
LocalTime ToLocalTime(WallClock instant);
// Seconds since 1970-01-01 UTC.
std::int64_t UnixTime();
std::uint32_t GetTickCount();
std::uint32_t CurrentThreadId();
std::uint32_t CurrentProcessId();

}  // namespace platform
