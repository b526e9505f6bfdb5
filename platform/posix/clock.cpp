#include "platform/clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace platform {

WallClock WallNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec)};
}

LocalTime ToLocalTime(WallClock instant) {
  time_t seconds = static_cast<time_t>(instant.seconds);
  tm local{};
  localtime_r(&seconds, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
          local.tm_min,         local.tm_sec,     instant.nanoseconds / 1000000};
}

LocalTime LocalNow() { return ToLocalTime(WallNow()); }

std::int64_t UnixTime() { return static_cast<std::int64_t>(time(nullptr)); }

std::uint32_t GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

std::uint32_t CurrentThreadId() {
  thread_local const auto id = static_cast<std::uint32_t>(syscall(SYS_gettid));
  return id;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace platform
