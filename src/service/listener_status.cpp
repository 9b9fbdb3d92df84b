#include "service/listener_status.hpp"

#include "logging/timestamp.hpp"

#include <fmt/format.h>

#include <cerrno>

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

int SocketErrorNumber(const std::error_code& error) {
  if (error == std::errc::address_in_use) return 10048;
  if (error == std::errc::address_not_available) return 10049;
  return 0;
}

std::string DescribeSocketError(const std::error_code& error) {
  const int number = SocketErrorNumber(error);
  if (number == 0) return error.message();
  return fmt::format("{} ({})", error.message(), number);
}

}  // namespace vantor
