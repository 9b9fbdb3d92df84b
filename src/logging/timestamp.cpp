#include "logging/timestamp.hpp"

#include <fmt/format.h>

namespace vantor {

std::tm LocalTime(SystemTime time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

std::string FormatDateTime(SystemTime time) {
  const std::tm t = LocalTime(time);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t.tm_year + 1900, t.tm_mon + 1,
                     t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

std::string FormatDateTimeMs(SystemTime time) {
  const auto sinceEpoch = time.time_since_epoch();
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
  if (millis < 0) millis += 1000;
  return fmt::format("{}.{:03}", FormatDateTime(time), millis);
}

std::string FormatMonthDay(SystemTime time) {
  const std::tm t = LocalTime(time);
  return fmt::format("{:02}-{:02}", t.tm_mon + 1, t.tm_mday);
}

}  // namespace vantor
