#include "service/listener_status.hpp"

#include "logging/timestamp.hpp"

#include <fmt/format.h>

namespace vantor {

std::string StartedStatus(SystemTime now, std::string_view componentLine, std::string_view address,
                          int port) {
  return fmt::format("{}\r\n{}\r\nIP={}\r\nPort={}", FormatDateTime(now), componentLine, address, port);
}

std::string FailedStatus(SystemTime now, std::string_view reason) {
  return fmt::format("{}\r\nFailed to Start\r\n{}", FormatDateTime(now), reason);
}

std::string ServicesBlock(std::string_view header, std::string_view status) {
  return fmt::format("{}\r\n{}\r\n\r\n", header, status);
}

std::string ListenerFailureText(std::string_view listener, std::string_view where, std::string_view reason) {
  if (where.empty()) return fmt::format("{} listener failed: {}", listener, reason);
  return fmt::format("{} listener {} failed: {}", listener, where, reason);
}

}  // namespace vantor
