#pragma once
// Where a listener binds, as the logs name it.

#include <string>
#include <string_view>

#include <fmt/format.h>

namespace vantor {

// "127.0.0.1:8080"; an IPv6 address is bracketed: "[::1]:8080".
inline std::string Endpoint(std::string_view address, int port) {
  if (address.find(':') != std::string_view::npos) return fmt::format("[{}]:{}", address, port);
  return fmt::format("{}:{}", address, port);
}

}  // namespace vantor
